// generator.convert: the edited review workbook back into the Tandrel Migration
// configuration. Rows are grouped by account and region, cells formatted, each
// account normalised through the migration tool's model, the whole configuration
// validated, and every text written double-quoted.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "native/cell_text.hpp"
#include "native/globals.hpp"
#include "native/host.hpp"
#include "native/ipv4.hpp"
#include "native/model.hpp"
#include "native/outputs.hpp"
#include "native/quoted.hpp"
#include "native/review_columns.hpp"

namespace py = pybind11;
using native::raise_builtin;

#include "generator/convert/convert.hpp"

namespace convert_module {

native::ModuleLog LOG;
native::ModuleGlobals global;

namespace {

py::object pformatted(py::handle obj) { return global("pformat")(obj); }

// The module's own record helpers, as defined when it loaded (a reference held for the
// life of the process, so that the identity stays theirs).
PyObject* own_account_helper = nullptr;
PyObject* own_vpc_helper = nullptr;

py::dict generate_tandrel_account_info(py::object vpc_data, py::object tandrel_config) {
    const Columns cols;
    const bool debug = LOG.enabled(native::log_level::debug);  // dumps are built only when they are shown
    // The record helpers are called through the module, so a replacement is obeyed.
    py::object get_account_info = global("_get_account_info");
    py::object get_vpc_data = global("_get_vpc_data");
    Report report;

    // Grouping: account id -> region -> row numbers, each in order of first appearance.
    std::vector<py::object> records;
    py::dict accounts;
    for (py::handle record : vpc_data) {
        long row = static_cast<long>(records.size()) + 2;  // titles are row 1
        if (debug) LOG.lazy(native::log_level::debug, "generate_tandrel_account_info", "Record:\n%s", [&] {
            return py::make_tuple(pformatted(record));
        });
        py::object account_id, region;
        try {
            account_id = cell(record, py::str("account_id"));
            region = cell(record, py::str("region"));
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_KeyError)) throw;
            if (row == 2) require_columns(cols, record);  // a workbook without columns: all of them named
            raise_builtin("KeyError", "row " + std::to_string(row) + " has no column " + missing_key(err));
        }
        if (!accounts.contains(account_id)) accounts[account_id] = py::dict();
        py::dict regions = accounts[account_id];
        if (!regions.contains(region)) regions[region] = py::list();
        py::list(regions[region]).append(row);
        records.push_back(py::reinterpret_borrow<py::object>(record));
    }

