// Reading the review workbook back: pandas with the calamine engine, every cell
// as the sheet types it, and the cells it would read as empty although they are
// not (spreadsheet errors, formulas without a stored result) refused by name.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "generator/common/serializers/xlsx/xlsx.hpp"

namespace xlsx_module {
namespace {

// The reader gives a cell holding a spreadsheet error (#N/A, #REF!, ...) and a formula
// without a stored result as an empty cell, which would quietly mean "not set". They
// are found in the sheet's XML itself, read with the host's XML parser (expat): cells
// of type "e", and cells with a formula (f) but no stored value (v) unless the
// formula's result is text ("str", which may be empty).
struct UnreadableCell {
    std::string ref;      // A1 form
    std::string error;    // the error text, for an error cell
    std::string formula;  // the formula, for a formula without result
};

// Whether the sheet's XML may hold such a cell at all: one needs an element named f
// (any prefix) or an attribute value e, and a document without the text of either,
// of a character reference or of a document type (either of which could spell one)
// holds none. Most sheets hold none: they are not parsed.
bool may_hold_unreadable(std::string_view xml) {
    for (std::string_view mark : {"\"e\"", "'e'", "&#", "<!DOCTYPE"}) {
        if (xml.find(mark) != std::string_view::npos) return true;
    }
    for (size_t at = 1; (at = xml.find('f', at)) != std::string_view::npos; ++at) {
        const char after = at + 1 < xml.size() ? xml[at + 1] : '>';
        if ((xml[at - 1] == '<' || xml[at - 1] == ':') &&
            (after == '>' || after == '/' || after == ' ' || after == '\t' || after == '\n' || after == '\r')) {
            return true;
        }
    }
    return false;
}

// An element's local name: expat gives "namespace local" with the separator " ".
std::string_view local_name(std::string_view name) {
    const size_t space = name.rfind(' ');
    return space == std::string_view::npos ? name : name.substr(space + 1);
}

// Walks the cells of a sheet as the parser reports them.
class CellScan {
public:
    void start(std::string_view name, py::dict attributes) {
        const std::string_view local = local_name(name);
        if (local == "c") {
            in_cell_ = true;
            ref_ = attribute(attributes, "r");
            type_ = attribute(attributes, "t");
            has_formula_ = false;
            formula_.clear();
            value_.clear();
        } else if (in_cell_ && (local == "f" || local == "v")) {
            collecting_ = local == "f" ? &formula_ : &value_;
            has_formula_ = has_formula_ || local == "f";
        }
    }

    void end(std::string_view name) {
        const std::string_view local = local_name(name);
        if (local == "f" || local == "v") {
            collecting_ = nullptr;
        } else if (local == "c" && in_cell_) {
            in_cell_ = false;
            if (type_ == "e") {
                found_.push_back({ref_, value_.empty() ? "#N/A" : value_, {}});
            } else if (has_formula_ && value_.empty() && type_ != "str") {
                found_.push_back({ref_, {}, formula_});
            }
        }
    }

    void text(std::string_view data) {
        if (collecting_ != nullptr) collecting_->append(data);
    }

    std::vector<UnreadableCell> take() { return std::move(found_); }

private:
    static std::string attribute(py::dict attributes, const char* name) {
        return attributes.contains(name) ? native::text(attributes[name]) : std::string();
    }

