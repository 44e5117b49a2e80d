// The walk over the fixed-size blocks of a network, checked in plain C++ against
// the obvious way of doing it: try every block against every occupied network.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "native/ipv4.hpp"

using native::ipv4::BlockWalk;
using native::ipv4::Network;

namespace {

void check(bool holds, const std::string& what) {
    if (!holds) check::fail(__FILE__, __LINE__, what);
}

Network net(const char* text) {
    const auto parsed = native::ipv4::parse_network(text);
    if (!parsed.network) throw std::runtime_error(std::string(text) + ": " + parsed.error);
    return *parsed.network;
}

std::string text_of(const std::optional<Network>& block) {
    return block ? native::ipv4::to_string(*block) : "none";
}

// Every candidate in order, each against every occupied network.
std::optional<Network> first_free_by_trying_all(const Network& outer, int prefix, const std::vector<Network>& occupied) {
    const BlockWalk walk(outer, prefix, occupied);
    for (std::uint64_t i = 0; i < walk.count(); ++i) {
        const Network block = walk.candidate(i);
        bool free = true;
        for (const Network& n : occupied) free = free && (block.last() < n.first() || n.last() < block.first());
        if (free) return block;
    }
    return std::nullopt;
}

void expect_first_free(const char* outer, int prefix, const std::vector<const char*>& occupied, const char* expected) {
    std::vector<Network> taken;
    for (const char* n : occupied) taken.push_back(net(n));
    const std::string got = text_of(BlockWalk(net(outer), prefix, taken).first_free());
    check(got == expected, std::string(outer) + " /" + std::to_string(prefix) + ": " + got + ", expected " + expected);
}

void examples() {
    expect_first_free("10.0.0.0/24", 27, {}, "10.0.0.0/27");
    expect_first_free("10.0.0.0/24", 27, {"10.0.0.0/27"}, "10.0.0.32/27");
    // A small subnet in the middle of a block rules out the whole block.
    expect_first_free("10.0.0.0/24", 27, {"10.0.0.0/27", "10.0.0.40/29"}, "10.0.0.64/27");
    // Occupied networks out of order, overlapping and nested are merged first.
    expect_first_free("10.0.0.0/24", 27, {"10.0.0.96/27", "10.0.0.0/26", "10.0.0.16/28", "10.0.0.32/27"}, "10.0.0.64/27");
    expect_first_free("10.0.0.0/24", 25, {"10.0.0.0/25", "10.0.0.128/25"}, "none");
    expect_first_free("10.0.0.0/27", 27, {}, "10.0.0.0/27");
    expect_first_free("10.0.0.0/27", 27, {"10.0.0.31/32"}, "none");
    // Occupied ranges beyond the outer network do not matter.
    expect_first_free("10.0.1.0/24", 27, {"10.0.0.0/24", "10.0.2.0/24"}, "10.0.1.0/27");
    // The top of the address space: no overflow past 255.255.255.255.
    expect_first_free("255.255.255.0/24", 27, {"255.255.255.0/25", "255.255.255.128/26"}, "255.255.255.192/27");
    expect_first_free("255.255.255.224/27", 27, {"255.255.255.255/32"}, "none");
    expect_first_free("0.0.0.0/0", 27, {"0.0.0.0/1"}, "128.0.0.0/27");

    const BlockWalk walk(net("10.0.0.0/24"), 27, {net("10.0.0.32/27")});
    check(walk.count() == 8, "a /24 holds eight /27 blocks");
    check(native::ipv4::to_string(walk.candidate(7)) == "10.0.0.224/27", "the last candidate");
    check(!walk.is_free(net("10.0.0.32/27")) && walk.is_free(net("10.0.0.64/27")), "is_free of a taken and a free block");

    for (int bad : {23, 33}) {
        bool refused = false;
        try {
            BlockWalk(net("10.0.0.0/24"), bad, {});
        } catch (const std::invalid_argument&) {
            refused = true;
        }
        check(refused, "a block length of " + std::to_string(bad) + " is refused for a /24");
    }
}

// Random networks inside and around random outer networks: the walk that jumps
// over occupied ranges finds the same block as trying every one.
void agrees_with_trying_all() {
    std::mt19937 rng(20261208);
    auto random_network = [&](int min_prefix, int max_prefix, std::uint32_t base, int base_prefix) {
        const int prefix = std::uniform_int_distribution<int>(min_prefix, max_prefix)(rng);
        std::uint32_t address = base | (static_cast<std::uint32_t>(rng()) >> base_prefix);
        if (base_prefix == 0) address = static_cast<std::uint32_t>(rng());
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
        return Network{address & mask, prefix};
    };
    for (int round = 0; round < 3000; ++round) {
        const Network outer = random_network(16, 28, 0, 0);
        const int prefix = std::uniform_int_distribution<int>(outer.prefix, std::min(outer.prefix + 6, 32))(rng);
        std::vector<Network> occupied;
        const int count = std::uniform_int_distribution<int>(0, 12)(rng);
        for (int k = 0; k < count; ++k) {
            // Mostly inside the outer network, sometimes around it.
            occupied.push_back(rng() % 5 ? random_network(outer.prefix, 32, outer.address, outer.prefix)
                                         : random_network(8, 32, 0, 0));
        }
        const auto fast = BlockWalk(outer, prefix, occupied).first_free();
        const auto slow = first_free_by_trying_all(outer, prefix, occupied);
        check(text_of(fast) == text_of(slow), native::ipv4::to_string(outer) + " /" + std::to_string(prefix) +
                                                   ": walk " + text_of(fast) + ", trying all " + text_of(slow));
    }
}

// Several blocks of one VPC: the primary first, then the others in their order;
// occupied networks (subnets, reserved ranges) count in every block.
void several_blocks() {
    const auto found_text = [](const std::vector<Network>& blocks, int prefix, const std::vector<Network>& occupied) {
        const auto found = native::ipv4::first_free_in(blocks, prefix, occupied);
        return found ? std::to_string(found->block) + " " + native::ipv4::to_string(found->network) : "none";
    };
    check(found_text({net("10.0.0.0/24"), net("10.1.0.0/24")}, 27, {net("10.0.0.0/25"), net("10.0.0.128/25")}) ==
              "1 10.1.0.0/27",
          "a full primary block, room in the secondary");
    check(found_text({net("10.0.0.0/24"), net("10.1.0.0/24")}, 27, {net("10.0.0.0/26")}) == "0 10.0.0.64/27",
          "room in the primary comes first");
    check(found_text({net("10.0.0.0/28"), net("10.1.0.0/24")}, 27, {net("10.1.0.0/27")}) == "1 10.1.0.32/27",
          "a block narrower than the wanted one holds none");
    check(found_text({net("10.0.0.0/24")}, 25, {net("10.0.0.0/25"), net("0.0.0.0/0")}) == "none",
          "a reserved range over everything leaves no room");
    check(found_text({}, 27, {}) == "none", "no blocks");

    std::mt19937 rng(20261210);
    for (int round = 0; round < 2000; ++round) {
        std::vector<Network> blocks, occupied;
        const int count = std::uniform_int_distribution<int>(1, 4)(rng);
        for (int k = 0; k < count; ++k) {
            const int prefix = std::uniform_int_distribution<int>(20, 28)(rng);
            const std::uint32_t address = 0x0A000000u | (static_cast<std::uint32_t>(rng()) >> 12);
            blocks.push_back(Network{address & (~std::uint32_t{0} << (32 - prefix)), prefix});
        }
        const int prefix = std::uniform_int_distribution<int>(25, 28)(rng);
        const int taken = std::uniform_int_distribution<int>(0, 40)(rng);
        for (int k = 0; k < taken; ++k) {
            const Network& in = blocks[rng() % blocks.size()];
            const int p = std::uniform_int_distribution<int>(in.prefix, 32)(rng);
            const std::uint32_t address = in.address | (static_cast<std::uint32_t>(rng()) >> in.prefix);
            occupied.push_back(Network{address & (~std::uint32_t{0} << (32 - p)), p});
        }
        std::string slow = "none";
        for (std::size_t b = 0; b < blocks.size() && slow == "none"; ++b) {
            if (blocks[b].prefix > prefix) continue;
            const auto block = first_free_by_trying_all(blocks[b], prefix, occupied);
            if (block) slow = std::to_string(b) + " " + native::ipv4::to_string(*block);
        }
        const std::string fast = found_text(blocks, prefix, occupied);
        check(fast == slow, "several blocks, round " + std::to_string(round) + ": " + fast + ", trying all " + slow);
    }
}

}  // namespace

int main() {
    examples();
    agrees_with_trying_all();
    several_blocks();
    return check::finish("ipv4 block walk");
}
