// Times the overlap search on the blocks of a generated estate: reads
// "<vpc> <cidr> <default 0/1>" lines (and "P <vpc> <cidr>" proposals) from
// standard input, runs the search once, and prints the blocks, the groups, the
// seconds and the most memory the search itself held at once.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "native/overlaps.hpp"

namespace {
std::size_t held = 0, most = 0;
bool counting = false;
}  // namespace

// Every allocation carries its size in front, so that the bytes held can be counted.
void* operator new(std::size_t size) {
    auto* block = static_cast<std::size_t*>(std::malloc(size + sizeof(std::size_t)));
    if (block == nullptr) throw std::bad_alloc();
    *block = size;
    if (counting) {
        held += size;
        if (held > most) most = held;
    }
    return block + 1;
}

void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    auto* block = static_cast<std::size_t*>(p) - 1;
    if (counting) held -= *block;
    std::free(block);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

int main() {
    std::vector<native::overlaps::Block> blocks;
    std::vector<native::overlaps::Proposal> proposals;
    std::string first, cidr;
    while (std::cin >> first) {
        if (first == "P") {
            std::size_t vpc;
            std::cin >> vpc >> cidr;
            proposals.push_back({vpc, *native::ipv4::parse_network(cidr).network});
            continue;
        }
        int is_default;
        std::cin >> cidr >> is_default;
        blocks.push_back({std::stoul(first), *native::ipv4::parse_network(cidr).network, is_default != 0});
    }
    held = most = 0;
    counting = true;
    const auto started = std::chrono::steady_clock::now();
    const auto result = native::overlaps::find(blocks, proposals);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    counting = false;
    std::printf("%zu %zu %zu %zu %.4f %zu\n", blocks.size(), proposals.size(), result.blocks, result.groups, seconds,
                most);
    return 0;
}
