// The names and blocks proposed for a VPC: the spoke gateway's name and the lowest
// free block of the VPC's network.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

constexpr const char* kGatewaySuffix = "-CRVGW";
constexpr Py_ssize_t kNameCut = 23;

// A Name tag as a gateway name may hold it: control characters (tab, line break, ...) become
// underscores like blanks; invisible format characters (bidi controls, zero-width spaces), which
// would make the name read as something it is not, are left out. `dropped` counts those.
py::str visible_name(py::handle name, long& dropped, bool& seen) {
    py::object category = native::host_attr("unicodedata", "category");
    std::string kept;
    for (py::handle character : name) {
        const std::string kind = native::text(category(character));
        if (kind == "Cf") {
            ++dropped;
        } else if (kind == "Cc") {
            kept += "_";
        } else {
            seen = seen || !truthy(character.attr("isspace")());
            kept += native::text(character);
        }
    }
    return py::str(kept);
}

std::string vpc_label(py::handle vpc) {
    return "Cannot compute crvn_cidr for vpc " + std::string(py::repr(py::getattr(vpc, "id", py::none()))) + ": ";
}

// The networks as the host's ipaddress module has them, for the debug dumps only.
py::list host_networks(const std::vector<native::ipv4::Network>& networks) {
    py::object ip_network = global("ipaddress").attr("ip_network");
    py::list out;
    for (const auto& n : networks) out.append(ip_network(native::ipv4::to_string(n)));
    return out;
}

}  // namespace

py::object get_spoke_gw_name(py::object vpc) {
    py::object vpc_name = py::none();
    py::object tags = vpc.attr("tags");
    if (truthy(tags)) {
        for (py::handle tag : tags) {
            if (py::object(tag["Key"]).equal(py::str("Name"))) {
                vpc_name = tag["Value"];
                break;
            }
        }
    }
    if (py::isinstance<py::str>(vpc_name)) {
        long dropped = 0;
        bool seen = false;  // a character that shows
        py::str cleaned = visible_name(vpc_name, dropped, seen);
        if (dropped > 0) {
            LOG(log_level::warning, "get_spoke_gw_name",
                "VPC %s: its Name tag %s holds %s invisible characters (such as bidi controls or zero-width "
                "spaces), left out of its gateway name",
                py::getattr(vpc, "id", py::none()), py::repr(vpc_name), dropped);
        }
        // A name with nothing to show names nothing: the VPC's ID does.
        vpc_name = seen ? py::object(cleaned) : py::object(py::none());
    }
    py::object source = vpc_name.is_none() ? py::object(vpc.attr("id")) : vpc_name;
    py::object cut = source[py::slice(std::nullopt, kNameCut, std::nullopt)];
    py::object spoke_gw_name = py::str(cut) + py::str(kGatewaySuffix);
    return spoke_gw_name.attr("replace")(" ", "_");
}

// The network a CIDR text stands for, or ValueError naming the VPC (and subnet) and what is wrong.
native::ipv4::Network network_or_raise(py::handle block, py::handle vpc, py::handle subnet_id) {
    if (block.is_none()) native::raise_builtin("ValueError", vpc_label(vpc) + "it has no IPv4 cidr_block");
    const auto parsed = native::ipv4::parse_network(native::text(block));
    if (parsed.network) return *parsed.network;
    const std::string what = subnet_id.is_none() ? std::string("its cidr_block")
                                                 : "the cidr_block of subnet " + std::string(py::repr(subnet_id));
    native::raise_builtin("ValueError", vpc_label(vpc) + what + " " + std::string(py::repr(block)) +
                                            " does not appear to be an IPv4 network (" + parsed.error + ")");
}

native::ipv4::Network vpc_network(py::handle vpc) {
    const native::ipv4::Network vpc_cidr = network_or_raise(py::object(vpc.attr("cidr_block")), vpc, py::none());
    LOG(log_level::debug, "compute_crvn_cidr", "VPC cidr_block: %s", native::ipv4::to_string(vpc_cidr));
    return vpc_cidr;
}

