// The estate as one address space: a VPC shared through RAM listed once, the free
// block searched in every associated block of a VPC and kept off the reserved
// ranges, and, after the walk, the blocks of all VPCs that overlap (the Overlaps sheet).
#include <array>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "generator/generate/generate.hpp"
#include "native/overlaps.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

using native::ipv4::Network;

bool same(const Network& a, const Network& b) { return a.address == b.address && a.prefix == b.prefix; }

const char* const kOverlapsHeaders[] = {"group", "account_id", "region", "vpc_id", "cidr", "is_default", "overlaps",
                                        "with"};

}  // namespace

std::vector<Network> reserved_ranges(py::handle defaults) {
    std::vector<Network> ranges;
    py::object listed = py::getattr(defaults, "reserved_cidrs", py::none());
    if (listed.is_none()) return ranges;
    for (py::handle range : listed) {
        const auto parsed = native::ipv4::parse_network(native::text(py::str(range)));
        if (!parsed.network) {
            native::raise_builtin("ValueError", "defaults.reserved_cidrs: " + std::string(py::repr(range)) +
                                                    " is not an IPv4 network (" + parsed.error + ")");
        }
        ranges.push_back(*parsed.network);
    }
    return ranges;
}

py::list associated_blocks(py::handle description) {
    py::list blocks;
    py::object associations = description.attr("get")("CidrBlockAssociationSet");
    if (!associations.is_none()) {
        for (py::handle association : associations) {
            py::object state = py::object(association.attr("get")("CidrBlockState", py::dict())).attr("get")("State");
            py::object block = association.attr("get")("CidrBlock");
            if (!block.is_none() && !state.is_none() && native::text(state) == "associated") blocks.append(block);
        }
    }
    py::object primary = description.attr("get")("CidrBlock");
    if (py::len(blocks) == 0 && !primary.is_none()) blocks.append(primary);
    return blocks;
}

py::str proposed_block(py::handle vpc, const std::vector<Network>& subnets, const std::vector<Network>& reserved,
                       int prefix) {
    const Network primary = vpc_network(vpc);
    std::vector<Network> blocks{primary};
    for (py::handle block : py::getattr(vpc, "cidr_blocks", py::list())) {
        const Network network = network_or_raise(block, vpc, py::none());
        if (!same(network, primary)) blocks.push_back(network);
    }
    std::vector<Network> taken = subnets;
    taken.insert(taken.end(), reserved.begin(), reserved.end());
    // A VPC of one block is searched as compute_crvn_cidr searches it, candidate by candidate at DEBUG.
    if (blocks.size() == 1) return lowest_free_block(vpc, primary, taken, prefix, false);

    const auto found = native::ipv4::first_free_in(blocks, prefix, taken);
    if (!found) {
        LOG(log_level::warning, "compute_crvn_cidr",
            "Could not compute crvn_cidr for vpc '%s': No available subnets with prefix %s", vpc.attr("id"), prefix);
        return py::str("");
    }
    const std::string chosen = native::ipv4::to_string(found->network);
    if (found->block > 0) {
        LOG(log_level::info, "compute_crvn_cidr", "vpc %s: no free /%s in its primary block %s; proposed %s from its secondary block %s",
            vpc.attr("id"), prefix, native::ipv4::to_string(primary), chosen,
            native::ipv4::to_string(blocks[found->block]));
    }
    return py::str(chosen);
}

py::dict vpc_facts(py::handle account_id, py::handle region, py::handle vpc, py::handle crvn_cidr,
                   py::handle shared_from, py::handle subnets) {
    py::list blocks = py::getattr(vpc, "cidr_blocks", py::none()).is_none() ? py::list()
                                                                             : py::list(vpc.attr("cidr_blocks"));
    py::object primary = vpc.attr("cidr_block");
    if (py::len(blocks) == 0 && !primary.is_none()) blocks.append(primary);
    return py::dict("account_id"_a = account_id, "region"_a = region, "vpc_id"_a = vpc.attr("id"),
                    "is_default"_a = truthy(py::getattr(vpc, "is_default", py::bool_(false))), "blocks"_a = blocks,
                    "crvn_cidr"_a = crvn_cidr, "shared_from"_a = shared_from, "primary"_a = primary,
                    "subnets"_a = subnets);
}

long Estate::take(py::handle facts, py::list& rows, py::handle region_data, const char* op) {
    const bool with_rows = py::len(rows) == py::len(facts);
    py::list vpcs_data = region_data.is_none() ? py::list() : py::list(region_data["vpcs"]);
    py::list kept_rows, kept_data;
    long dropped = 0;
    std::size_t k = 0;
    for (py::handle fact : facts) {
        const std::size_t at = k++;
        py::object owner = fact["shared_from"];
        if (!owner.is_none()) {
            // Listed once, under the first participant in configuration order.
            const std::string key = native::text(fact["region"]) + "/" + native::text(fact["vpc_id"]);
            if (!foreign_listed.insert(key).second) {
                ++dropped;
                continue;
            }
            LOG(log_level::warning, op,
                "vpc %s is shared from account %s, which this run does not walk: no crvn_cidr proposed (add %s to the "
                "accounts to get one)",
                fact["vpc_id"], owner, owner);
        }
        vpcs.append(fact);
        if (with_rows) kept_rows.append(rows[at]);
        if (at < py::len(vpcs_data)) kept_data.append(vpcs_data[at]);
    }
    if (dropped > 0) {
        rows = kept_rows;
        if (!region_data.is_none()) region_data["vpcs"] = kept_data;
    }
    return dropped;
}

