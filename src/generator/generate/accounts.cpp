// Where the walked accounts come from (the configured list, the AWS organization or the
// controller's AWS accounts), how each is entered (its role and external ID) and which
// regions are never walked.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "generator/generate/generate.hpp"

namespace generate_module {

using namespace pybind11::literals;

namespace {

constexpr const char* kOrganizationRegion = "us-east-1";  // Organizations answers there when no region is set
// Regions every account has enabled, in the order they are tried for listing an account's
// regions: the first not left out by exclude_regions.
const char* const kDiscoveryRegions[] = {"us-east-1", "us-east-2", "us-west-2", "eu-west-1", "eu-central-1"};

py::object config_value(py::handle config, const char* name) { return py::getattr(config, name, py::none()); }

// A secret held by the configuration, as text (the configuration keeps it as a secret).
py::object secret_text(py::object value) {
    if (value.is_none() || !py::hasattr(value, "get_secret_value")) return value;
    return value.attr("get_secret_value")();
}

py::list list_or_empty(py::object value) { return value.is_none() ? py::list() : py::list(value); }

// An Organizations request refused for want of a right names that right and who may have it;
// the error keeps its type and AWS's words.
void explain_refusal(py::error_already_set& err, const char* action) {
    py::object exceptions = native::host_module("botocore.exceptions");
    if (!err.matches(exceptions.attr("ClientError"))) return;
    py::object value = err.value();
    const std::string code = native::text(
        py::object(py::object(value.attr("response")).attr("get")("Error", py::dict())).attr("get")("Code", ""));
    std::string why;
    if (code == "AccessDeniedException" || code == "AccessDenied") {
        why = std::string("the organization's accounts cannot be listed: organizations:") + action +
              " was refused; the base credentials must belong to the organization's management account or a "
              "delegated administrator, with the rights organizations:ListRoots, "
              "organizations:ListOrganizationalUnitsForParent and organizations:ListAccountsForParent";
    } else if (code == "AWSOrganizationsNotInUseException") {
        why = "the account of the base credentials is in no organization (accounts: from: organization)";
    } else {
        return;
    }
    py::tuple args = value.attr("args");
    if (py::len(args) == 1 && py::isinstance<py::str>(args[0])) {
        value.attr("args") = py::make_tuple(why + ": " + native::text(args[0]));
    } else {
        native::add_note(value, why);
    }
}

// Every item under `key` of every page of `action` (its paginator `operation`).
py::list every_page(py::handle client, const char* operation, const char* action, const char* key, py::dict kwargs) {
    py::list items;
    try {
        for (py::handle page : client.attr("get_paginator")(operation).attr("paginate")(**kwargs)) {
            for (py::handle item : page[key]) items.append(item);
        }
    } catch (py::error_already_set& err) {
        explain_refusal(err, action);
        throw;
    }
    return items;
}

bool active(py::handle account) {
    py::object status = py::reinterpret_borrow<py::dict>(account).attr("get")("Status");
    if (status.is_none()) status = py::reinterpret_borrow<py::dict>(account).attr("get")("State");
    return native::text(status) == "ACTIVE";
}

struct Found {
    std::set<std::string> walked;
    long left_out = 0;  // by exclude_ous or exclude_accounts
};

// The organization top-down from its roots: the OUs of every parent, the accounts of every
// parent inside include_ous (the whole organization without it); the requests grow with the
// OUs and pages, never with the accounts.
Found organization_accounts(py::handle accounts, py::handle client_config, py::handle base_session) {
    std::set<std::string> include, exclude, excluded_accounts;
    for (py::handle ou : list_or_empty(accounts.attr("include_ous"))) include.insert(native::text(ou));
    for (py::handle ou : list_or_empty(accounts.attr("exclude_ous"))) exclude.insert(native::text(ou));
    for (py::handle id : list_or_empty(accounts.attr("exclude_accounts"))) excluded_accounts.insert(native::text(id));

    py::object region = base_session.attr("region_name");
    if (region.is_none()) region = py::str(kOrganizationRegion);
    py::object client = base_session.attr("client")("organizations", "region_name"_a = region, "config"_a = client_config);

    struct Parent {
        std::string id;
        bool in_scope, left_out;
    };
    std::vector<Parent> parents;
    std::set<std::string> known;
    for (py::handle root : every_page(client, "list_roots", "ListRoots", "Roots", py::dict())) {
        const std::string id = native::text(root["Id"]);
        known.insert(id);
        parents.push_back({id, include.empty() || include.count(id) > 0, exclude.count(id) > 0});
    }
    Found found;
    for (std::size_t next = 0; next < parents.size(); ++next) {
        const Parent parent = parents[next];
        if (parent.in_scope) {
            for (py::handle account : every_page(client, "list_accounts_for_parent", "ListAccountsForParent",
                                                 "Accounts", py::dict("ParentId"_a = parent.id))) {
                if (!active(account)) continue;
                const std::string id = native::text(account["Id"]);
                if (parent.left_out || excluded_accounts.count(id) > 0) {
                    ++found.left_out;
                } else {
                    found.walked.insert(id);
                }
            }
        }
        for (py::handle ou : every_page(client, "list_organizational_units_for_parent",
                                        "ListOrganizationalUnitsForParent", "OrganizationalUnits",
                                        py::dict("ParentId"_a = parent.id))) {
            const std::string id = native::text(ou["Id"]);
            known.insert(id);
            parents.push_back({id, parent.in_scope || include.count(id) > 0, parent.left_out || exclude.count(id) > 0});
        }
    }
    std::string unknown;
    for (const auto* named : {&include, &exclude}) {
        for (const std::string& ou : *named) {
            if (known.count(ou) > 0) continue;
            unknown += (unknown.empty() ? "" : ", ") + ou + " of accounts." +
                       (named == &include ? "include_ous" : "exclude_ous");
        }
    }
    if (!unknown.empty()) {
        native::raise_builtin("ValueError", "no such OU in the organization: " + unknown);
    }
    return found;
}

// The controller's AWS accounts (cloud_type 1), less exclude_accounts.
Found controller_accounts(py::handle accounts, py::handle account_list, const char* op) {
    std::set<std::string> excluded_accounts;
    for (py::handle id : list_or_empty(accounts.attr("exclude_accounts"))) excluded_accounts.insert(native::text(id));
    Found found;
    std::set<std::string> seen;
    py::int_ aws(1);
    for (py::handle record : account_list) {
        py::object cloud_type = py::reinterpret_borrow<py::object>(record).attr("get")("cloud_type");
        if (!cloud_type.equal(aws) && !cloud_type.equal(py::str("1"))) continue;
        const std::string id = native::text(record["account_number"]);
        if (id.size() != 12 || id.find_first_not_of("0123456789") != std::string::npos) {
            LOG(log_level::warning, op, "The controller lists the AWS account %s, which is not a 12-digit account ID: "
                "left out", record["account_number"]);
            continue;
        }
        if (!seen.insert(id).second) continue;
        if (excluded_accounts.count(id) > 0) {
            ++found.left_out;
        } else {
            found.walked.insert(id);
        }
    }
    return found;
}

}  // namespace

std::vector<AccountEntry> walked_accounts(py::handle config, py::handle account_list, py::handle client_config,
                                          py::handle base_session, const char* op) {
    py::list ids;
    py::object accounts = config_value(config, "accounts");
    if (accounts.is_none()) {
        ids = py::list(config.attr("account_ids"));  // in the configured order
    } else {
        const bool organization = native::text(accounts.attr("source")) == "organization";
        const Found found =
            organization ? organization_accounts(accounts, client_config, base_session) : controller_accounts(accounts, account_list, op);
        for (const std::string& id : found.walked) ids.append(py::str(id));  // ascending: the same estate, the same files
        if (organization) {
            LOG(log_level::info, op, "Accounts: %s from the organization (%s left out by exclude_ous/exclude_accounts)",
                py::len(ids), found.left_out);
        } else {
            LOG(log_level::info, op, "Accounts: %s from the controller (%s left out by exclude_accounts)", py::len(ids),
                found.left_out);
        }
        if (py::len(ids) == 0) {
            native::raise_builtin(
                "ValueError", std::string("no account to walk: ") +
                                  (organization ? "the organization has no ACTIVE account left for accounts.include_ous, "
                                                  "exclude_ous and exclude_accounts"
                                                : "the controller lists no AWS account left by accounts.exclude_accounts"));
        }
    }

    py::object defaults = config.attr("defaults");
    py::object overrides = config_value(config, "account_overrides");
    if (overrides.is_none()) overrides = py::dict();
    py::object default_external_id = secret_text(config_value(defaults, "external_id"));
    std::vector<AccountEntry> entries;
    std::set<std::string> walked;
    for (py::handle id : ids) {
        AccountEntry entry{py::reinterpret_borrow<py::object>(id), defaults.attr("role_name"), default_external_id};
        py::object override_ = overrides.attr("get")(id);
        if (!override_.is_none()) {
            py::object role_name = override_.attr("role_name");
            py::object external_id = secret_text(override_.attr("external_id"));
            if (!role_name.is_none()) entry.role_name = role_name;
            if (!external_id.is_none()) entry.external_id = external_id;
        }
        walked.insert(native::text(id));
        entries.push_back(entry);
    }
    for (py::handle id : overrides) {
        if (walked.count(native::text(id)) > 0) continue;
        LOG(log_level::warning, op, "account_overrides names the account %s, which is not walked: its override is not used",
            id);
    }
    return entries;
}

py::set excluded_regions(py::handle config) {
    py::set excluded;
    for (py::handle region : list_or_empty(config_value(config, "exclude_regions"))) excluded.add(region);
    return excluded;
}

py::object discovery_region(const py::set& excluded) {
    for (const char* region : kDiscoveryRegions) {
        if (!excluded.contains(py::str(region))) return py::str(region);
    }
    native::raise_builtin("ValueError", "exclude_regions leaves no region to list the accounts' regions in: keep one "
                                        "of us-east-1, us-east-2, us-west-2, eu-west-1, eu-central-1, or name the "
                                        "regions in aws_regions");
}

}  // namespace generate_module