    std::vector<UnreadableCell> found_;
    bool in_cell_ = false;
    std::string ref_, type_, formula_, value_;
    bool has_formula_ = false;
    std::string* collecting_ = nullptr;  // the text being read: a formula or a value
};

std::vector<UnreadableCell> unreadable_cells(py::bytes sheet_xml) {
    const std::string xml = sheet_xml;
    if (!may_hold_unreadable(xml)) return {};
    CellScan scan;
    py::object parser = native::host_attr("xml.parsers.expat", "ParserCreate")(py::arg("namespace_separator") = " ");
    parser.attr("buffer_text") = true;
    parser.attr("StartElementHandler") =
        py::cpp_function([&scan](const std::string& name, py::dict attributes) { scan.start(name, attributes); });
    parser.attr("EndElementHandler") = py::cpp_function([&scan](const std::string& name) { scan.end(name); });
    parser.attr("CharacterDataHandler") = py::cpp_function([&scan](const std::string& data) { scan.text(data); });
    try {
        parser.attr("Parse")(sheet_xml, true);
    } catch (py::error_already_set&) {
        // The handlers refer to `scan`, which ends here: the parser must not call them again.
        for (const char* handler : {"StartElementHandler", "EndElementHandler", "CharacterDataHandler"}) {
            parser.attr(handler) = py::none();
        }
        throw;
    }
    for (const char* handler : {"StartElementHandler", "EndElementHandler", "CharacterDataHandler"}) {
        parser.attr(handler) = py::none();
    }
    return scan.take();
}

// The local name of an ElementTree tag or attribute key ("{namespace}name").
std::string tree_local_name(py::handle key) {
    const std::string name = native::text(key);
    const size_t brace = name.rfind('}');
    return brace == std::string::npos ? name : name.substr(brace + 1);
}

// The attribute of `element` with the local name `name` (any namespace), or "".
std::string tree_attribute(py::handle element, const char* name) {
    for (auto item : py::reinterpret_borrow<py::dict>(element.attr("attrib"))) {
        if (tree_local_name(item.first) == name) return native::text(item.second);
    }
    return {};
}

// The workbook's sheets in their order, each with its title and the part name of its cells,
// from workbook.xml and its relationships.
struct SheetPart {
    std::string title, part;
};
std::vector<SheetPart> sheet_parts(py::bytes workbook, py::bytes rels) {
    py::object parse = native::host_attr("xml.etree.ElementTree", "fromstring");
    std::vector<std::pair<std::string, std::string>> listed;  // title, relationship id
    for (py::handle element : parse(workbook).attr("iter")()) {
        if (tree_local_name(element.attr("tag")) != "sheet") continue;
        listed.emplace_back(tree_attribute(element, "name"), tree_attribute(element, "id"));
    }
    py::dict target_of;
    for (py::handle element : parse(rels).attr("iter")()) {
        if (tree_local_name(element.attr("tag")) != "Relationship") continue;
        target_of[py::str(tree_attribute(element, "Id"))] = py::str(tree_attribute(element, "Target"));
    }
    std::vector<SheetPart> sheets;
    for (const auto& [title, id] : listed) {
        std::string part;
        if (target_of.contains(id)) {
            const std::string target = native::text(target_of[py::str(id)]);
            part = target.rfind('/', 0) == 0 ? target.substr(1) : "xl/" + target;
        }
        sheets.push_back({title, part});
    }
    return sheets;
}

// The sheets of the workbook open as `archive`.
std::vector<SheetPart> sheets_of(py::handle archive) {
    return sheet_parts(archive.attr("read")("xl/workbook.xml"), archive.attr("read")("xl/_rels/workbook.xml.rels"));
}

// The part of the sheet titled `title`, or of the first sheet when `title` is None; "" when none.
std::string part_of(py::handle archive, py::handle title) {
    for (const SheetPart& sheet : sheets_of(archive)) {
        if (title.is_none() || sheet.title == native::text(title)) return sheet.part;
    }
    return {};
}

// Runs `use` on the workbook's archive, closed afterwards whatever happens.
template <typename Use>
auto with_archive(py::handle path, Use&& use) {
    py::object archive = global("zipfile").attr("ZipFile")(path);
    try {
        auto result = use(archive);
        archive.attr("close")();
        return result;
    } catch (...) {
        archive.attr("close")();
        throw;
    }
}

// (row, column number) of an A1 reference.
std::pair<long, long> row_and_column(const std::string& ref) {
    long col = 0, row = 0;
    for (char c : ref) {
        if (c >= 'A' && c <= 'Z') col = col * 26 + (c - 'A' + 1);
        else if (c >= '0' && c <= '9') row = row * 10 + (c - '0');
    }
    return {row, col};
}

constexpr size_t kMostReported = 50;

// ---- reading ------------------------------------------------------------------

py::bytes zip_member(py::handle archive, const std::string& name) {
    return archive.attr("read")(name);
}

// Refuses the workbook when its sheet `title` (None: the first) holds cells that cannot be
// read, every one of them named (up to 50, in sheet order): cell, column and what to do.
// `columns`: the sheet's column titles, to name the columns.
void refuse_unreadable_cells(py::handle columns, py::handle path, py::handle title) {
    std::vector<UnreadableCell> cells = with_archive(path, [&](py::handle archive) {
        try {
            const std::string sheet = part_of(archive, title);
            if (!sheet.empty()) return unreadable_cells(zip_member(archive, sheet));
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_KeyError)) throw;
        }
        return std::vector<UnreadableCell>();
    });
    if (cells.empty()) return;
    std::stable_sort(cells.begin(), cells.end(), [](const UnreadableCell& a, const UnreadableCell& b) {
        return row_and_column(a.ref) < row_and_column(b.ref);
    });
    const long column_count = static_cast<long>(py::len(columns));
    std::vector<std::string> lines;
    for (const UnreadableCell& cell : cells) {
        const long col = row_and_column(cell.ref).second;
        std::string line = "cell " + cell.ref;
        if (col >= 1 && col <= column_count && row_and_column(cell.ref).first > 1) {
            line += " (column " + native::text(columns[py::int_(col - 1)]) + ")";
        }
        if (cell.formula.empty()) {
            line += " holds the spreadsheet error " + cell.error + ", not a value; correct or clear it";
        } else {
            line += " holds the formula =" + cell.formula +
                    " without a stored result; type the value, or open and save the workbook in a spreadsheet "
                    "program so that it stores the result";
        }
        lines.push_back(std::move(line));
    }
    std::string message = native::text(path) + ": ";
    if (!title.is_none()) message += "sheet '" + native::text(title) + "', ";
    if (lines.size() == 1) {
        message += lines[0];
    } else {
        message += std::to_string(lines.size()) + " cells cannot be read:";
        for (size_t i = 0; i < lines.size() && i < kMostReported; ++i) message += "\n" + lines[i];
        if (lines.size() > kMostReported) {
            message += "\n... and " + std::to_string(lines.size() - kMostReported) + " more";
        }
    }
    native::raise_builtin("ValueError", message);
}

