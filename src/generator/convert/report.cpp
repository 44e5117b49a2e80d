// The report of a workbook's mistakes: every refused cell and every refusal of the
// model, each named by its sheet row and column.
#include <string>
#include <vector>

#include "generator/convert/convert.hpp"

namespace convert_module {

// All rows of one account must agree on the account columns: a line for each column
// where `other` (row `row`) differs from the account's data (row `first_row`).
void report_disagreement(Report& report, const Columns& cols, py::handle account_id, py::handle first,
                         long first_row, py::handle other, long row) {
    for (py::handle column : cols.account) {
        PyObject* a = PyDict_GetItemWithError(first.ptr(), column.ptr());
        if (a == nullptr && PyErr_Occurred()) throw py::error_already_set();
        PyObject* b = PyDict_GetItemWithError(other.ptr(), column.ptr());
        if (b == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if ((a == nullptr) == (b == nullptr) && (a == nullptr || py::handle(a).equal(py::handle(b)))) continue;
        report.add(row, "row " + std::to_string(row) + ", column " + native::text(column) + ": " + shown(b) +
                            ", but " + shown(a) + " in row " + std::to_string(first_row) + " of " +
                            account_label(account_id) + "; every row of an account must agree");
    }
}


SheetPlace sheet_location(py::handle loc, long account_row, const std::vector<std::vector<long>>& vpc_rows) {
    std::vector<std::string> parts;
    std::vector<long> numbers;
    for (py::handle part : loc) {
        parts.push_back(native::text(part));
        int overflow = 0;
        long number = PyLong_Check(part.ptr()) ? PyLong_AsLongAndOverflow(part.ptr(), &overflow) : -1;
        numbers.push_back(overflow != 0 ? -1 : number);
    }
    const size_t n = parts.size();
    auto joined = [&](size_t from) {
        std::string out;
        for (size_t k = from; k < n; ++k) out += (out.empty() ? "" : ".") + parts[k];
        return out;
    };
    auto index = [&](size_t k, size_t bound) -> long {
        return k < n && numbers[k] >= 0 && static_cast<size_t>(numbers[k]) < bound ? numbers[k] : -1;
    };
    long row = 0;
    size_t column_at = 0;
    if (n >= 3 && parts[0] == "regions") {
        long i = index(1, vpc_rows.size());
        if (i < 0 || vpc_rows[i].empty()) return {0, {}, joined(0)};
        if (n >= 5 && parts[2] == "vpcs") {
            long j = index(3, vpc_rows[i].size());
            if (j < 0) return {0, {}, joined(0)};
            row = vpc_rows[i][j];
            column_at = 4;
        } else {
            row = vpc_rows[i].front();
            column_at = 2;
        }
    } else if (n >= 1 && numbers[0] < 0) {
        // Account columns: the row the account's data came from, else the account's first row.
        row = account_row > 0 ? account_row : (!vpc_rows.empty() && !vpc_rows[0].empty() ? vpc_rows[0][0] : 0);
        if (row == 0) return {0, {}, joined(0)};
    } else {
        return {0, {}, joined(0)};
    }
    std::string where = "row " + std::to_string(row) + ", column " + parts[column_at];
    for (size_t k = column_at + 1; k < n; ++k) {
        where += ", " + (numbers[k] >= 0 ? "item " + std::to_string(numbers[k] + 1) : parts[k]);
    }
    return {row, parts[column_at], where};
}

// The model's words for one refused field, without its error codes and links.
std::string model_message(py::handle detail) {
    std::string msg = native::text(detail["msg"]);
    for (const char* prefix : {"Value error, ", "Assertion failed, "}) {
        if (msg.rfind(prefix, 0) == 0) msg = msg.substr(std::string(prefix).size());
    }
    py::dict entry = py::reinterpret_borrow<py::dict>(detail);
    if (entry.contains("input")) {
        py::object input = entry["input"];
        const std::string got = repr_text(input);
        if (!PyDict_Check(input.ptr()) && !PyList_Check(input.ptr()) && msg.find(got) == std::string::npos) {
            msg += " (got " + got + ")";
        }
    }
    return msg;
}

}  // namespace convert_module
