// The VPC blocks of an estate that share addresses: groups of overlapping blocks
// (connected sets of the "shares an address" relation), how many blocks each one
// overlaps and which, and proposed blocks that fall on another VPC's block.
// Plain C++: no Python here.
//
// CIDR blocks are either nested or disjoint, so the blocks form a forest by
// containment: two blocks overlap exactly when one is an ancestor of the other
// (or they are the same network), and a group is a tree. The forest is built by
// one sort and a stack; every count and every "first five" comes from sums and
// short lists kept per distinct network, so 33,000 identical default blocks cost
// no more than 33,000 different ones: O(n log n) time, linear memory.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "native/ipv4.hpp"

namespace native::overlaps {

using native::ipv4::Network;

// How many of the blocks a row overlaps are named on it.
constexpr std::size_t kShown = 5;

// One associated block of a VPC. Blocks are given in row order (account, region,
// VPC as listed, then the VPC's blocks as AWS lists them); `vpc` is the caller's
// number for the VPC, the same for all its blocks.
struct Block {
    std::size_t vpc = 0;
    Network network;
    bool is_default = false;  // a block of a default VPC
};

// A block proposed for a VPC's gateway (inside one of the VPC's blocks), in row order
// of the VPCs. It is shown with the group of the first block it falls on.
struct Proposal {
    std::size_t vpc = 0;
    Network network;
};

struct Row {
    std::size_t group = 0;     // 1, 2, ...: the largest group first, ties by the lowest address
    bool proposal = false;     // `index` is into the proposals rather than the blocks
    std::size_t index = 0;     // the block's (or proposal's) position in its input
    std::size_t overlaps = 0;  // how many other blocks it overlaps (a proposal: blocks of other VPCs)
    std::array<std::size_t, kShown> with{};  // the first `shown` of them in row order (block positions)
    std::size_t shown = 0;                   // overlaps - shown are left unnamed
};

struct Result {
    // By group; in a group its blocks in row order, then the proposals that fall on it.
    std::vector<Row> rows;
    std::size_t blocks = 0;    // blocks that overlap another (proposals not counted)
    std::size_t groups = 0;
    std::size_t defaults = 0;  // of those blocks, the ones of default VPCs
};

Result find(const std::vector<Block>& blocks, const std::vector<Proposal>& proposals);

}  // namespace native::overlaps
