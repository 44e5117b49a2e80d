// The refresh of an edited workbook: the three-way merge's glue, the workbook it
// starts from, and the account given once the workbook is in place.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "generator/generate/generate.hpp"
#include "native/refresh.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace refresh = native::refresh;

namespace {

// A cell as the merge compares it; a workbook cell read back or a value generate wrote.
refresh::Cell merge_cell(py::handle value) {
    refresh::Cell cell;
    using Type = refresh::Cell::Type;
    if (value.is_none()) return cell;
    if (PyBool_Check(value.ptr())) {
        cell.type = Type::boolean;
        cell.flag = value.ptr() == Py_True;
    } else if (PyLong_Check(value.ptr())) {
        cell.type = Type::number;
        cell.text = native::text(value);
    } else if (PyFloat_Check(value.ptr())) {
        const double number = PyFloat_AsDouble(value.ptr());
        if (number != number) return cell;  // not a number: an empty cell
        cell.type = Type::number;
        // A whole number reads back as an integer from some readers and as a float from others.
        cell.text = truthy(value.attr("is_integer")()) ? native::text(py::int_(py::reinterpret_borrow<py::object>(value))) : native::text(py::repr(value));
    } else if (PyUnicode_Check(value.ptr())) {
        cell.type = Type::text;
        cell.text = value.cast<std::string>();
    } else if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        cell.type = Type::items;
        for (py::handle item : value) cell.items.push_back(native::text(item));
    } else {
        cell.type = Type::other;
        cell.text = native::text(py::repr(value));
    }
    return cell;
}

std::vector<py::object> objects(py::handle items) {
    std::vector<py::object> out;
    for (py::handle item : items) out.push_back(py::reinterpret_borrow<py::object>(item));
    return out;
}

