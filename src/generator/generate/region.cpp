// One (account, region) unit of the walk: the region's VPCs and subnets, each VPC's
// free block and rows, and the coverage ledger's line for the pair.
#include <chrono>
#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

constexpr int kRegionSubnetPageSize = 1000;  // the most DescribeSubnets gives in one answer

// The region's VPCs in pages of VPC_PAGE_SIZE, in the order AWS lists them, each as an object
// with the `id`, `cidr_block` and `tags` that naming and the free block read, and the owner,
// default flag and associated blocks that the estate-wide steps read.
py::list region_vpcs(py::handle ec2_client) {
    py::object vpc_type = native::host_attr("types", "SimpleNamespace");
    py::list vpcs;
    py::object token = py::none();
    do {
        py::dict request;
        request["MaxResults"] = global("VPC_PAGE_SIZE");
        if (!token.is_none()) request["NextToken"] = token;
        py::object page = ec2_client.attr("describe_vpcs")(**request);
        for (py::handle vpc : page["Vpcs"]) {
            vpcs.append(vpc_type("id"_a = vpc["VpcId"], "cidr_block"_a = vpc.attr("get")("CidrBlock"),
                                 "tags"_a = vpc.attr("get")("Tags"), "owner_id"_a = vpc.attr("get")("OwnerId"),
                                 "is_default"_a = vpc.attr("get")("IsDefault", false),
                                 "cidr_blocks"_a = associated_blocks(vpc)));
        }
        token = page.attr("get")("NextToken");
    } while (truthy(token));
    return vpcs;
}

// A region's subnets with an IPv4 block, grouped by VPC in the order AWS lists them.
struct SubnetBlock {
    std::string subnet_id;
    std::string cidr;
};
using SubnetsByVpc = std::unordered_map<std::string, std::vector<SubnetBlock>>;

SubnetsByVpc region_subnets(py::handle ec2_client) {
    SubnetsByVpc by_vpc;
    py::object token = py::none();
    do {
        py::dict request;
        request["MaxResults"] = kRegionSubnetPageSize;
        if (!token.is_none()) request["NextToken"] = token;
        py::object page = ec2_client.attr("describe_subnets")(**request);
        for (py::handle subnet : page["Subnets"]) {
            py::object block = subnet.attr("get")("CidrBlock");
            if (block.is_none()) continue;  // an IPv6-only subnet takes no IPv4 space
            by_vpc[native::text(subnet["VpcId"])].push_back(
                {native::text(subnet.attr("get")("SubnetId", "")), native::text(block)});
        }
        token = page.attr("get")("NextToken");
    } while (truthy(token));
    return by_vpc;
}

