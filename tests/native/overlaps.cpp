// The overlap search over an estate's VPC blocks, checked in plain C++ against the
// obvious way of doing it: every block against every other, groups by union-find.
// Exit status 0 when every check holds; each failed check prints one line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "native/overlaps.hpp"

using native::ipv4::Network;
using native::overlaps::Block;
using native::overlaps::Proposal;
using native::overlaps::Result;
using native::overlaps::Row;

namespace {

int failures = 0;

void check(bool holds, const std::string& what) {
    if (holds) return;
    ++failures;
    std::printf("FAILED: %s\n", what.c_str());
}

Network net(const char* text) {
    const auto parsed = native::ipv4::parse_network(text);
    if (!parsed.network) throw std::runtime_error(std::string(text) + ": " + parsed.error);
    return *parsed.network;
}

bool overlap(const Network& a, const Network& b) { return a.first() <= b.last() && b.first() <= a.last(); }

// A row as one line, so that two results compare as texts and a difference reads plainly.
std::string text_of(const Row& row) {
    std::string out = "group " + std::to_string(row.group) + (row.proposal ? " proposal " : " block ") +
                      std::to_string(row.index) + " overlaps " + std::to_string(row.overlaps) + " with";
    for (std::size_t k = 0; k < row.shown; ++k) out += " " + std::to_string(row.with[k]);
    return out;
}

std::vector<std::string> text_of(const Result& result) {
    std::vector<std::string> out;
    for (const Row& row : result.rows) out.push_back(text_of(row));
    out.push_back("blocks " + std::to_string(result.blocks) + " groups " + std::to_string(result.groups) + " defaults " +
                  std::to_string(result.defaults));
    return out;
}

// Every pair of blocks, groups as connected sets by union-find.
Result by_all_pairs(const std::vector<Block>& blocks, const std::vector<Proposal>& proposals) {
    const std::size_t n = blocks.size();
    std::vector<std::size_t> up(n);
    std::iota(up.begin(), up.end(), std::size_t{0});
    const auto top = [&](std::size_t i) {
        while (up[i] != i) i = up[i] = up[up[i]];
        return i;
    };
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (overlap(blocks[i].network, blocks[j].network)) up[top(i)] = top(j);

    std::vector<std::size_t> size(n, 0);
    std::vector<std::uint64_t> lowest(n, UINT64_MAX);
    for (std::size_t i = 0; i < n; ++i) {
        ++size[top(i)];
        lowest[top(i)] = std::min(lowest[top(i)], blocks[i].network.first());
    }
    std::vector<std::size_t> tops;
    for (std::size_t i = 0; i < n; ++i)
        if (top(i) == i && size[i] > 1) tops.push_back(i);
    std::sort(tops.begin(), tops.end(), [&](std::size_t a, std::size_t b) {
        return size[a] != size[b] ? size[a] > size[b] : lowest[a] < lowest[b];
    });
    std::vector<std::size_t> group(n, 0);
    for (std::size_t g = 0; g < tops.size(); ++g) group[tops[g]] = g + 1;

    Result result;
    result.groups = tops.size();
    const auto fill = [&](Row& row, const Network& q, auto&& counts) {
        for (std::size_t j = 0; j < n; ++j) {
            if (!counts(j) || !overlap(q, blocks[j].network)) continue;
            if (row.shown < native::overlaps::kShown) row.with[row.shown++] = j;
            ++row.overlaps;
        }
    };
    for (std::size_t g = 1; g <= tops.size(); ++g) {
        for (std::size_t i = 0; i < n; ++i) {
            if (group[top(i)] != g) continue;
            Row row;
            row.group = g;
            row.index = i;
            fill(row, blocks[i].network, [&](std::size_t j) { return j != i; });
            result.rows.push_back(row);
            ++result.blocks;
            result.defaults += blocks[i].is_default;
        }
        for (std::size_t p = 0; p < proposals.size(); ++p) {
            Row row;
            row.proposal = true;
            row.index = p;
            fill(row, proposals[p].network, [&](std::size_t j) { return blocks[j].vpc != proposals[p].vpc; });
            if (row.overlaps == 0 || group[top(row.with[0])] != g) continue;
            row.group = g;
            result.rows.push_back(row);
        }
    }
    return result;
}

void expect_same(const std::vector<Block>& blocks, const std::vector<Proposal>& proposals, const std::string& what) {
    const auto fast = text_of(native::overlaps::find(blocks, proposals));
    const auto slow = text_of(by_all_pairs(blocks, proposals));
    if (fast == slow) return;
    std::size_t k = 0;
    while (k < fast.size() && k < slow.size() && fast[k] == slow[k]) ++k;
    check(false, what + ": line " + std::to_string(k) + ": sweep '" + (k < fast.size() ? fast[k] : "end") +
                     "', all pairs '" + (k < slow.size() ? slow[k] : "end") + "'");
}

// A small estate read as an engineer would read the sheet.
void example() {
    const std::vector<Block> estate = {
        {0, net("10.0.0.0/16"), false},     // 0: contains 2 and 3, which do not touch each other
        {1, net("172.31.0.0/16"), true},    // 1: a default VPC
        {2, net("10.0.1.0/24"), false},     // 2
        {2, net("10.0.128.0/17"), false},   // 3: a second block of the VPC of block 2
        {4, net("192.168.0.0/24"), false},  // 4: alone
        {5, net("172.31.0.0/16"), true},    // 5: the same default block elsewhere
    };
    const std::vector<Proposal> proposals = {
        {0, net("10.0.1.0/27")},     // falls on block 2 of another VPC
        {2, net("10.0.2.0/27")},     // only in its own VPC's block and block 0
        {4, net("192.168.0.0/27")},  // no other VPC there: no row
    };
    const std::vector<std::string> expected = {
        "group 1 block 0 overlaps 2 with 2 3",
        "group 1 block 2 overlaps 1 with 0",
        "group 1 block 3 overlaps 1 with 0",
        "group 1 proposal 0 overlaps 1 with 2",
        "group 1 proposal 1 overlaps 1 with 0",
        "group 2 block 1 overlaps 1 with 5",
        "group 2 block 5 overlaps 1 with 1",
        "blocks 5 groups 2 defaults 2",
    };
    check(text_of(native::overlaps::find(estate, proposals)) == expected, "the small estate");
    check(text_of(native::overlaps::find({}, {})) == std::vector<std::string>{"blocks 0 groups 0 defaults 0"},
          "no blocks");
}

// Many identical default blocks: each overlaps all the others and names the first five.
void identical() {
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < 3000; ++i) blocks.push_back({i, net("172.31.0.0/16"), true});
    blocks.push_back({3000, net("172.31.5.0/24"), false});
    const Result result = native::overlaps::find(blocks, {{3000, net("172.31.5.0/27")}});
    check(result.rows.size() == 3002 && result.groups == 1 && result.blocks == 3001 && result.defaults == 3000,
          "3000 identical blocks and one inside them are one group");
    check(text_of(result.rows[7]) == "group 1 block 7 overlaps 3000 with 0 1 2 3 4", "a default block's row");
    check(text_of(result.rows[3000]) == "group 1 block 3000 overlaps 3000 with 0 1 2 3 4", "the inner block's row");
    check(text_of(result.rows[3001]) == "group 1 proposal 0 overlaps 3000 with 0 1 2 3 4", "the proposal's row");
    expect_same(blocks, {{3000, net("172.31.5.0/27")}, {5, net("172.31.4.0/22")}}, "identical blocks");
}

