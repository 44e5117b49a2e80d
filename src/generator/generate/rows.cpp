// The workbook row of a VPC and the cells the configuration's defaults fill.

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

// `value or NULL`
py::object or_null(py::object value) { return truthy(value) ? value : global("NULL"); }

py::object bool_or_null(py::object value) { return value.is_none() ? global("NULL") : value; }

py::object list_or_null(py::object items) {
    if (items.is_none()) return global("NULL");
    py::list out;
    for (py::handle item : items) out.append(py::str(item));
    return std::move(out);
}

py::dict workbook_row(const char* op, py::handle defaults, py::handle hpe, py::handle account_id, py::handle role_name,
                      py::handle account_name, py::handle region, py::handle vpc, py::handle crvn_cidr) {
    py::dict row_data;
    for (py::handle header : global("HEADERS")) row_data[header] = py::none();
    row_data["account_id"] = account_id;
    row_data["account_name"] = account_name;
    row_data["hpe"] = hpe;
    row_data["managed_tgw"] = global("_bool_or_null")(defaults.attr("managed_tgw"));
    row_data["filter_cidrs"] = global("_list_or_null")(defaults.attr("filter_cidrs"));
    row_data["spoke_gw_size"] = or_null(defaults.attr("spoke_gw_size"));
    row_data["role_name"] = or_null(py::reinterpret_borrow<py::object>(role_name));  // the role used in the account
    row_data["region"] = region;
    row_data["vpc_id"] = vpc.attr("id");
    row_data["crvn_cidr"] = or_null(py::str(crvn_cidr));
    row_data["spoke_gw_name"] = global("get_spoke_gw_name")(vpc);
    row_data["transit_gw_name"] = or_null(defaults.attr("transit_gw_name"));
    row_data["gw_zones"] = global("_list_or_null")(defaults.attr("gw_zones"));
    row_data["domain"] = or_null(defaults.attr("domain"));
    row_data["encrypt"] = global("_bool_or_null")(defaults.attr("encrypt"));
    row_data["inspection"] = global("_bool_or_null")(defaults.attr("inspection"));
    row_data["spoke_advertisement"] = global("NULL");
    row_data["spoke_routes"] = global("NULL");
    row_data["spoke_gw_tags"] = global("NULL");
    LOG.lazy(log_level::debug, op, "Row Data:\n%s", [&] { return py::make_tuple(pformat(row_data)); });
    return row_data;
}

// The controller's name of the account. One the controller does not list keeps an
// empty name, and the engineer is told, since the name is needed for the migration.
py::object named_account(py::handle account_id, py::handle account_list, const char* op) {
    py::object name = global("get_acct_name")(account_id, account_list);
    if (name.is_none()) {
        LOG(log_level::warning, op, "Account %s is not in the Corvane Controller's account list: its account_name stays empty",
            account_id);
    }
    return name;
}

}  // namespace generate_module
