// generator.common.serializers.xlsx: the review workbook, written with pandas and
// finished with openpyxl (texts kept texts, header dressed for review, widths), and
// read back with pandas' calamine engine, one record per row.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/globals.hpp"
#include "native/host.hpp"
#include "native/review_columns.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

// The module's own operations, seen by no other module.
namespace {

native::ModuleLog LOG;

// The module's globals, read at call time as Python code reads its globals,
// so that a patched `pd`, `load_workbook` or `DEFAULT_COL_WIDTH` is obeyed.
native::ModuleGlobals global;

// ---- unreadable cells: found in the sheet's XML ---------------------------------

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

// The part name of the workbook's first sheet, from workbook.xml and its relationships.
std::string first_sheet_part(py::bytes workbook, py::bytes rels) {
    py::object parse = native::host_attr("xml.etree.ElementTree", "fromstring");
    std::string id;
    for (py::handle element : parse(workbook).attr("iter")()) {
        if (tree_local_name(element.attr("tag")) != "sheet") continue;
        id = tree_attribute(element, "id");
        break;
    }
    if (id.empty()) return {};
    for (py::handle element : parse(rels).attr("iter")()) {
        if (tree_local_name(element.attr("tag")) != "Relationship" || tree_attribute(element, "Id") != id) continue;
        const std::string target = tree_attribute(element, "Target");
        return target.rfind('/', 0) == 0 ? target.substr(1) : "xl/" + target;
    }
    return {};
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

// Refuses the workbook when its first sheet holds cells that cannot be read, every
// one of them named (up to 50, in sheet order): cell, column and what to do.
void refuse_unreadable_cells(py::handle table, py::handle path) {
    py::object archive = global("zipfile").attr("ZipFile")(path);
    std::vector<UnreadableCell> cells;
    try {
        const std::string sheet =
            first_sheet_part(zip_member(archive, "xl/workbook.xml"), zip_member(archive, "xl/_rels/workbook.xml.rels"));
        if (!sheet.empty()) cells = unreadable_cells(zip_member(archive, sheet));
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_KeyError)) {
            archive.attr("close")();
            throw;
        }
    }
    archive.attr("close")();
    if (cells.empty()) return;
    std::stable_sort(cells.begin(), cells.end(), [](const UnreadableCell& a, const UnreadableCell& b) {
        return row_and_column(a.ref) < row_and_column(b.ref);
    });
    py::object columns = table.attr("columns");
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

py::object load_from_xlsx(py::object path) {
    py::object table = read_tables(path, false);
    refuse_unreadable_cells(table, path);
    LOG(native::log_level::debug, "load_from_xlsx", "Loaded dataframe from excel:\n%s", table);
    return table.attr("to_dict")("records");
}

py::dict load_sheets(py::object path) {
    py::dict sheets;
    bool first = true;
    for (auto item : py::reinterpret_borrow<py::dict>(read_tables(path, true))) {
        if (first) refuse_unreadable_cells(item.second, path);  // the sheet the engineer edits
        first = false;
        LOG(native::log_level::debug, "load_sheets", "Loaded sheet %s from excel:\n%s", item.first, item.second);
        sheets[item.first] = item.second.attr("to_dict")("records");
    }
    return sheets;
}

// ---- writing ------------------------------------------------------------------

void set_widths(py::handle sheet, py::iterable column_widths) {
    py::object letter_of = global("get_column_letter");
    int col = 1;
    for (py::handle width : column_widths) {
        sheet.attr("column_dimensions")[letter_of(col)].attr("width") = width;
        ++col;
    }
}

// Every text written stays a text cell: the library makes a text starting with "="
// a formula and a text such as #N/A an error cell; a VPC's Name tag is not to run
// in the engineer's spreadsheet program. An empty text (how the table writes a
// missing value) is no cell at all, as a spreadsheet program keeps it.
void keep_texts_texts(py::handle sheet) {
    py::str formula("f"), error("e"), text("s"), empty("");
    for (py::handle row : sheet.attr("iter_rows")()) {
        for (py::handle cell : row) {
            py::object type = cell.attr("data_type");
            if (type.equal(formula) || type.equal(error)) {
                cell.attr("data_type") = text;
            } else if (type.equal(text) && py::object(cell.attr("value")).equal(empty)) {
                cell.attr("value") = py::none();
                cell.attr("data_type") = text;  // as a text cell without text reads back
            }
        }
    }
}

// The header row bold and frozen, a filter over all columns, a TRUE/FALSE drop-down
// in the yes/no columns and, on each known column's title, a note saying what it accepts.
void dress_for_review(py::handle sheet, size_t column_count) {
    if (column_count == 0) return;
    py::object letter_of = global("get_column_letter");
    py::object bold = global("Font")(py::arg("bold") = true);
    const long last_row = sheet.attr("max_row").cast<long>();
    const std::string last_column = native::text(letter_of(column_count));
    sheet.attr("freeze_panes") = "A2";
    sheet.attr("auto_filter").attr("ref") = "A1:" + last_column + std::to_string(last_row);
    py::object yes_no = py::none();
    for (size_t col = 1; col <= column_count; ++col) {
        py::object cell = sheet.attr("cell")(py::arg("row") = 1, py::arg("column") = col);
        cell.attr("font") = bold;
        const native::ReviewColumn* rule = native::review_column(native::text(cell.attr("value")));
        if (rule == nullptr) continue;
        py::object note = global("Comment")(std::string(rule->accepts), "generator");
        note.attr("width") = 300;
        note.attr("height") = 90;
        cell.attr("comment") = note;
        if (rule->kind != native::ColumnKind::yes_no) continue;
        if (yes_no.is_none()) {
            yes_no = global("DataValidation")(py::arg("type") = "list", py::arg("formula1") = "\"TRUE,FALSE\"",
                                              py::arg("allow_blank") = true);
            sheet.attr("add_data_validation")(yes_no);
        }
        const std::string letter = native::text(letter_of(col));
        yes_no.attr("add")(letter + "2:" + letter + "1048576");
    }
}

// A sheet of another workbook, copied into `to`: every cell's value (formulas as formulas,
// texts kept texts), the column widths and whether it is shown.
void copy_sheet(py::handle from, py::handle to) {
    for (py::handle row : from.attr("iter_rows")()) {
        for (py::handle cell : row) {
            py::object value = cell.attr("value");
            if (value.is_none()) continue;
            py::object copy = to.attr("cell")(py::arg("row") = cell.attr("row"), py::arg("column") = cell.attr("column"));
            copy.attr("value") = value;
            copy.attr("data_type") = cell.attr("data_type");
            copy.attr("number_format") = cell.attr("number_format");
        }
    }
    for (auto item : py::reinterpret_borrow<py::dict>(from.attr("column_dimensions"))) {
        py::object width = item.second.attr("width");
        if (!width.is_none()) to.attr("column_dimensions")[item.first].attr("width") = width;
    }
    to.attr("sheet_state") = from.attr("sheet_state");
}

// The fills and notes of a sheet's marked cells, each {"row": index into the sheet's
// records, "column": title, "fill": RRGGBB, "note": text or None}.
void mark_cells(py::handle page, py::handle marks) {
    py::dict column_of;  // title -> column number, from the title row
    for (py::handle title_cell : page[py::str("1")]) column_of[title_cell.attr("value")] = title_cell.attr("column");
    py::object fill_type = native::host_attr("openpyxl.styles", "PatternFill");
    for (py::handle mark : marks) {
        py::object cell = page.attr("cell")(py::arg("row") = py::int_(mark["row"]) + py::int_(2),
                                            py::arg("column") = column_of[mark["column"]]);
        py::object fill = mark["fill"];
        cell.attr("fill") = fill_type(py::arg("fill_type") = "solid", py::arg("start_color") = fill,
                                      py::arg("end_color") = fill);
        py::object note = mark.attr("get")("note");
        if (!note.is_none()) cell.attr("comment") = global("Comment")(note, "generate");
    }
}

// The titles of a sheet: `columns`, or without them the keys of the records in order of
// appearance.
py::list titles_of(py::handle columns, py::handle records) {
    py::list titles;
    if (!columns.is_none()) {
        for (py::handle title : columns) titles.append(title);
        return titles;
    }
    for (py::handle record : records) {
        for (py::handle title : record) {
            if (!titles.contains(title)) titles.append(title);
        }
    }
    return titles;
}

// The title row and each record's cells as given (texts kept texts), without the
// table's title styling.
void write_plain(py::handle page, py::handle titles, py::handle records) {
    page.attr("append")(titles);
    long row = 1;
    for (py::handle record : records) {
        ++row;
        long column = 0;
        for (py::handle title : titles) {
            py::object value = record.attr("get")(title);
            py::object cell = page.attr("cell")(py::arg("row") = row, py::arg("column") = ++column, py::arg("value") = value);
            if (PyUnicode_Check(value.ptr())) cell.attr("data_type") = "s";
        }
    }
}

// Writes the workbook of `sheets`, in their order, to `target` in one save: the cells of
// every sheet first, then each sheet's widths and dressing (see export_sheets). The
// workbook is built in memory; nothing is written to `target` unless all of it succeeds.
void write_sheets(py::handle sheets, py::handle target) {
    py::object pd = global("pd");
    py::object from_records = pd.attr("DataFrame").attr("from_records");
    py::object buffer = native::host_attr("io", "BytesIO")();
    py::object writer = pd.attr("ExcelWriter")(buffer, py::arg("engine") = "openpyxl");
    {
        py::object book = writer.attr("book");
        py::object source;  // the workbook sheets are copied from, opened once
        std::vector<std::pair<py::object, py::list>> pages;  // each sheet's page and titles
        for (py::handle sheet : sheets) {
            py::object title = sheet.attr("get")("title", "Sheet1");
            py::object records = sheet.attr("get")("rows", py::list());
            py::list titles = titles_of(sheet.attr("get")("columns"), records);
            py::object page;
            if (sheet.contains("copy_of")) {
                if (!source) source = global("load_workbook")(py::arg("filename") = native::text(sheet["copy_of"]));
                page = book.attr("create_sheet")(title);
                copy_sheet(source[title], page);
            } else if (native::truthy(sheet.attr("get")("plain", false))) {
                page = book.attr("create_sheet")(title);
                write_plain(page, titles, records);
            } else {
                from_records(records, py::arg("columns") = titles)
                    .attr("to_excel")(writer, py::arg("sheet_name") = title, py::arg("index") = false);
                page = book[title];
            }
            pages.emplace_back(page, titles);
        }
        py::object width = global("DEFAULT_COL_WIDTH");
        size_t at = 0;
        for (py::handle sheet : sheets) {
            auto& [page, titles] = pages[at++];
            if (sheet.contains("copy_of")) continue;
            if (!native::truthy(sheet.attr("get")("plain", false))) keep_texts_texts(page);
            if (native::truthy(sheet.attr("get")("review", false))) dress_for_review(page, py::len(titles));
            py::object widths = sheet.attr("get")("widths");
            if (widths.is_none()) {
                py::list each;
                for (size_t i = 0; i < py::len(titles); ++i) each.append(width);
                widths = each;
            }
            set_widths(page, widths);
            if (native::truthy(sheet.attr("get")("hidden", false))) page.attr("sheet_state") = "veryHidden";
            py::object marks = sheet.attr("get")("marks");
            if (!marks.is_none()) mark_cells(page, marks);
        }
    }
    writer.attr("close")();  // saves the workbook into the buffer
    global("Path")(target).attr("write_bytes")(buffer.attr("getvalue")());
}

void export_sheets(py::object sheets, py::object path) {
    if (py::len(sheets) == 0) native::raise_builtin("ValueError", "a workbook needs at least one sheet");
    // Written under a temporary name in the destination folder, then moved over `path`:
    // a failure never leaves a half-written workbook there.
    py::cpp_function write([sheets](py::object tmp) { write_sheets(sheets, tmp); });
    global("write_atomically")(path, write, py::arg("suffix") = ".xlsx");  // pandas picks its writer by it
}

void export_to_xlsx(py::object data, py::object path, py::object columns, py::object sheets, py::object marks,
                    py::kwargs options) {
    if (PyDict_Check(data.ptr())) {
        // A whole configuration sent to a .xlsx name: say so instead of failing on its key 0.
        native::raise_builtin("TypeError", "cannot write " + native::text(path) +
                                               ": a workbook holds a list of rows (one mapping per row), not a "
                                               "mapping; is the file name's extension the one intended?");
    }
    if (py::len(options) != 0) {
        native::raise_builtin("TypeError", "export_to_xlsx() takes no option " + native::text(py::list(options)));
    }
    py::dict first("rows"_a = data, "review"_a = true, "marks"_a = marks);
    if (!columns.is_none() && py::len(data) == 0) {
        first["columns"] = columns;  // no record: a sheet with the titles only
    } else {
        // The first record's keys get the default width; IndexError for empty data, before anything is written.
        py::list widths;
        for (size_t i = 0, n = py::len(data[py::int_(0)]); i < n; ++i) widths.append(global("DEFAULT_COL_WIDTH"));
        first["widths"] = widths;
    }
    py::list all;
    all.append(first);
    if (!sheets.is_none()) {
        for (py::handle sheet : sheets) {
            py::dict further = py::dict(py::reinterpret_borrow<py::object>(sheet));
            if (!further.contains("copy_of")) further["review"] = !native::truthy(further.attr("get")("hidden", false));
            all.append(further);
        }
    }
    export_sheets(all, path);
}

void set_column_widths(py::iterable column_widths, py::object path) {
    py::object workbook = global("load_workbook")(py::arg("filename") = native::text(path));
    set_widths(workbook.attr("worksheets")[py::int_(0)], column_widths);
    workbook.attr("save")(native::text(path));
}

}  // namespace