    // A record helper's refusal of some cells is reported with the record's row; a
    // missing column names the row; anything else passes on unchanged.
    auto call_helper = [&](long row, auto&& call) -> py::object {
        try {
            return call();
        } catch (py::error_already_set& err) {
            if (err.matches(PyExc_KeyError)) {
                py::handle record = records[static_cast<size_t>(row - 2)];
                if (row == 2) require_columns(cols, record);  // a workbook without columns: all of them named
                raise_builtin("KeyError", "row " + std::to_string(row) + " has no column " + missing_key(err));
            }
            if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_TypeError)) throw;
            report.add_from_row(row, native::text(err.value()));
            return py::object();
        }
    };

    // With the module's own helpers, a row with refused cells still gives its other cells,
    // so that the model checks those too and every mistake of the row is named in one run;
    // the model's word on a cell already refused is left out. A replacement helper's
    // refusal leaves the row out, as it gives nothing else. `whole`: nothing was refused.
    const bool own_account = get_account_info.ptr() == own_account_helper;
    const bool own_vpc = get_vpc_data.ptr() == own_vpc_helper;
    std::set<std::pair<long, std::string>> refused;  // (row, column) of each refused cell
    auto take_cells = [&](long row, const CellProblems& problems, bool& whole) {
        whole = !problems.any();
        if (whole) return;
        report.add_from_row(row, problems.lines());
        for (const std::string& column : problems.columns()) refused.emplace(row, column);
    };
    auto account_cells = [&](long row, py::handle record, bool& whole) -> py::object {
        whole = false;
        if (!own_account) {
            py::object info = call_helper(row, [&] { return get_account_info(record); });
            whole = static_cast<bool>(info);
            return info;
        }
        return call_helper(row, [&]() -> py::object {
            CellProblems problems;
            py::dict info = account_info(cols, record, problems);
            take_cells(row, problems, whole);
            return std::move(info);
        });
    };
    auto vpc_cells = [&](long row, py::handle record) -> py::object {
        if (!own_vpc) return call_helper(row, [&] { return get_vpc_data(record, tandrel_config); });
        return call_helper(row, [&]() -> py::object {
            CellProblems problems;
            py::dict vpc = vpc_entry(cols, record, gateway_naming(tandrel_config), problems);
            bool whole;
            take_cells(row, problems, whole);
            return std::move(vpc);
        });
    };

    py::list entries;
    py::dict normalised_ids;  // account id as the model gives it back -> (id as in the sheet, first row)
    for (auto account_item : accounts) {
        py::dict account;
        long account_row = 0;
        std::vector<std::vector<long>> vpc_rows;  // sheet row of each VPC entry, by region
        py::dict vpc_id_rows;                     // vpc_id -> the first row that lists it in this account
        bool account_refused = false;             // some row's account cells were refused
        py::dict partial_account;                 // the accepted account cells of the first such row
        long partial_row = 0;
        py::list region_list;
        for (auto region_item : py::reinterpret_borrow<py::dict>(account_item.second)) {
            py::dict region_entry;
            region_entry["region"] = region_item.first;
            py::list vpcs;
            region_entry["vpcs"] = vpcs;
            vpc_rows.emplace_back();
            for (py::handle row_number : region_item.second) {
                long row = row_number.cast<long>();
                py::handle record = records[static_cast<size_t>(row - 2)];
                if (debug) LOG.lazy(native::log_level::debug, "generate_tandrel_account_info", "Parsing VPC Record:\n%s", [&] {
                    return py::make_tuple(pformatted(record));
                });
                bool whole_account;
                py::object info = account_cells(row, record, whole_account);
                if (info && !PyDict_Check(info.ptr())) info = py::dict(info);
                if (!whole_account) {
                    account_refused = true;  // reported; the account's data comes from another row
                    if (info && partial_row == 0) {
                        partial_account = py::reinterpret_borrow<py::dict>(info);
                        partial_row = row;
                    }
                } else if (account.empty()) {
                    account = py::reinterpret_borrow<py::dict>(info);
                    account_row = row;
                } else if (!info.equal(account)) {
                    report_disagreement(report, cols, account_item.first, account, account_row, info, row);
                }
                PyObject* vpc_id_cell = PyObject_GetItem(record.ptr(), py::str("vpc_id").ptr());
                if (vpc_id_cell == nullptr) PyErr_Clear();  // the helper names a missing column
                py::object vpc_id = vpc_id_cell ? py::reinterpret_steal<py::object>(vpc_id_cell) : cols.null;
                if (!vpc_id.equal(cols.null) && PyObject_Hash(vpc_id.ptr()) != -1) {
                    if (vpc_id_rows.contains(vpc_id)) {
                        report.add(row, "row " + std::to_string(row) + ", column vpc_id: " + repr_text(vpc_id) +
                                            " is listed twice for " + account_label(account_item.first) +
                                            ", in rows " + native::text(vpc_id_rows[vpc_id]) + " and " +
                                            std::to_string(row) + "; keep one row per VPC");
                    } else {
                        vpc_id_rows[vpc_id] = row;
                    }
                }
                PyErr_Clear();  // an unhashable vpc_id cell is left to the model
                py::object vpc = vpc_cells(row, record);
                if (!vpc) continue;
                if (debug) LOG.lazy(native::log_level::debug, "generate_tandrel_account_info", "VPC Data:\n%s", [&] {
                    return py::make_tuple(pformatted(vpc));
                });
                vpcs.append(vpc);
                vpc_rows.back().push_back(row);
            }
            if (debug) LOG.lazy(native::log_level::debug, "generate_tandrel_account_info", "Region Data:\n%s", [&] {
                return py::make_tuple(pformatted(region_entry));
            });
            region_list.append(region_entry);
        }
        if (account.empty() && account_refused) {
            // Every row's account cells were refused: the model checks the accepted ones of the
            // first row; without any, it could only say that the account's data is missing.
            if (partial_row == 0) continue;
            account = partial_account;
            account_row = partial_row;
        }
        account["regions"] = region_list;
        if (debug) LOG.lazy(native::log_level::debug, "generate_tandrel_account_info", "Account Data:\n%s", [&] {
            return py::make_tuple(pformatted(account));
        });
        py::object model;
        try {
            model = global("AccountInfo")(**account);
        } catch (py::error_already_set& err) {
            const bool listed = report_model_refusal(
                report, err, [&](py::handle loc) -> std::optional<std::pair<long, std::string>> {
                    SheetPlace place = sheet_location(loc, account_row, vpc_rows);
                    if (place.row > 0 && refused.count({place.row, place.column}) > 0) return std::nullopt;
                    return std::make_pair(place.row, place.where);
                });
            if (!listed) throw;
            continue;
        }
        py::object text = model.attr("json")(py::arg("exclude_unset") = true);
        py::object entry = global("json").attr("loads")(text);
        long first_row = 0;
        for (const auto& rows : vpc_rows) {
            if (!rows.empty()) {
                first_row = rows.front();
                break;
            }
        }
        if (PyDict_Check(entry.ptr())) {
            PyObject* id = PyDict_GetItemWithError(entry.ptr(), py::str("account_id").ptr());
            if (id == nullptr && PyErr_Occurred()) throw py::error_already_set();
            if (id != nullptr && PyUnicode_Check(id)) {
                // Two groups of rows whose ids the model makes one account (a number in one
                // row, text in another): rows of one account that disagree on account_id.
                py::handle normalised(id);
                if (normalised_ids.contains(normalised)) {
                    py::tuple earlier = normalised_ids[normalised];
                    std::string line = "row " + std::to_string(first_row) + ", column account_id: " +
                                       repr_text(account_item.first) + ", but " + repr_text(earlier[0]) +
                                       " in row " + native::text(earlier[1]) + " of " + account_label(normalised);
                    if (PyUnicode_Check(earlier[0].ptr()) != PyUnicode_Check(account_item.first.ptr())) {
                        line += " (a number in one row and text in the other; give every row of the account the "
                                "same form)";
                    }
                    report.add(first_row, line);
                    continue;
                }
                normalised_ids[normalised] = py::make_tuple(account_item.first, first_row);
            }
        }
        entries.append(entry);
    }
    if (!report.empty()) report.raise();
    py::dict result;
    result["account_info"] = entries;
    return result;
}

