// generator.generate: the `generate` command. Logs in to the Corvane Controller
// for its account names, assumes a role in every configured AWS account, lists
// the VPCs of each region, proposes a spoke-gateway name and a free block for
// each, and writes the review workbook and/or the minimal YAML inventory.
//
// This file is the module's table: its attributes and functions as Python sees
// them. The operations live in generate/, one source per concern: controller.cpp
// (the controller client), aws.cpp (roles, STS and EC2), naming.cpp (gateway names,
// free blocks), rows.cpp (workbook rows), walk.cpp, region.cpp and progress.cpp
// (the concurrent walk), journal.cpp (the walk's journal, for --resume), refresh.cpp
// (the refresh merge), workbook.cpp (writing the workbook) and command.cpp (`main` and
// its options).
#include <pybind11/pybind11.h>

#include <string>

#include "generator/generate/generate.hpp"
#include "native/model.hpp"
#include "native/quoted.hpp"
#include "native/review_columns.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace generate_module {

native::ModuleLog LOG;
native::ModuleGlobals global;

py::object pformat(py::handle value) { return global("pformat")(value); }

}  // namespace generate_module

namespace {

using namespace generate_module;

// The workbook's columns, from the one table of them.
py::list headers() {
    py::list out;
    for (const native::ReviewColumn& column : native::review_columns()) out.append(py::str(std::string(column.name)));
    return out;
}

// The account columns that the configuration's defaults fill: all but the account's own ID and name.
py::list min_account_info_fields() {
    py::list out;
    for (const native::ReviewColumn& column : native::review_columns()) {
        if (column.level != native::ColumnLevel::account) continue;
        if (column.name == "account_id" || column.name == "account_name") continue;
        out.append(py::str(std::string(column.name)));
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(generate, m) {
    m.doc() = "Tandrel generator generate command.";
    global.bind(m);

    for (const char* name : {"argparse", "getpass", "ipaddress", "json", "logging", "os", "pathlib", "sys"}) {
        m.attr(name) = py::module_::import(name);
    }
    m.attr("t") = py::module_::import("typing");
    m.attr("pformat") = py::module_::import("pprint").attr("pformat");
    // The AWS SDK, the HTTP client and the configuration model (pydantic) are imported on
    // first use, not when the module loads: --help and --version do not wait for them.
    global.lazy_import("boto3", "boto3");
    global.lazy("requests", [] {
        py::object requests = py::module_::import("requests");
        // Unless the configuration asks for a check (controller.verify), the controller is reached without
        // certificate verification; don't warn about it on every request.
        requests.attr("packages").attr("urllib3").attr("disable_warnings")();
        return requests;
    });
    m.attr("yaml") = py::module_::import("yaml");
    native::bind_model(global, {"AccountInfo"});
    m.attr("get_parent_parser") = py::module_::import("generator.cli").attr("get_parent_parser");
    m.attr("serializers") = py::module_::import("generator.common.serializers");
    global.lazy_import("load_config", "generator.config", "load_config");

    m.attr("log") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    LOG.bind(m);
    m.attr("VPC_PAGE_SIZE") = 64;
    m.attr("SUBNET_PAGE_SIZE") = 64;
    m.attr("CorvaneError") = native::make_class("generator.generate", "CorvaneError",
                                                py::make_tuple(native::host_attr("builtins", "Exception")));

    m.def("get_account_list", &get_account_list, py::arg("config"),
          "Log in to the Corvane Controller (the password from CORVANE_PASSWORD or asked at the terminal) and "
          "return its account list.");
    m.def("get_acct_name", &get_acct_name, py::arg("account_id"), py::arg("account_list"),
          "The controller's name of the account, or None when the controller does not know it.");
    m.def("get_regions", &get_regions, py::arg("creds"), "The names of the regions the account can use.");
    m.def("get_role_arn", &get_role_arn, py::arg("account_id"), py::arg("role_name"),
          "The ARN of the role `role_name` in the account.");
    m.def("get_temp_creds_for_account", &get_temp_creds_for_account, py::arg("role_arn"),
          "Assume the role; print why on standard error and exit with status 1 when it is refused.");
    m.def("get_ec2_resource_handler", &get_ec2_resource_handler, py::arg("aws_region"), py::arg("creds"),
          "An EC2 resource for the region, acting with the temporary credentials.");
    m.def("get_spoke_gw_name", &get_spoke_gw_name, py::arg("vpc"),
          "The spoke gateway name proposed for the VPC: its Name tag or its id, cut to 23 characters, + '-CRVGW'.");
    m.def("compute_crvn_cidr", &compute_crvn_cidr, py::arg("vpc"), py::arg("hpe"),
          "The lowest /25 (hpe) or /27 block of the VPC that overlaps none of its subnets, or '' when none is free.");

    m.attr("HEADERS") = headers();
    m.attr("NULL") = "";
    m.def("_bool_or_null", &bool_or_null, py::arg("value"), "The value itself, or NULL when it is None.");
    m.def("_list_or_null", &list_or_null, py::arg("items"), "The items as texts, or NULL when there are none.");
    m.def("generate_tandrel_excel_data", &generate_tandrel_excel_data, py::arg("config"), py::kw_only(),
          py::arg("jobs") = kDefaultJobs, py::arg("keep_going") = false,
          "One workbook row per VPC of the configured accounts and regions.\n\njobs: how many accounts and "
          "regions are asked about at the same time; keep_going: go on past accounts and regions that fail.");
    m.attr("MIN_ACCOUNT_INFO_FIELDS") = min_account_info_fields();
    m.def("generate_min_tandrel_yaml", &generate_min_tandrel_yaml, py::arg("config"), py::kw_only(),
          py::arg("jobs") = kDefaultJobs, py::arg("keep_going") = false,
          "The minimal inventory: {'account_info': [...]} with the accounts, their regions and VPCs.\n\n"
          "jobs, keep_going: as for generate_tandrel_excel_data.");
    m.def("_discover", &discover_for_command, py::arg("config"), py::kw_only(), py::arg("rows"),
          py::arg("inventory"), py::arg("jobs"), py::arg("keep_going"), py::arg("pair_timeout"), py::arg("op"),
          py::arg("journal") = py::none(),
          "The one walk of the command: {'rows', 'account_info', 'ledger', 'overlaps', 'vpcs'} for the artefacts asked "
          "for.\n\njournal: None, or {'path', 'config_path', 'configuration', 'outputs', 'resume'}: the journal kept "
          "beside the outputs, picked up with resume.");
    native::install_quoted(m);
    m.def("_merge_refresh", &merge_refresh, py::arg("base"), py::arg("edited"), py::arg("discovered"),
          py::arg("unchecked") = py::none(), py::arg("noted") = py::none(),
          "Three-way merge of a refresh: the rows generate wrote, the engineer's rows and the rows discovered "
          "now.\n\nunchecked: (account, region) pairs not walked this time, region '*' for a whole account; "
          "their VPCs are kept, not removed.\nnoted: of each edited row, the columns whose cell has a note; a "
          "cell in conflict last time (listed in its base row's 'conflicts') stays in conflict while its note "
          "stays and its value is not AWS's (None: every cell has its note).\nReturns {'rows', 'added', "
          "'conflicts', 'removed', 'left_out', 'not_rechecked', 'base_kept', 'kept', 'updated', 'lasting'}.");
    // How many log records the walk holds in memory while earlier units are under way; more go
    // to a temporary file until their turn.
    m.attr("_held_log_records") = 20000;
    m.def("main", &generate_module::main, "Run the generate command with the process's command line.");
    m.attr("AWS_CONNECT_TIMEOUT") = 10;  // seconds to connect to an AWS endpoint
    m.attr("AWS_READ_TIMEOUT") = 30;     // seconds for its answer
    m.attr("AWS_TIMEOUT_ATTEMPTS") = 3;  // attempts in all of a request that timed out
}

