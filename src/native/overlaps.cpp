#include "native/overlaps.hpp"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <utility>

namespace native::overlaps {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool contains(const Network& outer, const Network& inner) {
    return outer.prefix <= inner.prefix && outer.first() <= inner.first() && inner.last() <= outer.last();
}

bool overlap(const Network& a, const Network& b) { return a.first() <= b.last() && b.first() <= a.last(); }

bool same(const Network& a, const Network& b) { return a.address == b.address && a.prefix == b.prefix; }

// Preorder of the containment forest: by address, the wider of two networks that start together first.
bool before(const Network& a, const Network& b) {
    return a.address != b.address ? a.address < b.address : a.prefix < b.prefix;
}

// The distinct networks of the blocks as a containment forest, in preorder.
class Forest {
public:
    // `keep`: how many of the blocks below a network are remembered, lowest row positions first.
    Forest(const std::vector<Block>& blocks, std::size_t keep) : blocks_(blocks), keep_(keep) {
        std::vector<std::size_t> order(blocks.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            const Network &x = blocks[a].network, &y = blocks[b].network;
            return same(x, y) ? a < b : before(x, y);
        });
        members_ = std::move(order);
        node_of_.assign(blocks.size(), kNone);
        for (std::size_t k = 0; k < members_.size(); ++k) {
            const Network& n = blocks[members_[k]].network;
            if (network_.empty() || !same(network_.back(), n)) {
                network_.push_back(n);
                own_begin_.push_back(k);
            }
            node_of_[members_[k]] = network_.size() - 1;
        }
        own_begin_.push_back(members_.size());

        const std::size_t nodes = network_.size();
        parent_.assign(nodes, kNone);
        end_.assign(nodes, nodes);
        std::vector<std::size_t> open;  // the chain of networks containing the current one
        for (std::size_t v = 0; v < nodes; ++v) {
            while (!open.empty() && !contains(network_[open.back()], network_[v])) {
                end_[open.back()] = v;
                open.pop_back();
            }
            if (!open.empty()) parent_[v] = open.back();
            open.push_back(v);
        }

        // Children come after their parent in preorder: going backwards, each node is
        // complete when it hands its blocks up.
        below_.assign(nodes, 0);
        below_first_.assign(nodes * keep_, 0);
        below_shown_.assign(nodes, 0);
        std::vector<std::size_t> mine, merged, both;
        for (std::size_t v = nodes; v-- > 0;) {
            const std::size_t p = parent_[v];
            if (p == kNone) continue;
            below_[p] += own_count(v) + below_[v];
            mine.clear();
            append_own(v, keep_, mine);
            const auto below_v = below_first(v);
            merged.clear();
            std::merge(mine.begin(), mine.end(), below_v.first, below_v.second, std::back_inserter(merged));
            const auto below_p = below_first(p);
            mine.assign(below_p.first, below_p.second);
            both.clear();
            std::merge(mine.begin(), mine.end(), merged.begin(), merged.end(), std::back_inserter(both));
            const std::size_t shown = std::min(keep_, both.size());
            std::copy(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(shown), &below_first_[p * keep_]);
            below_shown_[p] = shown;
        }
    }

    std::size_t nodes() const { return network_.size(); }
    const Network& network(std::size_t v) const { return network_[v]; }
    std::size_t parent(std::size_t v) const { return parent_[v]; }
    std::size_t node_of(std::size_t block) const { return node_of_[block]; }
    std::size_t own_count(std::size_t v) const { return own_begin_[v + 1] - own_begin_[v]; }
    std::size_t subtree_count(std::size_t v) const { return own_count(v) + below_[v]; }

    // The blocks that overlap `q` (a network or a block's own), except those in `excluded`
    // (sorted): how many, and the first kShown in row order into `row`.
    void overlapping(const Network& q, const std::vector<std::size_t>& excluded, Row& row) {
        const std::size_t take = kShown + excluded.size();
        candidates_.clear();
        std::size_t count = 0;

        // The first network after q in preorder; the deepest one containing q is at or above the one before.
        const auto after = std::upper_bound(network_.begin(), network_.end(), q, before);
        const std::size_t lo = static_cast<std::size_t>(after - network_.begin());
        std::size_t u = lo == 0 ? kNone : lo - 1;
        while (u != kNone && !contains(network_[u], q)) u = parent_[u];

        for (std::size_t a = u; a != kNone; a = parent_[a]) {
            count += own_count(a);
            append_own(a, take, candidates_);
        }
        const auto add_below = [&](std::size_t v) {
            count += below_[v];
            const auto first = below_first(v);
            candidates_.insert(candidates_.end(), first.first, first.second);
        };
        if (u != kNone && same(network_[u], q)) {
            add_below(u);
        } else {
            // Everything after q in preorder that starts inside it lies inside it: whole subtrees.
            const auto past = std::partition_point(after, network_.end(),
                                                   [&](const Network& n) { return n.first() <= q.last(); });
            const std::size_t hi = static_cast<std::size_t>(past - network_.begin());
            for (std::size_t k = lo; k < hi; k = end_[k]) {
                count += own_count(k);
                append_own(k, take, candidates_);
                add_below(k);
            }
        }
        for (std::size_t x : excluded) count -= overlap(blocks_[x].network, q) ? 1 : 0;

        std::sort(candidates_.begin(), candidates_.end());
        row.overlaps = count;
        row.shown = 0;
        for (std::size_t c : candidates_) {
            if (row.shown == kShown) break;
            if (std::binary_search(excluded.begin(), excluded.end(), c)) continue;
            row.with[row.shown++] = c;
        }
    }

private:
    void append_own(std::size_t v, std::size_t most, std::vector<std::size_t>& out) const {
        const std::size_t from = own_begin_[v], to = std::min(own_begin_[v + 1], from + most);
        out.insert(out.end(), members_.begin() + static_cast<std::ptrdiff_t>(from),
                   members_.begin() + static_cast<std::ptrdiff_t>(to));
    }