// The VPCs of one region of one account, each with its free block and gateway name.
RegionResult region_walk(const WalkPtr& walk, UnitKey key, py::object account_id, py::object account_name,
                         py::object role_name, py::object region, py::object creds, bool discovered) {
    Walk& w = *walk;
    const char* op = w.request.op;
    py::object defaults = w.defaults;
    py::object ec2 = worker_ec2(walk, region, creds);
    const bool add_vpc_cidr = truthy(defaults.attr("add_vpc_cidr"));

    py::list vpcs;
    SubnetsByVpc subnets;
    try {
        vpcs = region_vpcs(ec2);
        if (!add_vpc_cidr && py::len(vpcs) > 0) subnets = region_subnets(ec2);
    } catch (py::error_already_set& err) {
        // A region the engineer did not name may be closed to the account by policy.
        const std::string code = discovered && !w.cancelled(key) ? refusal_code(err) : "";
        if (!code.empty()) {
            LOG(log_level::warning, op, "Skipping region %s of account %s: its EC2 requests are refused (%s)", region,
                account_id, code);
            RegionResult skipped;
            skipped.refusal = code;
            return skipped;
        }
        throw;  // named by the unit
    }

    RegionResult result;
    py::list& rows = result.rows;
    py::list& facts = result.facts;
    py::list vpcs_data;
    py::dict region_data;
    region_data["region"] = region;
    region_data["vpcs"] = vpcs_data;
    result.region_data = region_data;
    long& no_block = result.no_block;
    long& listed = result.listed;
    py::object hpe = defaults.attr("hpe");
    const std::vector<native::ipv4::Network> reserved = reserved_ranges(defaults);
    const std::string account = native::text(account_id);
    for (py::handle vpc : vpcs) {
        // A VPC shared with this account through RAM belongs to its owner.
        py::object owner = vpc.attr("owner_id");
        const bool shared = !owner.is_none() && native::text(owner) != account;
        if (shared && w.walked.count(native::text(owner)) > 0) {
            LOG(log_level::info, op, "vpc %s in account %s, region %s is shared from account %s: listed under its owner",
                vpc.attr("id"), account_id, region, owner);
            continue;
        }
        ++listed;
        py::str crvn_cidr("");
        py::object subnet_blocks = py::none();  // known when a block is proposed
        if (!add_vpc_cidr && !shared) {
            std::vector<native::ipv4::Network> blocks;
            py::list texts;
            for (const SubnetBlock& subnet : subnets[native::text(vpc.attr("id"))]) {
                blocks.push_back(network_or_raise(py::str(subnet.cidr), vpc, py::str(subnet.subnet_id)));
                texts.append(py::str(subnet.cidr));
            }
            crvn_cidr = proposed_block(vpc, blocks, reserved, block_prefix(hpe));
            no_block += py::len(crvn_cidr) == 0;
            subnet_blocks = texts;
        }
        facts.append(vpc_facts(account_id, region, vpc, crvn_cidr, shared ? owner : py::none(), subnet_blocks));
        if (w.request.rows) {
            rows.append(workbook_row(op, defaults, hpe, account_id, role_name, account_name, region, vpc, crvn_cidr));
        }
        if (w.request.inventory) {
            py::dict vpc_data;
            vpc_data["vpc_id"] = vpc.attr("id");
            vpc_data["crvn_cidr"] = crvn_cidr;
            vpc_data["spoke_gw_name"] = global("get_spoke_gw_name")(vpc);
            vpc_data["transit_gw_name"] = or_null(defaults.attr("transit_gw_name"));
            LOG.lazy(log_level::debug, op, "VPC Data:\n%s", [&] { return py::make_tuple(pformat(vpc_data)); });
            vpcs_data.append(vpc_data);
        }
    }
    if (w.request.inventory) {
        LOG.lazy(log_level::debug, op, "Region Data:\n%s", [&] { return py::make_tuple(pformat(region_data)); });
    }
    w.vpcs_found += listed;
    return result;
}

}  // namespace

// AWS's error code and message of a failure, or the error's kind and text when it is not AWS's.
std::pair<std::string, std::string> code_and_message(py::handle error) {
    if (py::isinstance(error, native::host_attr("botocore.exceptions", "ClientError"))) {
        py::object detail = py::object(error.attr("response")).attr("get")("Error", py::dict());
        return {native::text(detail.attr("get")("Code", "")), native::text(detail.attr("get")("Message", ""))};
    }
    return {native::text(py::type::of(error).attr("__name__")), native::text(error)};
}

// One line of the coverage ledger: an (account, region) pair and what became of it.
py::dict ledger_entry(py::handle account_id, py::handle account_name, py::handle region, const char* state,
                      py::object vpcs, const std::string& code, const std::string& message, double seconds) {
    py::dict entry;
    entry["account_id"] = account_id;
    entry["account_name"] = account_name;
    entry["region"] = region;
    entry["state"] = state;
    entry["vpcs"] = vpcs;
    entry["error_code"] = code;
    entry["message"] = message;
    entry["seconds"] = std::round(seconds * 100) / 100;
    return entry;
}

double seconds_since(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

RegionResult region_unit(const WalkPtr& walk, UnitKey key, py::object account_id, py::object account_name,
                         py::object role_name, py::object region, py::object creds, bool discovered) {
    const auto started = std::chrono::steady_clock::now();
    walk->sessions.attr("place") = "account " + native::text(account_id) + ", region " + native::text(region);
    RegionResult result;
    try {
        result = region_walk(walk, key, account_id, account_name, role_name, region, creds, discovered);
    } catch (py::error_already_set& err) {
        if (!walk->request.keep_going || !err.matches(PyExc_Exception) || walk->cancelled(key)) {
            name_place(err, "account " + native::text(account_id) + ", region " + native::text(region));
            throw;
        }
        result = RegionResult();
        result.error = err.value();
    }
    result.seconds = seconds_since(started);
    return result;
}

}  // namespace generate_module