// The whole configuration refused by the model: one line for each refused field,
// named by its place in the configuration, without the model's codes and links.
void validate_config(py::object tandrel_config) {
    try {
        global("load_from_dict")(tandrel_config);
    } catch (py::error_already_set& err) {
        Report report;
        const bool listed = report_model_refusal(report, err, [](py::handle loc) {
            std::string where;
            for (py::handle part : loc) {
                const std::string text = native::text(part);
                where += PyLong_Check(part.ptr()) ? "[" + text + "]" : (where.empty() ? "" : ".") + text;
            }
            return std::make_pair(0L, "the configuration's " + (where.empty() ? std::string("top level") : where));
        });
        if (!listed) throw;
        report.raise();
    }
}

// ---- the command ------------------------------------------------------------

// Refuses a workbook whose first sheet, the one convert reads, is not the sheet of VPC rows:
// one of the sheets generate writes beside it, or a sheet without the column vpc_id.
void require_vpc_sheet(py::handle excel_path, py::handle vpc_data) {
    py::list titles = global("serializers").attr("xlsx").attr("sheet_titles")(excel_path);
    if (py::len(titles) == 0) return;
    const std::string first = native::text(titles[0]);
    std::string why;
    if (native::own_sheet(first)) {
        why = "is one of the sheets generate writes, not the VPC sheet";
    } else if (py::len(vpc_data) > 0) {
        std::vector<std::string> columns;
        for (py::handle title : py::iter(vpc_data.attr("__getitem__")(0))) columns.push_back(native::text(title));
        if (!native::holds_vpc_rows(columns)) why = "is not the VPC sheet (it has no column vpc_id)";
    }
    if (why.empty()) return;
    raise_builtin("ValueError", native::text(excel_path) + ": the first sheet '" + first + "' " + why +
                                    "; move the VPC sheet first (convert reads the first sheet)");
}

