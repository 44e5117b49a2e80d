// One workbook record read: its account cells and its VPC cells, formatted, with
// every refused cell named.
#include <string>

#include "generator/convert/convert.hpp"

namespace convert_module {

py::object formatter_for(const Columns& cols, py::handle column) {
    if (PyDict_Check(cols.formatters.ptr())) {
        PyObject* f = PyDict_GetItemWithError(cols.formatters.ptr(), column.ptr());
        if (f == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return f ? py::reinterpret_borrow<py::object>(f) : py::object();
    }
    const int found = PySequence_Contains(cols.formatters.ptr(), column.ptr());
    if (found < 0) throw py::error_already_set();
    if (found == 0) return py::object();
    return cols.formatters[column];
}

// record[column]; a missing column is a KeyError naming it.
py::object cell(py::handle record, py::handle column) {
    PyObject* value = PyObject_GetItem(record.ptr(), column.ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}


// The account columns of `record` that are not empty, formatted; cells that are refused
// are left out and named in `problems`.
py::dict account_info(const Columns& cols, py::handle record, CellProblems& problems) {
    py::dict out;
    for (py::handle column : cols.account) {
        py::object value = cell(record, column);
        if (value.equal(cols.null)) continue;
        if (native::text(column) == "account_name") problems.refuse_blanks_around(column, value);
        py::object formatted = problems.formatted(cols, column, value);
        if (formatted) out[column] = formatted;
    }
    return out;
}

// The VPC columns of `record`, as account_info takes the account columns.
py::dict vpc_entry(const Columns& cols, py::handle record, bool gateway_names, CellProblems& problems) {
    py::dict out;
    for (py::handle column : cols.vpc) {
        py::object value = cell(record, column);
        const std::string name = native::text(column);
        if (value.equal(cols.null) && name != "crvn_cidr") continue;
        if (name == "vpc_id") problems.refuse_blanks_around(column, value);
        py::object formatted = problems.formatted(cols, column, value);
        if (formatted) out[column] = formatted;
    }
    if (!gateway_names) {
        for (const char* name : {"spoke_gw_name", "transit_gw_name"}) {
            if (out.contains(name)) PyDict_DelItemString(out.ptr(), name);
        }
    }
    return out;
}

// The template's config.configure_gw_name, off when anything on the way is absent.
bool gateway_naming(py::handle tm_config) {
    if (tm_config.is_none() || !native::truthy(tm_config)) return false;
    if (!is_mapping(tm_config)) {
        raise_builtin("TypeError", "the configuration template must be a mapping, not " + type_name(tm_config));
    }
    py::object config = tm_config.attr("get")("config", py::dict());
    if (!is_mapping(config)) {
        raise_builtin("TypeError", "the template's config entry must be a mapping, got " + repr_text(config));
    }
    py::object setting = config.attr("get")("configure_gw_name", false);
    try {
        return format_bool(setting).cast<bool>();
    } catch (py::error_already_set& err) {
        native::add_note(err.value(), "in the template's config.configure_gw_name");
        throw;
    }
}

// The column names a record must carry: account columns, "region", VPC columns.
void require_columns(const Columns& cols, py::handle record) {
    std::string missing;
    auto check = [&](py::handle column) {
        if (PySequence_Contains(record.ptr(), column.ptr()) == 1) return;
        if (PyErr_Occurred()) throw py::error_already_set();
        missing += (missing.empty() ? "" : ", ") + native::text(column);
    };
    for (py::handle column : cols.account) check(column);
    check(py::str("region"));
    for (py::handle column : cols.vpc) check(column);
    if (!missing.empty()) raise_builtin("KeyError", "columns not in the workbook: " + missing);
}

// How an account is named in messages: by its id, or as the rows without one.
std::string account_label(py::handle account_id) {
    std::string id = native::text(account_id);
    return id.empty() ? "the account with an empty account_id" : "account " + id;
}

std::string shown(PyObject* value) { return value ? repr_text(value) : "empty"; }

// The key of a KeyError, as text.
std::string missing_key(py::error_already_set& err) {
    py::tuple args = err.value().attr("args");
    return args.size() == 1 ? native::text(args[0]) : native::text(err.value());
}

}  // namespace convert_module