std::vector<refresh::Row> merge_rows(py::handle records, py::handle columns, const char* what) {
    std::vector<refresh::Row> rows;
    long number = 0;
    for (py::handle record : records) {
        ++number;
        refresh::Row row;
        for (py::handle column : columns) {
            PyObject* value = PyObject_GetItem(record.ptr(), column.ptr());
            if (value == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                PyErr_Clear();
                native::raise_builtin("KeyError", std::string(what) + " row " + std::to_string(number) +
                                                      " has no column " + native::text(column));
            }
            row.push_back(merge_cell(py::reinterpret_steal<py::object>(value)));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

// The three-way merge of a refresh, on lists of records: `base` as generate wrote them,
// `edited` as the engineer's sheet holds them, `discovered` as generate builds them now.
py::dict merge_refresh(py::object base, py::object edited, py::object discovered, py::object unchecked) {
    py::object columns = global("HEADERS");
    std::vector<std::string> titles;
    for (py::handle column : columns) titles.push_back(native::text(column));
    std::optional<refresh::Merge> merge;
    try {
        merge.emplace(titles);
    } catch (const std::invalid_argument& err) {
        native::raise_builtin("ValueError", err.what());
    }
    std::vector<refresh::Scope> scopes;
    if (!unchecked.is_none()) {
        for (py::handle scope : unchecked) {
            py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(scope));
            scopes.push_back({native::text(pair[0]), native::text(pair[1])});
        }
    }
    const refresh::Plan plan =
        merge->plan(merge_rows(base, columns, "the generated"), merge_rows(edited, columns, "the edited"),
                    merge_rows(discovered, columns, "the discovered"), scopes);

    const std::vector<py::object> edited_rows = objects(edited), discovered_rows = objects(discovered);
    // Columns the engineer added to the sheet travel with their rows.
    py::list extra;
    for (const py::object& record : edited_rows) {
        for (py::handle title : record) {
            if (!columns.contains(title) && !extra.contains(title)) extra.append(title);
        }
    }

    py::list rows, added, conflicts, not_rechecked;
    for (const refresh::MergedRow& merged : plan.sheet) {
        py::dict row;
        if (merged.unchecked) not_rechecked.append(py::len(rows));
        if (merged.added) {
            py::handle found = discovered_rows[merged.index];
            size_t c = 0;
            for (py::handle column : columns) {
                const bool from_account = merged.account_row >= 0 && merge->account_column(c++);
                row[column] = from_account ? py::object(rows[merged.account_row][column]) : py::object(found[column]);
            }
            for (py::handle title : extra) row[title] = global("NULL");
            added.append(py::len(rows));
        } else {
            py::handle mine = edited_rows[merged.index];
            size_t c = 0;
            for (py::handle column : columns) {
                const auto pick = merged.picks.empty() ? refresh::Pick::edited : merged.picks[c++];
                if (pick == refresh::Pick::discovered) {
                    row[column] = discovered_rows[merged.discovered][column];
                } else {
                    row[column] = mine[column];
                    if (pick == refresh::Pick::conflict) {
                        conflicts.append(py::make_tuple(py::len(rows), column,
                                                        discovered_rows[merged.discovered][column]));
                    }
                }
            }
            for (py::handle title : extra) row[title] = mine.attr("get")(title, global("NULL"));
        }
        rows.append(row);
    }
    py::list removed, left_out, base_kept;
    for (size_t e : plan.removed) removed.append(edited_rows[e]);
    const std::vector<py::object> base_rows = objects(base);
    for (size_t b : plan.left_out) left_out.append(base_rows[b]);
    for (size_t b : plan.base_kept) base_kept.append(base_rows[b]);

    return py::dict("rows"_a = rows, "added"_a = added, "conflicts"_a = conflicts, "removed"_a = removed,
                    "left_out"_a = left_out, "not_rechecked"_a = not_rechecked, "base_kept"_a = base_kept,
                    "kept"_a = plan.kept, "updated"_a = plan.updated);
}

// How a cell shows a value in messages: lists in their printed form, booleans as the sheet shows them.
std::string shown_value(py::handle value) {
    if (value.is_none() || (PyUnicode_Check(value.ptr()) && py::len(value) == 0)) return "an empty cell";
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "TRUE" : "FALSE";
    return native::text(py::repr(PyUnicode_Check(value.ptr()) ? value : py::str(value)));
}

// The workbook a refresh starts from, read and checked before anything is contacted:
// {"edited": the first sheet's records, "removed": those of the Removed sheet, "base":
// those of the hidden sheet}, or None when there is no such file yet.
py::object read_refresh_base(py::object excel) {
    if (!truthy(global("os").attr("path").attr("exists")(excel))) return py::none();
    py::dict sheets = global("serializers").attr("xlsx").attr("load_sheets")(excel);
    py::list titles = py::list(sheets);
    if (!sheets.contains(kGeneratedSheet) || native::text(titles[0]) == kGeneratedSheet) {
        native::raise_builtin("ValueError",
                              native::text(excel) + ": cannot refresh: it has no hidden sheet '" + kGeneratedSheet +
                                  "' with the values generate wrote, so it was not written by generate (or by a "
                                  "version before --refresh); nothing was changed. Without --refresh, generate "
                                  "writes a new workbook in its place, without your edits");
    }
    py::object headers = global("HEADERS");
    auto check_columns = [&](py::handle records, const std::string& which) {
        if (py::len(records) == 0) return;
        py::object record = records[py::int_(0)];
        for (py::handle column : headers) {
            if (record.contains(column)) continue;
            native::raise_builtin("ValueError", native::text(excel) + ": cannot refresh: " + which +
                                                    " has no column " + native::text(column) +
                                                    "; put it back under its title (nothing was changed)");
        }
    };
    py::dict previous;
    py::list own;  // the engineer's own sheets, carried over as they are
    for (size_t i = 1; i < titles.size(); ++i) {
        const std::string title = native::text(titles[i]);
        if (title != kRemovedSheet && title != kGeneratedSheet && title != kCoverageSheet && title != kOverlapsSheet) {
            own.append(titles[i]);
        }
    }
    previous["own_sheets"] = own;
    previous["edited"] = sheets[titles[0]];
    previous["removed"] = sheets.contains(kRemovedSheet) ? py::object(sheets[kRemovedSheet]) : py::list();
    previous["base"] = sheets[kGeneratedSheet];
    check_columns(previous["edited"], "the first sheet");
    check_columns(previous["base"], "the hidden sheet '" + std::string(kGeneratedSheet) + "'");
    return std::move(previous);
}

// The account of a refresh, once the workbook is in place.
void report_refresh(py::handle merged, py::handle shown) {
    const char* const op = "report_refresh";
    for (py::handle row : merged["removed"]) {
        LOG(log_level::info, op, "VPC %s (account %s, region %s) is no longer found: moved to sheet %s", row["vpc_id"],
            row["account_id"], row["region"], kRemovedSheet);
    }
    for (py::handle row : merged["left_out"]) {
        LOG(log_level::info, op, "VPC %s (account %s, region %s) was deleted from the sheet: left out", row["vpc_id"],
            row["account_id"], row["region"]);
    }
    py::list rows = merged["rows"];
    py::list columns = titles_of(global("HEADERS"), rows);
    py::object letter_of = native::host_attr("openpyxl.utils", "get_column_letter");
    for (py::handle conflict : merged["conflicts"]) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(conflict);
        py::object row = rows[at[0]];
        const std::string cell =
            native::text(letter_of(columns.attr("index")(at[1]) + py::int_(1))) + std::to_string(at[0].cast<long>() + 2);
        LOG(log_level::warning, op, "Conflict in %s cell %s (%s of VPC %s, account %s, region %s): kept your %s; AWS now gives %s",
            shown, cell, at[1], row["vpc_id"], row["account_id"], row["region"], shown_value(row[at[1]]),
            shown_value(at[2]));
    }
    std::string summary = "Refreshed %s: %s rows kept, %s cells updated, %s VPCs added, %s removed, %s conflicts";
    const size_t unchecked = py::len(merged["not_rechecked"]);
    if (unchecked > 0) summary += ", " + std::to_string(unchecked) + " not re-checked";
    LOG(log_level::info, op, summary.c_str(), shown, merged["kept"], merged["updated"], py::len(merged["added"]),
        py::len(merged["removed"]), py::len(merged["conflicts"]));
}

}  // namespace generate_module