    std::pair<const std::size_t*, const std::size_t*> below_first(std::size_t v) const {
        const std::size_t* begin = below_first_.data() + v * keep_;
        return {begin, begin + below_shown_[v]};
    }

    const std::vector<Block>& blocks_;
    std::size_t keep_;
    std::vector<Network> network_;          // per node, in preorder
    std::vector<std::size_t> own_begin_;    // the node's blocks are members_[own_begin_[v], own_begin_[v+1])
    std::vector<std::size_t> members_;      // block positions, by node, in row order within a node
    std::vector<std::size_t> node_of_;      // per block
    std::vector<std::size_t> parent_;       // kNone for a root
    std::vector<std::size_t> end_;          // one past the node's subtree
    std::vector<std::size_t> below_;        // blocks inside the node's network, its own not counted
    std::vector<std::size_t> below_first_;  // per node, `keep_` slots: the first of those in row order
    std::vector<std::size_t> below_shown_;  // how many of the slots are used
    std::vector<std::size_t> candidates_;   // scratch of `overlapping`
};

}  // namespace

Result find(const std::vector<Block>& blocks, const std::vector<Proposal>& proposals) {
    // A proposal leaves out its own VPC's blocks: the lists below a network must hold that many more.
    std::vector<std::pair<std::size_t, std::size_t>> by_vpc;  // (vpc, block position)
    std::size_t most_per_vpc = 0;
    if (!proposals.empty()) {
        by_vpc.reserve(blocks.size());
        for (std::size_t i = 0; i < blocks.size(); ++i) by_vpc.emplace_back(blocks[i].vpc, i);
        std::sort(by_vpc.begin(), by_vpc.end());
        for (std::size_t i = 0, j = 0; i < by_vpc.size(); i = j) {
            while (j < by_vpc.size() && by_vpc[j].first == by_vpc[i].first) ++j;
            most_per_vpc = std::max(most_per_vpc, j - i);
        }
    }
    Forest forest(blocks, kShown + most_per_vpc);

    // Groups are the trees with more than one block: largest first, then lowest address.
    std::vector<std::size_t> root(forest.nodes(), kNone);
    std::vector<std::size_t> roots;
    for (std::size_t v = 0; v < forest.nodes(); ++v) {
        root[v] = forest.parent(v) == kNone ? v : root[forest.parent(v)];
        if (root[v] == v && forest.subtree_count(v) > 1) roots.push_back(v);
    }
    std::sort(roots.begin(), roots.end(), [&](std::size_t a, std::size_t b) {
        if (forest.subtree_count(a) != forest.subtree_count(b)) return forest.subtree_count(a) > forest.subtree_count(b);
        return forest.network(a).address < forest.network(b).address;
    });
    std::vector<std::size_t> group(forest.nodes(), 0);
    for (std::size_t g = 0; g < roots.size(); ++g) group[roots[g]] = g + 1;
    const auto group_of_block = [&](std::size_t i) { return group[root[forest.node_of(i)]]; };

    Result result;
    result.groups = roots.size();
    std::vector<std::size_t> excluded;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::size_t g = group_of_block(i);
        if (g == 0) continue;
        Row row;
        row.group = g;
        row.index = i;
        excluded.assign(1, i);
        forest.overlapping(blocks[i].network, excluded, row);
        result.rows.push_back(row);
        ++result.blocks;
        result.defaults += blocks[i].is_default ? 1 : 0;
    }
    for (std::size_t p = 0; p < proposals.size(); ++p) {
        const auto own = std::equal_range(by_vpc.begin(), by_vpc.end(), std::make_pair(proposals[p].vpc, std::size_t{0}),
                                          [](const auto& a, const auto& b) { return a.first < b.first; });
        excluded.clear();
        for (auto it = own.first; it != own.second; ++it) excluded.push_back(it->second);
        Row row;
        row.proposal = true;
        row.index = p;
        forest.overlapping(proposals[p].network, excluded, row);
        if (row.overlaps == 0) continue;
        // Inside a block of its VPC, a proposal meets only that block's group.
        row.group = group_of_block(row.with[0]);
        if (row.group == 0) continue;
        result.rows.push_back(row);
    }
    std::stable_sort(result.rows.begin(), result.rows.end(),
                     [](const Row& a, const Row& b) { return a.group < b.group; });
    return result;
}

}  // namespace native::overlaps
