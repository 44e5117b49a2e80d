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

// The module's own operations, seen by no other module.
namespace {

native::ModuleLog LOG;

// The module's globals, read at call time as Python code reads its globals,
// so that a patched `pd`, `load_workbook` or `DEFAULT_COL_WIDTH` is obeyed.
native::ModuleGlobals global;

// ---- unreadable cells: plain C++ over the sheet's XML -------------------------

// The reader gives a cell holding a spreadsheet error (#N/A, #REF!, ...) and a formula
// without a stored result as an empty cell, which would quietly mean "not set". They
// are found in the sheet's XML itself: cells of type "e", and cells with a formula (f)
// but no stored value (v) unless the formula's result is text ("str", which may be empty).
struct UnreadableCell {
    std::string ref;      // A1 form
    std::string error;    // the error text, for an error cell
    std::string formula;  // the formula, for a formula without result
};

// The local name of the element whose tag starts at xml[at] == '<' (namespace prefix dropped).
std::string_view local_name(std::string_view xml, size_t at, size_t* name_end) {
    size_t i = at + 1, begin = i;
    while (i < xml.size() && xml[i] != ' ' && xml[i] != '>' && xml[i] != '/' && xml[i] != '\t' && xml[i] != '\n' &&
           xml[i] != '\r') {
        if (xml[i] == ':') begin = i + 1;
        ++i;
    }
    *name_end = i;
    return xml.substr(begin, i - begin);
}

// The value of attribute `name` (any namespace prefix) in the tag text `tag`.
std::string attribute(std::string_view tag, std::string_view name) {
    size_t at = 0;
    while ((at = tag.find(name, at)) != std::string_view::npos) {
        const bool starts = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == ':' || tag[at - 1] == '\t' ||
                                       tag[at - 1] == '\n' || tag[at - 1] == '\r');
        size_t eq = at + name.size();
        if (starts && eq + 1 < tag.size() && tag[eq] == '=' && (tag[eq + 1] == '"' || tag[eq + 1] == '\'')) {
            size_t close = tag.find(tag[eq + 1], eq + 2);
            if (close == std::string_view::npos) return {};
            return std::string(tag.substr(eq + 2, close - eq - 2));
        }
        at = eq;
    }
    return {};
}

std::string unescape_xml(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out.push_back(text[i]);
            continue;
        }
        size_t semi = text.find(';', i);
        std::string_view entity = text.substr(i + 1, semi == std::string_view::npos ? 0 : semi - i - 1);
        const char* plain = entity == "lt" ? "<" : entity == "gt" ? ">" : entity == "amp" ? "&" :
                            entity == "quot" ? "\"" : entity == "apos" ? "'" : nullptr;
        if (plain == nullptr || semi == std::string_view::npos) {
            out.push_back('&');
            continue;
        }
        out += plain;
        i = semi;
    }
    return out;
}

std::vector<UnreadableCell> unreadable_cells(std::string_view xml) {
    std::vector<UnreadableCell> found;
    // Most sheets hold neither a formula nor an error: nothing to walk then.
    if (xml.find("<f") == std::string_view::npos && xml.find(":f>") == std::string_view::npos &&
        xml.find(":f ") == std::string_view::npos && xml.find("t=\"e\"") == std::string_view::npos) {
        return found;
    }
    size_t at = 0;
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        size_t name_end;
        if (local_name(xml, at, &name_end) != "c" || name_end >= xml.size() || xml[name_end] == ':') {
            ++at;
            continue;
        }
        const size_t tag_end = xml.find('>', name_end);
        if (tag_end == std::string_view::npos) break;
        const std::string_view tag = xml.substr(at, tag_end - at);
        at = tag_end + 1;
        if (tag.back() == '/') continue;  // <c r="A1"/>: nothing in it
        // The cell's content runs to its closing tag, the first "c>" after "</" with any prefix.
        size_t close = at;
        while ((close = xml.find("</", close)) != std::string_view::npos) {
            size_t end_name;
            if (local_name(xml, close + 1, &end_name) == "c") break;
            close += 2;
        }
        if (close == std::string_view::npos) break;
        const std::string_view content = xml.substr(at, close - at);
        at = close;
        const std::string type = attribute(tag, "t");
        bool has_formula = false, has_value = false;
        std::string formula, value;
        for (size_t i = 0; (i = content.find('<', i)) != std::string_view::npos;) {
            size_t child_end;
            const std::string_view child = local_name(content, i, &child_end);
            const size_t gt = content.find('>', child_end);
            if (gt == std::string_view::npos) break;
            const bool empty = content[gt - 1] == '/';
            std::string text;
            if (!empty && (child == "f" || child == "v")) {
                size_t stop = content.find("</", gt + 1);
                text = unescape_xml(content.substr(gt + 1, stop == std::string_view::npos ? 0 : stop - gt - 1));
            }
            if (child == "f") {
                has_formula = true;
                formula = text;
            } else if (child == "v") {
                has_value = !text.empty();
                value = text;
            }
            i = gt + 1;
        }
        if (type == "e") {
            found.push_back({attribute(tag, "r"), value.empty() ? "#N/A" : value, {}});
        } else if (has_formula && !has_value && type != "str") {
            found.push_back({attribute(tag, "r"), {}, formula});
        }
    }
    return found;
}