// A spoke gateway's block of another length than its row's hpe calls for (/25 with hpe TRUE,
// else /27) is accepted, with one warning for each such row.
void warn_block_sizes(py::handle vpc_data) {
    long row = 1;
    for (py::handle record : vpc_data) {
        ++row;
        if (!is_mapping(record)) continue;
        py::object block = record.attr("get")("crvn_cidr");
        if (!PyUnicode_Check(block.ptr())) continue;
        const auto parsed = native::ipv4::parse_network(native::trim(block.cast<std::string>()));
        if (!parsed.network) continue;  // empty, or refused with the row's other cells
        py::object hpe = record.attr("get")("hpe", global("NULL"));
        bool high = false;
        if (!hpe.is_none() && !hpe.equal(global("NULL"))) {
            try {
                high = native::truthy(format_bool(hpe));
            } catch (py::error_already_set& err) {
                if (!err.matches(PyExc_ValueError)) throw;
                continue;  // refused with the row's other cells
            }
        }
        const int wanted = native::crvn_prefix(high);
        if (parsed.network->prefix == wanted) continue;
        LOG(native::log_level::warning, "main", "row %s: crvn_cidr %s is a /%s block, but hpe %s calls for a /%s block",
            row, native::ipv4::to_string(*parsed.network), parsed.network->prefix, high ? "TRUE" : "FALSE", wanted);
    }
}

void main() {
    py::object path_type = global("pathlib").attr("Path");
    py::object parser = global("argparse").attr("ArgumentParser")(
        py::arg("parents") = global("get_parent_parser")(),
        py::arg("description") = "Convert Excel to YAML for Tandrel Migration");
    parser.attr("add_argument")("-e", "--excel", py::arg("type") = path_type, py::arg("required") = true,
                                py::arg("help") = "Excel file to convert from");
    parser.attr("add_argument")("-y", "--yaml", py::arg("type") = path_type, py::arg("required") = true,
                                py::arg("help") = "YAML file to convert to");
    parser.attr("add_argument")("--example-template", py::arg("action") = "store_true",
                                py::arg("help") = "Generate an example template file.");
    parser.attr("add_argument")("--template", py::arg("type") = path_type, py::arg("action") = "store",
                                py::arg("help") = "Path to a template file.");
    py::object args = parser.attr("parse_args")();

    if (native::truthy(args.attr("example_template"))) {
        native::print_data_file(global, "template.yaml");  // never the --template file
        return;
    }
    py::object template_path = args.attr("template");
    if (template_path.is_none()) template_path = native::data_file_path(global, "template.yaml");
    py::object excel_path = args.attr("excel");
    py::object yaml_path = args.attr("yaml");
    // Refused before the workbook is read, not after all the work.
    py::object yaml_exts = native::host_attr("generator.common.serializers.yaml_file", "YAML_EXTS");
    native::check_outputs({{yaml_path, "the YAML configuration", "-y/--yaml", yaml_exts}},
                          {{excel_path, "the Excel workbook (-e/--excel)"}, {template_path, "the template"}});
    native::require_model();

    LOG(native::log_level::info, "main", "Loading VPC data from %s", excel_path);
    py::object vpc_data = global("serializers").attr("xlsx").attr("load_from_xlsx")(excel_path);
    require_vpc_sheet(excel_path, vpc_data);
    warn_block_sizes(vpc_data);
    LOG.lazy(native::log_level::debug, "main", "Loaded data from excel:\n%s", [&] { return py::make_tuple(pformatted(vpc_data)); });

    LOG(native::log_level::info, "main", "Reading tandrel configuration template: %s", template_path);
    py::object tandrel_config = global("serializers").attr("load_from_path")(template_path);
    if (!is_mapping(tandrel_config) || !py::hasattr(tandrel_config, "update")) {
        raise_builtin("TypeError", "the template " + native::text(template_path) +
                                       " must hold a YAML mapping, not " + type_name(tandrel_config));
    }

    LOG(native::log_level::info, "main", "Parsing tandrel account information");
    py::object account_info = global("generate_tandrel_account_info")(vpc_data, tandrel_config);
    tandrel_config.attr("update")(account_info);
    LOG.lazy(native::log_level::debug, "main", "Generated TandrelConfig:\n%s",
             [&] { return py::make_tuple(pformatted(tandrel_config)); });
    global("_validate_tandrel_config")(tandrel_config);

    LOG(native::log_level::debug, "main", "Adding presenter for _quoted class");
    global("yaml").attr("add_representer")(global("_quoted"), global("_quoted_presenter"));
    LOG(native::log_level::debug, "main", "Recursing through tandrel config to update strings");
    tandrel_config = global("_recurse_quoted")(tandrel_config);

    LOG(native::log_level::info, "main", "Exporting accounts to tandrel file: %s", yaml_path);
    // Written natively, byte for byte as PyYAML's default dumper would write it.
    global("serializers").attr("export_to_path")(tandrel_config, yaml_path, py::arg("dump") = global("_dump_quoted"));
}

}  // namespace
}  // namespace convert_module