// The reader's own message for a file that is not a workbook ("File is not a zip file") does
// not say which file: the error keeps its type and message and gains a note naming it.
void name_source(py::error_already_set& err, py::handle path) {
    if (!err.matches(PyExc_Exception)) return;
    py::object value = err.value();
    if (err.matches(PyExc_OSError) && !py::getattr(value, "filename", py::none()).is_none()) return;
    native::add_note(value, "while reading " + native::text(path));
}

// The workbook's first sheet as a table, or with `every_sheet` all its sheets by title.
// Only truly empty cells are missing, and they read as the empty text: texts such as "NA",
// "None" or "null" stay texts. Each cell keeps the type it has in the sheet: a text cell such
// as "0123" or "1.0" stays text (no leading zero lost), and a column with empty cells keeps
// its integers and booleans.
py::object read_tables(py::handle path, bool every_sheet) {
    py::dict options;
    if (every_sheet) options["sheet_name"] = py::none();
    options["dtype"] = global("object");
    options["keep_default_na"] = false;
    options["engine"] = "calamine";  // ten times faster than openpyxl, with the same cell types
    try {
        return global("pd").attr("read_excel")(path, **options);
    } catch (py::error_already_set& err) {
        name_source(err, path);
        throw;
    }
}

}  // namespace

py::object load_from_xlsx(py::object path) {
    py::object table = read_tables(path, false);
    refuse_unreadable_cells(table.attr("columns"), path, py::none());
    LOG(native::log_level::debug, "load_from_xlsx", "Loaded dataframe from excel:\n%s", table);
    return table.attr("to_dict")("records");
}

py::dict load_sheets(py::object path) {
    py::dict sheets;
    for (auto item : py::reinterpret_borrow<py::dict>(read_tables(path, true))) {
        LOG(native::log_level::debug, "load_sheets", "Loaded sheet %s from excel:\n%s", item.first, item.second);
        sheets[item.first] = item.second.attr("to_dict")("records");
    }
    return sheets;
}

void check_sheet(py::object path, py::object title, py::object columns) {
    refuse_unreadable_cells(columns.is_none() ? py::object(py::list()) : columns, path, title);
}

py::list sheet_titles(py::object path) {
    py::list titles;
    try {
        for (const SheetPart& sheet : with_archive(path, [](py::handle archive) { return sheets_of(archive); })) {
            titles.append(sheet.title);
        }
    } catch (py::error_already_set& err) {
        name_source(err, path);
        throw;
    }
    return titles;
}

py::dict cell_notes(py::object path, py::object title) {
    py::dict notes;
    py::object parse = native::host_attr("xml.etree.ElementTree", "fromstring");
    py::object posix = native::host_attr("posixpath", "normpath");
    with_archive(path, [&](py::handle archive) {
        const std::string sheet = part_of(archive, title);
        if (sheet.empty()) return 0;
        const size_t slash = sheet.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : sheet.substr(0, slash + 1);
        const std::string rels = folder + "_rels/" + sheet.substr(folder.size()) + ".rels";
        py::object names = archive.attr("namelist")();
        if (!names.contains(rels)) return 0;
        for (py::handle element : parse(zip_member(archive, rels)).attr("iter")()) {
            const std::string type = tree_attribute(element, "Type");
            if (tree_local_name(element.attr("tag")) != "Relationship" || type.size() < 9 ||
                type.compare(type.size() - 9, 9, "/comments") != 0) {
                continue;
            }
            const std::string target = tree_attribute(element, "Target");
            const std::string part =
                target.rfind('/', 0) == 0 ? target.substr(1) : native::text(posix(folder + target));
            if (!names.contains(part)) continue;
            for (py::handle comment : parse(zip_member(archive, part)).attr("iter")()) {
                if (tree_local_name(comment.attr("tag")) != "comment") continue;
                std::string text;
                for (py::handle piece : comment.attr("iter")()) {
                    if (tree_local_name(piece.attr("tag")) != "t") continue;
                    py::object words = piece.attr("text");
                    if (!words.is_none()) text += native::text(words);
                }
                notes[py::str(tree_attribute(comment, "ref"))] = py::str(text);
            }
        }
        return 0;
    });
    return notes;
}

}  // namespace xlsx_module