// The lowest block of length `prefix` in the VPC that overlaps none of its subnets, or ""
// when none is free; with DEBUG on, every candidate is logged. A VPC narrower than the
// block is an error when `narrow_is_error`, else a warning and "".
py::str lowest_free_block(py::handle vpc, const native::ipv4::Network& vpc_cidr,
                          const std::vector<native::ipv4::Network>& vpc_subnets, int prefix, bool narrow_is_error) {
    using native::ipv4::Network;
    LOG.lazy(log_level::debug, "compute_crvn_cidr", "VPC subnets:\n%s",
             [&] { return py::make_tuple(pformat(host_networks(vpc_subnets))); });

    if (prefix < vpc_cidr.prefix) {
        const std::string narrower =
            "its block " + native::ipv4::to_string(vpc_cidr) + " is narrower than a /" + std::to_string(prefix) + " block";
        if (narrow_is_error) native::raise_builtin("ValueError", vpc_label(vpc) + narrower + " (new prefix must be longer)");
        LOG(log_level::warning, "compute_crvn_cidr", "Could not compute crvn_cidr for vpc '%s': %s", vpc.attr("id"), narrower);
        return py::str("");
    }
    const native::ipv4::BlockWalk walk(vpc_cidr, prefix, vpc_subnets);

    std::optional<Network> chosen;
    if (LOG.enabled(log_level::debug)) {
        // Every candidate is logged; the lowest viable one is the answer.
        std::vector<Network> viable_subnets;
        for (std::uint64_t i = 0; i < walk.count(); ++i) {
            const Network subnet = walk.candidate(i);
            const std::string text = native::ipv4::to_string(subnet);
            LOG(log_level::debug, "compute_crvn_cidr", "Checking candidate subnet: %s", text);
            if (!walk.is_free(subnet)) {
                LOG(log_level::debug, "compute_crvn_cidr", "Subnet '%s' overlaps with existing subnet.", text);
            } else {
                LOG(log_level::debug, "compute_crvn_cidr", "Subnet '%s' is viable.", text);
                viable_subnets.push_back(subnet);
            }
        }
        LOG.lazy(log_level::debug, "compute_crvn_cidr", "Viable subnets:\n%s",
                 [&] { return py::make_tuple(pformat(host_networks(viable_subnets))); });
        if (!viable_subnets.empty()) chosen = viable_subnets.front();
    } else {
        // Microseconds of arithmetic: cheaper with the GIL kept than with a thread switch to get it back.
        chosen = walk.first_free();
    }

    if (!chosen) {
        LOG(log_level::warning, "compute_crvn_cidr", "Could not compute crvn_cidr for vpc '%s': No available subnets with prefix %s",
            vpc.attr("id"), prefix);
        return py::str("");
    }
    return py::str(native::ipv4::to_string(*chosen));
}

int block_prefix(py::handle hpe) { return native::crvn_prefix(truthy(hpe)); }

py::object compute_crvn_cidr(py::object vpc, py::object hpe) {
    const int prefix = block_prefix(hpe);
    const native::ipv4::Network vpc_cidr = vpc_network(vpc);
    std::vector<native::ipv4::Network> vpc_subnets;
    py::object pages = vpc.attr("subnets").attr("page_size")("count"_a = global("SUBNET_PAGE_SIZE"));
    for (py::handle subnet : pages) {
        py::object block = subnet.attr("cidr_block");
        if (block.is_none()) continue;  // an IPv6-only subnet takes no IPv4 space
        vpc_subnets.push_back(network_or_raise(block, vpc, py::getattr(subnet, "id", py::none())));
    }
    return lowest_free_block(vpc, vpc_cidr, vpc_subnets, prefix, true);
}

}  // namespace generate_module