using namespace convert_module;

PYBIND11_MODULE(convert, m) {
    m.doc() = "Tandrel generator convert command.";
    global.bind(m);

    for (const char* name : {"argparse", "json", "logging", "os", "pathlib"}) m.attr(name) = py::module_::import(name);
    m.attr("pformat") = native::host_attr("pprint", "pformat");
    m.attr("yaml") = py::module_::import("yaml");
    native::bind_model(global, {"AccountInfo", "load_from_dict"});
    m.attr("get_parent_parser") = native::host_attr("generator.cli", "get_parent_parser");
    m.attr("serializers") = py::module_::import("generator.common.serializers");

    m.attr("log") = global("logging").attr("getLogger")(m.attr("__name__"));
    LOG.bind(m);

    m.def("parse_spoke_gw_tags", &parse_spoke_gw_tags, py::arg("tags_str"),
          "Gateway tags typed as key=value pairs separated by commas, as a list of {key, value} mappings.");
    py::object list_formatter = make_list_formatter_class(m.attr("__name__").cast<std::string>());
    m.def(
        "_list",
        [list_formatter](py::object formatter) {
            py::object format = list_formatter();
            format.attr("formatter") = formatter;
            format.attr("__name__") = "_format";
            format.attr("__qualname__") = "_list.<locals>._format";
            return format;
        },
        py::arg("formatter"), "A formatter that splits a list cell and converts each item with formatter.");
    m.def("_bool", &format_bool, py::arg("value"),
          "A yes/no cell as a boolean: true/yes/y/1/on or false/no/n/0/off in any case; other cells by truth value.");

    // The columns and their formatters, from the workbook's column table.
    py::object bool_formatter = m.attr("_bool");
    py::object str_type = native::host_attr("builtins", "str");
    py::dict formatters;
    for (std::string_view name : native::formatted_columns()) {
        const py::str column(name.data(), name.size());
        switch (native::review_column(name)->kind) {
            case native::ColumnKind::yes_no:
                formatters[column] = bool_formatter;
                break;
            case native::ColumnKind::list:
                formatters[column] = m.attr("_list")(str_type);  // one formatter object per column
                break;
            case native::ColumnKind::tags:
                formatters[column] = m.attr("parse_spoke_gw_tags");
                break;
            case native::ColumnKind::text:
            case native::ColumnKind::network:
                break;
        }
    }
    m.attr("FIELD_FORMATTERS") = formatters;
    py::list account_fields, vpc_fields;
    for (const native::ReviewColumn& column : native::review_columns()) {
        const py::str name(column.name.data(), column.name.size());
        if (column.level == native::ColumnLevel::account) account_fields.append(name);
        if (column.level == native::ColumnLevel::vpc) vpc_fields.append(name);
    }
    m.attr("ACCOUNT_INFO_FIELDS") = account_fields;
    m.attr("VPC_FIELDS") = vpc_fields;
    m.attr("NULL") = "";

    m.def(
        "_get_account_info",
        [](py::object record) {
            CellProblems problems;
            py::dict info = account_info(Columns(), record, problems);
            problems.raise_if_any();
            return info;
        },
        py::arg("record"), "The account columns of one workbook record that are not empty, formatted.");
    m.def(
        "_get_vpc_data",
        [](py::object record, py::object tm_config) {
            CellProblems problems;
            py::dict vpc = vpc_entry(Columns(), record, gateway_naming(tm_config), problems);
            problems.raise_if_any();
            return vpc;
        },
        py::arg("record"), py::arg("tm_config") = py::none(),
        "The VPC columns of one workbook record; gateway names only when the template's configure_gw_name is on.");
    own_account_helper = py::object(m.attr("_get_account_info")).release().ptr();
    own_vpc_helper = py::object(m.attr("_get_vpc_data")).release().ptr();
    m.def("generate_tandrel_account_info", &generate_tandrel_account_info, py::arg("vpc_data"),
          py::arg("tandrel_config") = py::none(),
          "Group workbook records by account and region into the account_info section, each account normalised "
          "through AccountInfo.");
    m.def(
        "_validate_tandrel_config", &validate_config,
        py::arg("tandrel_config"), "Validate a whole configuration with the migration tool's load_from_dict.");

    native::install_quoted(m);

    m.def("main", &main,
          "Run the convert command: read the workbook and the template, write the quoted YAML configuration.");
}
