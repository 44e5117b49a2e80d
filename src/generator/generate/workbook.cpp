// Writing the review workbook: the VPC sheet (merged on a refresh), the sheets
// kept beside it, the hidden sheet of generated values and the Coverage sheet.
#include <iterator>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

// Marks of a refreshed sheet: fills as the spreadsheet programs' "good" and "bad" styles.
constexpr const char* kAddedFill = "C6EFCE";
constexpr const char* kConflictFill = "FFC7CE";
constexpr const char* kUncheckedFill = "D9D9D9";

py::dict sheet(const char* title, py::handle rows, py::handle columns, bool hidden) {
    return py::dict("title"_a = title, "rows"_a = rows, "columns"_a = columns, "hidden"_a = hidden);
}

py::dict mark(py::handle row, py::handle column, const char* fill, py::object note) {
    return py::dict("row"_a = row, "column"_a = column, "fill"_a = fill, "note"_a = note);
}

// The VPC sheet written to `path`, with the values generated hidden beside it (the base of a
// later refresh). With `previous` (read_refresh_base), the rows are first merged into the
// engineer's sheet; VPCs of the accounts and regions that failed in `ledger` were not looked
// for and are kept. `shown` is the workbook's name for messages. Returns the merge, to be
// reported once the workbook is in place (None without a refresh).
py::object write_workbook(py::object excel_data, py::object path, py::object previous, py::object ledger,
                          py::object shown) {
    py::object export_to_xlsx = global("serializers").attr("xlsx").attr("export_to_xlsx");
    py::object headers = global("HEADERS");
    py::list sheets;
    if (previous.is_none()) {
        sheets.append(sheet(kGeneratedSheet, excel_data, headers, true));
        if (py::len(excel_data) == 0) {
            // Still a workbook, so the engineer sees the columns and that nothing was found.
            LOG(log_level::warning, "main", "No VPC found in the configured accounts and regions: %s holds the column titles only",
                shown);
        }
        export_to_xlsx(excel_data, path, "columns"_a = headers, "sheets"_a = sheets);
        return py::none();
    }

    py::list unchecked;  // an unreachable account is not a deleted VPC
    for (py::handle entry : ledger) {
        if (native::text(entry["state"]) == "failed") unchecked.append(py::make_tuple(entry["account_id"], entry["region"]));
    }
    // A shared VPC now listed under its owner is the same VPC: the engineer's edits follow it.
    py::dict merged = global("_merge_refresh")(follow_moves(previous["base"], excel_data),
                                               follow_moves(previous["edited"], excel_data), excel_data,
                                               "unchecked"_a = unchecked);
    py::list rows = merged["rows"];
    py::list removed = previous["removed"];
    for (py::handle row : merged["removed"]) removed.append(row);
    if (py::len(removed) > 0) sheets.append(sheet(kRemovedSheet, removed, titles_of(headers, removed), false));
    for (py::handle title : previous["own_sheets"]) sheets.append(py::dict("title"_a = title, "copy_of"_a = shown));
    py::list base = py::list(excel_data);
    for (py::handle row : merged["base_kept"]) base.append(row);
    sheets.append(sheet(kGeneratedSheet, base, headers, true));

    py::list columns = titles_of(headers, rows);
    py::list marks;
    auto mark_rows = [&](py::handle indices, const char* fill, const char* note) {
        for (py::handle index : indices) {
            for (py::handle column : columns) {
                const bool first = native::text(column) == "vpc_id";
                marks.append(mark(index, column, fill, first ? py::object(py::str(note)) : py::object(py::none())));
            }
        }
    };
    mark_rows(merged["added"], kAddedFill, "New: found for the first time by generate --refresh");
    mark_rows(merged["not_rechecked"], kUncheckedFill,
              "Not re-checked: its account or region could not be walked by generate --refresh (see the Coverage "
              "sheet); kept as it was");
    for (py::handle conflict : merged["conflicts"]) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(conflict);
        marks.append(mark(at[0], at[1], kConflictFill,
                          py::str("AWS now gives " + shown_value(at[2]) + "; your value was kept (generate --refresh)")));
    }
    export_to_xlsx(rows, path, "columns"_a = headers, "sheets"_a = sheets, "marks"_a = marks);
    return std::move(merged);
}

const char* const kCoverageHeaders[] = {"account_id", "account_name", "region", "state",
                                        "vpcs",       "error_code",   "message", "seconds"};

// `records` as a sheet `title` at position `index` of the open workbook `book`; the widest column `wide`.
void add_table_sheet(py::handle book, const char* title, long index, py::handle titles, py::handle records, long wide) {
    py::object sheet = book.attr("create_sheet")(title, "index"_a = index);
    sheet.attr("append")(titles);
    long row = 1;
    for (py::handle entry : records) {
        ++row;
        long column = 0;
        for (py::handle key : titles) {
            py::object value = entry[key];
            py::object cell = sheet.attr("cell")("row"_a = row, "column"_a = ++column, "value"_a = value);
            if (py::isinstance<py::str>(value)) cell.attr("data_type") = "s";  // AWS's text stays text, even "=..."
        }
    }
    py::object letter = native::host_attr("openpyxl.utils", "get_column_letter");
    for (long column = 1; column <= static_cast<long>(py::len(titles)); ++column) {
        sheet.attr("column_dimensions")[letter(column)].attr("width") = column == wide ? 80 : 20;
    }
}

// The ledger as a second sheet "Coverage" of the workbook at `path`, after the VPC sheet, and
// the overlapping blocks as a third, "Overlaps".
void add_coverage_sheet(py::handle path, py::handle ledger, py::handle overlaps) {
    py::object book = native::host_attr("openpyxl", "load_workbook")(path);
    py::list titles;
    for (const char* title : kCoverageHeaders) titles.append(title);
    add_table_sheet(book, kCoverageSheet, 1, titles, ledger, 7);
    add_table_sheet(book, kOverlapsSheet, 2, overlaps_headers(), overlaps, 8);
    book.attr("save")(path);
}

}  // namespace

// The column titles of records: `first` and then every other key, in order of appearance.
py::list titles_of(py::handle first, py::handle records) {
    py::list titles;
    for (py::handle title : first) titles.append(title);
    for (py::handle record : records) {
        for (py::handle title : record) {
            if (!titles.contains(title)) titles.append(title);
        }
    }
    return titles;
}

// The workbook's VPC sheet and its Coverage and Overlaps sheets, written whole or not at all. Returns
// the merge of a refresh (with `previous`), to be reported once the workbook is in place.
py::object export_workbook(py::handle excel_data, py::handle excel, py::handle ledger, py::handle overlaps,
                           py::handle previous) {
    py::object rows = py::reinterpret_borrow<py::object>(excel_data);
    py::object shown = py::reinterpret_borrow<py::object>(excel);
    py::object coverage = py::reinterpret_borrow<py::object>(ledger);
    py::object overlapping = py::reinterpret_borrow<py::object>(overlaps);
    py::object base = py::reinterpret_borrow<py::object>(previous);
    py::list merged;  // filled by the writer
    py::cpp_function write([rows, shown, coverage, overlapping, base, merged](py::object tmp) mutable {
        merged.append(write_workbook(rows, tmp, base, coverage, shown));
        add_coverage_sheet(tmp, coverage, overlapping);
    });
    global("serializers").attr("export").attr("write_atomically")(excel, write, "suffix"_a = ".xlsx");
    return merged[0];
}

}  // namespace generate_module