PYBIND11_MODULE(xlsx, m) {
    m.doc() = "Excel serializer: lists of flat records to and from the review workbook.";

    m.attr("logging") = py::module_::import("logging");
    py::module_ typing = py::module_::import("typing");  // names of the declared types
    for (const char* name : {"Dict", "List"}) m.attr(name) = typing.attr(name);
    m.attr("Path") = native::host_attr("pathlib", "Path");
    m.attr("zipfile") = py::module_::import("zipfile");
    py::module_ exporters = py::module_::import("generator.common.serializers.export");
    m.attr("register_exporter") = exporters.attr("register_exporter");
    m.attr("write_atomically") = exporters.attr("write_atomically");
    m.attr("register_loader") = native::host_attr("generator.common.serializers.load", "register_loader");

    global.bind(m);
    // The table and workbook libraries are imported when a workbook is first read or
    // written, not when the package is: --help and --version do not wait for them.
    global.lazy_import("np", "numpy");
    global.lazy_import("pd", "pandas");
    global.lazy_import("load_workbook", "openpyxl", "load_workbook");
    global.lazy_import("get_column_letter", "openpyxl.utils", "get_column_letter");
    global.lazy_import("Font", "openpyxl.styles", "Font");
    global.lazy_import("Comment", "openpyxl.comments", "Comment");
    global.lazy_import("DataValidation", "openpyxl.worksheet.datavalidation", "DataValidation");

    m.attr("log") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    LOG.bind(m);
    m.attr("DEFAULT_COL_WIDTH") = 20;
    py::list xlsx_exts;
    xlsx_exts.append("xlsx");
    m.attr("XLSX_EXTS") = xlsx_exts;

    py::object as_loader = global("register_loader")(xlsx_exts);
    m.def("load_from_xlsx", &load_from_xlsx, py::arg("path"),
          "Return the records of the workbook's first sheet, one mapping of column title to value per row.\n\n"
          "Only empty cells read as missing; they become the empty text. A cell holding a spreadsheet error\n"
          "or a formula without a stored result is refused, every such cell named.");
    m.attr("load_from_xlsx") = as_loader(m.attr("load_from_xlsx"));
    m.def("load_sheets", &load_sheets, py::arg("path"),
          "Return the records of every sheet of the workbook, hidden ones included: {title: records}, in the "
          "workbook's order, each sheet read as load_from_xlsx reads the first.");

    py::object as_exporter = global("register_exporter")(xlsx_exts);
    m.def("export_to_xlsx", &export_to_xlsx, py::arg("data"), py::arg("path"),
          py::arg("columns") = py::none(), py::arg("sheets") = py::none(), py::arg("marks") = py::none(),
          "Write the records to a new workbook at path, replacing any file there.\n\n"
          "The sheet is dressed for review, and the columns of the first record's keys get the width\n"
          "DEFAULT_COL_WIDTH.\n"
          "columns: the titles to write when data holds no record (ignored otherwise).\n"
          "sheets: further sheets after the first, each {'title', 'rows', 'columns', 'hidden'};\n"
          "a hidden one is kept out of the engineer's sight (very hidden), the others are dressed for\n"
          "review. {'title', 'copy_of': path} copies that sheet of the workbook at path.\n"
          "marks: cells of the first sheet to colour, each {'row': index in data, 'column': title,\n"
          "'fill': 'RRGGBB', 'note': text or None}.");
    m.attr("export_to_xlsx") = as_exporter(m.attr("export_to_xlsx"));
    m.def("export_sheets", &export_sheets, py::arg("sheets"), py::arg("path"),
          "Write a workbook of every sheet given, in their order, to path in one save, replacing any file\n"
          "there (whole or not at all).\n\n"
          "Each sheet is a mapping:\n"
          "  title: the sheet's name (default 'Sheet1');\n"
          "  rows: its records; columns: its titles (default: the records' keys in order of appearance);\n"
          "  plain: true to write the cells as given, without the table's title styling; otherwise the\n"
          "    records are written as a table (lists as their printed text), texts kept texts;\n"
          "  widths: the column widths from column A (default: DEFAULT_COL_WIDTH for every column);\n"
          "  review: true to dress it for review: bold frozen title row, a filter, a TRUE/FALSE drop-down\n"
          "    in the yes/no columns, a note on each known column's title saying what it accepts;\n"
          "  hidden: true to keep it out of the engineer's sight (very hidden);\n"
          "  marks: cells to colour, each {'row': index in rows, 'column': title, 'fill': 'RRGGBB',\n"
          "    'note': text or None};\n"
          "  copy_of: a workbook's path: the sheet of this title copied from it (values, formulas, widths,\n"
          "    whether it is shown); the other keys do not apply.");

    m.def("_set_column_widths", &set_column_widths, py::arg("column_widths"), py::arg("path"),
          "Set the widths of the first sheet's columns, the first for column A, and save the workbook in place.");
}