// The part name of the workbook's first sheet, from workbook.xml and its relationships.
std::string first_sheet_part(std::string_view workbook, std::string_view rels) {
    size_t at = 0;
    std::string id;
    while ((at = workbook.find('<', at)) != std::string_view::npos) {
        size_t name_end;
        if (local_name(workbook, at, &name_end) == "sheet") {
            id = attribute(workbook.substr(at, workbook.find('>', at) - at), "id");
            break;
        }
        ++at;
    }
    if (id.empty()) return {};
    for (at = 0; (at = rels.find('<', at)) != std::string_view::npos; ++at) {
        size_t name_end;
        if (local_name(rels, at, &name_end) != "Relationship") continue;
        std::string_view tag = rels.substr(at, rels.find('>', at) - at);
        if (attribute(tag, "Id") != id) continue;
        std::string target = attribute(tag, "Target");
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
        const std::string sheet = first_sheet_part(std::string(zip_member(archive, "xl/workbook.xml")),
                                                   std::string(zip_member(archive, "xl/_rels/workbook.xml.rels")));
        if (!sheet.empty()) cells = unreadable_cells(std::string(zip_member(archive, sheet)));
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
// in the engineer's spreadsheet program.
void keep_texts_texts(py::handle sheet) {
    py::str formula("f"), error("e"), text("s");
    for (py::handle row : sheet.attr("iter_rows")()) {
        for (py::handle cell : row) {
            py::object type = cell.attr("data_type");
            if (type.equal(formula) || type.equal(error)) cell.attr("data_type") = text;
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
        if (!rule->yes_no) continue;
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

// The further sheets of a workbook after pandas wrote their cells (each {"title", "rows",
// "columns", "hidden"}, or {"title", "copy_of": path} for a sheet copied from the workbook at
// path), and the marks on cells of its first sheet (each {"row": record index, "column":
// title, "fill": RRGGBB, "note": text or None}).
void finish_sheets(py::handle book, py::handle sheets, py::handle marks) {
    py::object width = global("DEFAULT_COL_WIDTH");
    py::object source;  // the workbook sheets are copied from, opened once
    size_t position = 0;
    for (py::handle sheet : sheets) {
        ++position;  // the first sheet comes before them all
        if (sheet.contains("copy_of")) {
            if (!source) source = global("load_workbook")(py::arg("filename") = native::text(sheet["copy_of"]));
            copy_sheet(source[sheet["title"]],
                       book.attr("create_sheet")(sheet["title"], py::arg("index") = position));
            continue;
        }
        py::object page = book[sheet["title"]];
        const size_t count = py::len(sheet["columns"]);
        keep_texts_texts(page);
        py::list widths;
        for (size_t i = 0; i < count; ++i) widths.append(width);
        set_widths(page, widths);
        if (native::truthy(sheet.attr("get")("hidden", false))) {
            page.attr("sheet_state") = "veryHidden";
        } else {
            dress_for_review(page, count);
        }
    }
    if (marks.is_none()) return;
    py::object first = book.attr("worksheets")[py::int_(0)];
    py::dict column_of;  // title -> column number, from the title row
    for (py::handle title_cell : first[py::str("1")]) column_of[title_cell.attr("value")] = title_cell.attr("column");
    py::object fill_type = native::host_attr("openpyxl.styles", "PatternFill");
    for (py::handle mark : marks) {
        py::object cell = first.attr("cell")(py::arg("row") = py::int_(mark["row"]) + py::int_(2),
                                             py::arg("column") = column_of[mark["column"]]);
        py::object fill = mark["fill"];
        cell.attr("fill") = fill_type(py::arg("fill_type") = "solid", py::arg("start_color") = fill,
                                      py::arg("end_color") = fill);
        py::object note = mark.attr("get")("note");
        if (!note.is_none()) cell.attr("comment") = global("Comment")(note, "generate");
    }
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
    py::object from_records = global("pd").attr("DataFrame").attr("from_records");
    py::object table;
    size_t column_count;
    if (!columns.is_none() && py::len(data) == 0) {
        // No record: a sheet with the titles only.
        table = from_records(data, py::arg("columns") = columns);
        column_count = py::len(columns);
    } else {
        column_count = py::len(data[py::int_(0)]);  // IndexError for empty data, before anything is written
        table = from_records(data);
    }
    py::object width = global("DEFAULT_COL_WIDTH");
    py::list column_widths;
    for (size_t i = 0; i < column_count; ++i) column_widths.append(width);
    const size_t all_columns = py::len(table.attr("columns"));

    // Written and finished under a temporary name in the destination folder, then moved
    // over `path`: a failure never leaves a half-written or unfinished workbook there.
    if (sheets.is_none()) sheets = py::list();
    py::cpp_function write([table, column_widths, all_columns, sheets, marks](py::object tmp) {
        if (py::len(sheets) == 0) {
            table.attr("to_excel")(tmp, py::arg("index") = false);
        } else {
            // One writer for the cells of every sheet, so that they read back alike.
            py::object pd = global("pd");
            py::object writer = pd.attr("ExcelWriter")(tmp, py::arg("engine") = "openpyxl");
            try {
                table.attr("to_excel")(writer, py::arg("index") = false);
                for (py::handle sheet : sheets) {
                    if (sheet.contains("copy_of")) continue;
                    pd.attr("DataFrame").attr("from_records")(sheet["rows"], py::arg("columns") = sheet["columns"])
                        .attr("to_excel")(writer, py::arg("sheet_name") = sheet["title"], py::arg("index") = false);
                }
            } catch (py::error_already_set&) {
                writer.attr("close")();  // the temporary file is removed by the caller
                throw;
            }
            writer.attr("close")();
        }
        py::object workbook = global("load_workbook")(py::arg("filename") = native::text(tmp));
        py::object sheet = workbook.attr("worksheets")[py::int_(0)];
        keep_texts_texts(sheet);
        dress_for_review(sheet, all_columns);
        set_widths(sheet, column_widths);
        finish_sheets(workbook, sheets, marks);
        workbook.attr("save")(native::text(tmp));
    });
    global("write_atomically")(path, write, py::arg("suffix") = ".xlsx");  // pandas picks its writer by it
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
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("load_workbook") = native::host_attr("openpyxl", "load_workbook");
    m.attr("get_column_letter") = native::host_attr("openpyxl.utils", "get_column_letter");
    m.attr("Font") = native::host_attr("openpyxl.styles", "Font");
    m.attr("Comment") = native::host_attr("openpyxl.comments", "Comment");
    m.attr("DataValidation") = native::host_attr("openpyxl.worksheet.datavalidation", "DataValidation");
    m.attr("zipfile") = py::module_::import("zipfile");
    py::module_ exporters = py::module_::import("generator.common.serializers.export");
    m.attr("register_exporter") = exporters.attr("register_exporter");
    m.attr("write_atomically") = exporters.attr("write_atomically");
    m.attr("register_loader") = native::host_attr("generator.common.serializers.load", "register_loader");

    global.bind(m);

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
          "The columns of the first record's keys get the width DEFAULT_COL_WIDTH.\n"
          "columns: the titles to write when data holds no record (ignored otherwise).\n"
          "sheets: further sheets after the first, each {'title', 'rows', 'columns', 'hidden'};\n"
          "a hidden one is kept out of the engineer's sight (very hidden). {'title', 'copy_of': path}\n"
          "copies that sheet of the workbook at path (values, formulas, widths).\n"
          "marks: cells of the first sheet to colour, each {'row': index in data, 'column': title,\n"
          "'fill': 'RRGGBB', 'note': text or None}.");
    m.attr("export_to_xlsx") = as_exporter(m.attr("export_to_xlsx"));

    m.def("_set_column_widths", &set_column_widths, py::arg("column_widths"), py::arg("path"),
          "Set the widths of the first sheet's columns, the first for column A, and save the workbook in place.");
}