py::list overlaps_sheet(py::handle vpcs, const char* op) {
    std::vector<native::overlaps::Block> blocks;
    std::vector<native::overlaps::Proposal> proposals;
    std::vector<py::object> facts;
    for (py::handle fact : vpcs) {
        const std::size_t vpc = facts.size();
        facts.push_back(py::reinterpret_borrow<py::object>(fact));
        const bool is_default = truthy(fact["is_default"]);
        for (py::handle block : fact["blocks"]) {
            const auto parsed = native::ipv4::parse_network(native::text(block));
            if (parsed.network) blocks.push_back({vpc, *parsed.network, is_default});
        }
        const std::string proposal = native::text(fact["crvn_cidr"]);
        if (proposal.empty()) continue;
        const auto parsed = native::ipv4::parse_network(proposal);
        if (parsed.network) proposals.push_back({vpc, *parsed.network});
    }
    native::overlaps::Result found;
    {
        py::gil_scoped_release computing;
        found = native::overlaps::find(blocks, proposals);
    }

    const auto place = [&](std::size_t vpc) {
        const py::object& fact = facts[vpc];
        return native::text(fact["account_id"]) + "/" + native::text(fact["region"]) + "/" + native::text(fact["vpc_id"]);
    };
    py::list rows;
    for (const native::overlaps::Row& row : found.rows) {
        const std::size_t vpc = row.proposal ? proposals[row.index].vpc : blocks[row.index].vpc;
        const Network& cidr = row.proposal ? proposals[row.index].network : blocks[row.index].network;
        std::string with;
        for (std::size_t k = 0; k < row.shown; ++k) {
            const native::overlaps::Block& other = blocks[row.with[k]];
            with += (k > 0 ? "; " : "") + place(other.vpc) + " " + native::ipv4::to_string(other.network);
        }
        if (row.overlaps > row.shown) with += "; \xE2\x80\xA6 and " + std::to_string(row.overlaps - row.shown) + " more";
        const py::object& fact = facts[vpc];
        py::dict line;
        line["group"] = row.group;
        line["account_id"] = fact["account_id"];
        line["region"] = fact["region"];
        line["vpc_id"] = row.proposal ? py::str(native::text(fact["vpc_id"]) + " (proposal)") : py::str(fact["vpc_id"]);
        line["cidr"] = native::ipv4::to_string(cidr);
        line["is_default"] = py::bool_(truthy(fact["is_default"]));
        line["overlaps"] = row.overlaps;
        line["with"] = with;
        rows.append(line);
    }
    if (found.blocks > 0) {
        LOG(log_level::warning, op,
            "Overlaps: %s blocks in %s groups overlap (%s of them default VPCs): see the Overlaps sheet", found.blocks,
            found.groups, found.defaults);
    } else {
        LOG(log_level::info, op, "Overlaps: none");
    }
    return rows;
}

py::list follow_moves(py::handle rows, py::handle discovered) {
    std::map<std::pair<std::string, std::string>, py::object> now_under;  // (region, vpc_id) -> account_id
    std::set<std::array<std::string, 3>> found;
    const auto text_of = [](py::handle row, const char* column) {
        py::object value = row.attr("get")(column);
        return value.is_none() ? std::string() : native::text(py::str(value));
    };
    for (py::handle row : discovered) {
        now_under.emplace(std::make_pair(text_of(row, "region"), text_of(row, "vpc_id")), row["account_id"]);
        found.insert({text_of(row, "account_id"), text_of(row, "region"), text_of(row, "vpc_id")});
    }
    py::list out;
    for (py::handle row : rows) {
        const std::string account = text_of(row, "account_id"), region = text_of(row, "region"),
                          vpc_id = text_of(row, "vpc_id");
        const auto moved = now_under.find({region, vpc_id});
        if (vpc_id.empty() || moved == now_under.end() || found.count({account, region, vpc_id}) > 0) {
            out.append(row);
            continue;
        }
        // A VPC ID names one VPC: found under another account, it has moved there.
        py::dict copy = row.attr("copy")();
        copy["account_id"] = moved->second;
        out.append(copy);
    }
    return out;
}

py::list overlaps_headers() {
    py::list titles;
    for (const char* title : kOverlapsHeaders) titles.append(title);
    return titles;
}

}  // namespace generate_module
