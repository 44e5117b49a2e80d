// IPv4 networks as integers: strict parsing of network texts (the rules of
// Python's ipaddress.ip_network for IPv4), their canonical text, and the walk
// over the fixed-size blocks of a network in search of ones free of others.
// Plain C++: no Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace native::ipv4 {

struct Network {
    std::uint32_t address = 0;  // the network address; host bits are zero
    int prefix = 32;            // 0..32

    std::uint64_t size() const { return std::uint64_t{1} << (32 - prefix); }
    std::uint64_t first() const { return address; }
    std::uint64_t last() const { return first() + size() - 1; }
};

// Either a network, or the reason why the text is not a strict IPv4 network.
struct Parsed {
    std::optional<Network> network;
    std::string error;  // empty when `network` is set
};

// Parses "a.b.c.d", "a.b.c.d/len", "a.b.c.d/netmask" or "a.b.c.d/hostmask" as
// ipaddress.ip_network does for IPv4 (strict: the host bits must be zero). The
// error reads like the library's, e.g. "Octet 256 (> 255) not permitted in
// '10.0.0.256'" or "10.0.0.1/16 has host bits set".
Parsed parse_network(std::string_view text);

// "10.0.0.0/16"
std::string to_string(const Network& network);

// The blocks of length `prefix` inside `outer`, lowest address first, each
// free or not of the `occupied` networks. Occupied ranges are merged and
// sorted once, so a test costs a binary search and the first free block is
// found by jumping over occupied ranges rather than by trying every block.
class BlockWalk {
public:
    // Throws std::invalid_argument unless outer.prefix <= prefix <= 32.
    BlockWalk(const Network& outer, int prefix, const std::vector<Network>& occupied);

    std::uint64_t count() const { return count_; }
    Network candidate(std::uint64_t index) const;
    bool is_free(const Network& block) const;
    std::optional<Network> first_free() const;

private:
    Network outer_;
    int prefix_;
    std::uint64_t count_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> taken_;  // [first, last], sorted, disjoint
};

// A free block found among several: which of them holds it, and the block.
struct Found {
    std::size_t block = 0;
    Network network;
};

// The lowest block of length `prefix` free of every `occupied` network, in the
// first of `blocks` (tried in their order) that has one. A block narrower than
// `prefix` holds none.
std::optional<Found> first_free_in(const std::vector<Network>& blocks, int prefix, const std::vector<Network>& occupied);

}  // namespace native::ipv4