// Random estates packed into a small space so that blocks nest, repeat and touch.
void agrees_with_all_pairs() {
    std::mt19937 rng(20261209);
    const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const auto random_network = [&](std::uint32_t base, int base_prefix, int min_prefix, int max_prefix) {
        const int prefix = pick(std::max(min_prefix, base_prefix), max_prefix);
        // A shift by 32 is undefined: inside a /32 there is nothing to spread.
        const std::uint32_t spread = base_prefix == 0    ? static_cast<std::uint32_t>(rng())
                                     : base_prefix >= 32 ? 0
                                                         : static_cast<std::uint32_t>(rng()) >> base_prefix;
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
        return Network{(base | spread) & mask, prefix};
    };
    for (int round = 0; round < 1500; ++round) {
        const std::uint32_t base = 0x0A000000u;  // 10.0.0.0/20 and around it
        const int count = pick(0, 60);
        std::vector<Block> blocks;
        std::size_t vpc = 0;
        while (static_cast<int>(blocks.size()) < count) {
            const int of_vpc = pick(1, 3);
            for (int k = 0; k < of_vpc; ++k) {
                Network n = rng() % 4 == 0 && !blocks.empty() ? blocks[rng() % blocks.size()].network
                                                               : random_network(base, 20, 16, 28);
                if (rng() % 10 == 0) n = random_network(0, 0, 8, 32);  // anywhere
                blocks.push_back({vpc, n, rng() % 3 == 0});
            }
            ++vpc;
        }
        std::vector<Proposal> proposals;
        for (const Block& b : blocks) {
            if (rng() % 2) continue;
            proposals.push_back({b.vpc, random_network(b.network.address, b.network.prefix, b.network.prefix, 32)});
            if (rng() % 8 == 0) proposals.push_back({b.vpc, random_network(base, 20, 14, 30)});
        }
        expect_same(blocks, proposals, "round " + std::to_string(round));
    }
}

}  // namespace

int main() {
    example();
    identical();
    agrees_with_all_pairs();
    if (failures == 0) std::printf("overlap search: all checks hold\n");
    return failures == 0 ? 0 : 1;
}
