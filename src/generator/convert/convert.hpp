// The convert module's sources share these: its globals and log, the cell
// formatters (formatters.cpp), the record helpers that read one workbook row
// (records.cpp) and the report that names every mistake of a workbook at once
// (report.cpp). The module table, the assembly and the command are convert.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native/cell_text.hpp"
#include "native/globals.hpp"
#include "native/host.hpp"

namespace convert_module {
namespace py = pybind11;
using native::raise_builtin;

extern native::ModuleLog LOG;
extern native::ModuleGlobals global;  // the module's globals, read at call time as Python code would

std::string repr_text(py::handle obj);
std::string type_name(py::handle obj);
bool is_mapping(py::handle obj);

// ---- field formatters (formatters.cpp) ------------------------------------------

py::object format_bool(py::handle value);
py::list parse_spoke_gw_tags(py::handle tags_str);
// The class of the functions `_list` returns.
py::object make_list_formatter_class(const std::string& module);

// ---- reading one record (records.cpp) -------------------------------------------

// The module constants that say which columns are read and how, looked up once per call.
struct Columns {
    py::object account = global("ACCOUNT_INFO_FIELDS");
    py::object vpc = global("VPC_FIELDS");
    py::object null = global("NULL");
    py::object formatters = global("FIELD_FORMATTERS");
};

// The formatter of `column`, or a null object when it has none.
py::object formatter_for(const Columns& cols, py::handle column);

// record[column]; a missing column is a KeyError naming it.
py::object cell(py::handle record, py::handle column);

// The mistakes found in one record's cells, each "column C: what is wrong": the record
// helpers raise them together, as one ValueError with a line each, and the caller,
// which knows the sheet row, puts the row in front of each line.
class CellProblems {
public:
    // The cell's configuration value, or none when its formatter refuses it.
    py::object formatted(const Columns& cols, py::handle column, py::object value) {
        py::object formatter = formatter_for(cols, column);
        if (!formatter) return value;
        try {
            return formatter(value);
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_TypeError)) throw;
            add(column, native::text(err.value()));
            return py::object();
        }
    }

    // Names and ids are matched as they stand: blanks around them would make another name.
    void refuse_blanks_around(py::handle column, py::handle value) {
        if (!PyUnicode_Check(value.ptr())) return;
        const std::string text = value.cast<std::string>();
        if (!text.empty() && native::trim(text) != text) {
            add(column, repr_text(value) + " has blanks around it; remove them");
        }
    }

    void add(py::handle column, const std::string& problem) {
        const std::string name = native::text(column);
        lines_ += (lines_.empty() ? "" : "\n") + ("column " + name + ": " + problem);
        columns_.push_back(name);
    }

    bool any() const { return !lines_.empty(); }
    const std::string& lines() const { return lines_; }
    const std::vector<std::string>& columns() const { return columns_; }

    void raise_if_any() const {
        if (!lines_.empty()) raise_builtin("ValueError", lines_);
    }

private:
    std::string lines_;
    std::vector<std::string> columns_;  // the refused columns, in the order of the lines
};

// The account columns of `record` that are not empty, formatted; cells that are refused
// are left out and named in `problems`.
py::dict account_info(const Columns& cols, py::handle record, CellProblems& problems);
// The VPC columns of `record`, as account_info takes the account columns.
py::dict vpc_entry(const Columns& cols, py::handle record, bool gateway_names, CellProblems& problems);
// The template's config.configure_gw_name, off when anything on the way is absent.
bool gateway_naming(py::handle tm_config);
// The column names a record must carry: account columns, "region", VPC columns.
void require_columns(const Columns& cols, py::handle record);
// How an account is named in messages: by its id, or as the rows without one.
std::string account_label(py::handle account_id);
// The key of a KeyError, as text.
std::string missing_key(py::error_already_set& err);
// A cell's value in messages: its repr, or "empty".
std::string shown(PyObject* value);

// ---- every mistake of the workbook, reported at once (report.cpp) ----------------

constexpr size_t kMostReported = 50;

// One line of the report, kept with its sheet row (0: not tied to one row) so that
// the report reads in sheet order.
struct Problem {
    long row;
    std::string line;
};

class Report {
public:
    void add(long row, std::string line) { problems_.push_back({row, std::move(line)}); }

    // Each line of a record helper's error, as "row R, column C: ...".
    void add_from_row(long row, const std::string& message) {
        size_t start = 0;
        while (start <= message.size()) {
            size_t end = message.find('\n', start);
            if (end == std::string::npos) end = message.size();
            const std::string line = message.substr(start, end - start);
            if (!line.empty()) {
                add(row, "row " + std::to_string(row) + (line.rfind("column ", 0) == 0 ? ", " : ": ") + line);
            }
            start = end + 1;
        }
    }

    bool empty() const { return problems_.empty(); }

    // One ValueError naming every mistake (up to 50, by row, then how many more).
    [[noreturn]] void raise() {
        std::stable_sort(problems_.begin(), problems_.end(), [](const Problem& a, const Problem& b) {
            return (a.row == 0 ? LONG_MAX : a.row) < (b.row == 0 ? LONG_MAX : b.row);
        });
        if (problems_.size() == 1) raise_builtin("ValueError", problems_[0].line);
        std::string message = "the workbook has " + std::to_string(problems_.size()) + " mistakes:";
        for (size_t i = 0; i < problems_.size() && i < kMostReported; ++i) message += "\n" + problems_[i].line;
        if (problems_.size() > kMostReported) {
            message += "\n... and " + std::to_string(problems_.size() - kMostReported) + " more";
        }
        raise_builtin("ValueError", message);
    }

private:
    std::vector<Problem> problems_;
};

// All rows of one account must agree on the account columns: a line for each column
// where `other` (row `row`) differs from the account's data (row `first_row`).
void report_disagreement(Report& report, const Columns& cols, py::handle account_id, py::handle first,
                         long first_row, py::handle other, long row);

// Where in the sheet a refused field of an account mapping came from: the model's
// location (regions, i, vpcs, j, column, ...) becomes "row R, column C" followed by
// what lies below the column (list positions, tag parts); row 0 when it is not known.
struct SheetPlace {
    long row;            // 0: not known
    std::string column;  // the column, when the row is known
    std::string where;
};

SheetPlace sheet_location(py::handle loc, long account_row, const std::vector<std::vector<long>>& vpc_rows);

// The model's words for one refused field, without its error codes and links.
std::string model_message(py::handle detail);

// The refused fields of a model error (errors(), as pydantic's gives), each placed by
// `locate` (nothing: a cell already reported); false when the error does not list its fields.
template <typename Locate>
bool report_model_refusal(Report& report, py::error_already_set& err, Locate&& locate) {
    py::object original = err.value();
    if (!py::hasattr(original, "errors")) return false;
    py::object details;
    try {
        details = original.attr("errors")();
    } catch (py::error_already_set&) {
        return false;
    }
    std::vector<Problem> found;
    size_t listed = 0;
    for (py::handle detail : details) {
        if (!PyDict_Check(detail.ptr()) || !py::reinterpret_borrow<py::dict>(detail).contains("loc") ||
            !py::reinterpret_borrow<py::dict>(detail).contains("msg")) {
            return false;
        }
        ++listed;
        std::optional<std::pair<long, std::string>> place = locate(py::reinterpret_borrow<py::dict>(detail)["loc"]);
        if (place) found.push_back({place->first, place->second + ": " + model_message(detail)});
    }
    if (listed == 0) return false;
    for (Problem& problem : found) report.add(problem.row, std::move(problem.line));
    return true;
}

}  // namespace convert_module
