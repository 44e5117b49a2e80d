#include "native/ipv4.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace native::ipv4 {
namespace {

constexpr std::uint64_t kAllOnes = 0xFFFFFFFFu;

// The text between quotes as Python's repr shows it, so that messages read
// like the library's ('10.0.0.256').
std::string repr(std::string_view s) {
    const bool has_single = s.find('\'') != std::string_view::npos;
    const bool has_double = s.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, quote);
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    out += quote;
    return out;
}

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One decimal octet; on failure the reason, without the address it belongs to.
std::optional<std::uint32_t> parse_octet(std::string_view s, std::string& error) {
    if (s.empty()) {
        error = "Empty octet not permitted";
        return std::nullopt;
    }
    if (!all_digits(s)) {
        error = "Only decimal digits permitted in " + repr(s);
        return std::nullopt;
    }
    if (s.size() > 3) {
        error = "At most 3 characters permitted in " + repr(s);
        return std::nullopt;
    }
    if (s != "0" && s[0] == '0') {  // as strict as inet_pton: 010 is not octal, nor ten
        error = "Leading zeros are not permitted in " + repr(s);
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : s) value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 255) {
        error = "Octet " + std::to_string(value) + " (> 255) not permitted";
        return std::nullopt;
    }
    return value;
}

// A dotted-quad address.
std::optional<std::uint32_t> parse_address(std::string_view s, std::string& error) {
    if (s.empty()) {
        error = "Address cannot be empty";
        return std::nullopt;
    }
    if (std::count(s.begin(), s.end(), '.') != 3) {
        error = "Expected 4 octets in " + repr(s);
        return std::nullopt;
    }
    std::uint32_t address = 0;
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? s.find('.', start) : s.size();
        std::string reason;
        const auto octet = parse_octet(s.substr(start, dot - start), reason);
        if (!octet) {
            error = reason + " in " + repr(s);
            return std::nullopt;
        }
        address = (address << 8) | *octet;
        start = dot + 1;
    }
    return address;
}

// The prefix length of a netmask (ones then zeros), if it is one.
std::optional<int> prefix_of_mask(std::uint64_t mask) {
    int trailing_zeros = 0;
    while (trailing_zeros < 32 && ((mask >> trailing_zeros) & 1u) == 0) ++trailing_zeros;
    const int prefix = 32 - trailing_zeros;
    const std::uint64_t all_ones = (std::uint64_t{1} << prefix) - 1;
    if ((mask >> trailing_zeros) != all_ones) return std::nullopt;
    return prefix;
}

// The part after '/': a length (leading zeros allowed, as the library does),
// a netmask or a hostmask in dotted-quad form.
std::optional<int> parse_prefix(std::string_view s, std::string& error) {
    if (all_digits(s)) {
        std::uint64_t value = 0;
        for (char c : s) value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(c - '0'), 1000);
        if (value <= 32) return static_cast<int>(value);
    } else {
        std::string ignored;
        if (const auto mask = parse_address(s, ignored)) {
            if (const auto netmask = prefix_of_mask(*mask)) return netmask;
            if (const auto hostmask = prefix_of_mask(*mask ^ kAllOnes)) return hostmask;
        }
    }
    error = repr(s) + " is not a valid netmask";
    return std::nullopt;
}

std::string address_text(std::uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::uint64_t mask_of(int prefix) { return prefix == 0 ? 0 : (kAllOnes << (32 - prefix)) & kAllOnes; }

}  // namespace

Parsed parse_network(std::string_view text) {
    Parsed out;
    const std::size_t slash = text.find('/');
    if (slash != std::string_view::npos && text.find('/', slash + 1) != std::string_view::npos) {
        out.error = "Only one '/' permitted in " + repr(text);
        return out;
    }
    const auto address = parse_address(text.substr(0, slash), out.error);
    if (!address) return out;
    int prefix = 32;
    if (slash != std::string_view::npos) {
        const auto parsed = parse_prefix(text.substr(slash + 1), out.error);
        if (!parsed) return out;
        prefix = *parsed;
    }
    if ((*address & mask_of(prefix)) != *address) {
        out.error = address_text(*address) + '/' + std::to_string(prefix) + " has host bits set";
        return out;
    }
    out.network = Network{*address, prefix};
    return out;
}

std::string to_string(const Network& network) {
    return address_text(network.address) + '/' + std::to_string(network.prefix);
}

BlockWalk::BlockWalk(const Network& outer, int prefix, const std::vector<Network>& occupied)
    : outer_(outer), prefix_(prefix), count_(0) {
    if (prefix < outer.prefix || prefix > 32) throw std::invalid_argument("new prefix must be longer");
    count_ = std::uint64_t{1} << (prefix - outer.prefix);
    taken_.reserve(occupied.size());
    for (const Network& n : occupied) taken_.emplace_back(n.first(), n.last());
    std::sort(taken_.begin(), taken_.end());
    std::size_t merged = 0;
    for (std::size_t i = 0; i < taken_.size(); ++i) {
        if (merged > 0 && taken_[i].first <= taken_[merged - 1].second + 1) {
            taken_[merged - 1].second = std::max(taken_[merged - 1].second, taken_[i].second);
        } else {
            taken_[merged++] = taken_[i];
        }
    }
    taken_.resize(merged);
}

Network BlockWalk::candidate(std::uint64_t index) const {
    const std::uint64_t size = std::uint64_t{1} << (32 - prefix_);
    return Network{static_cast<std::uint32_t>(outer_.first() + index * size), prefix_};
}

bool BlockWalk::is_free(const Network& block) const {
    // The first occupied range that ends at or after the block's start.
    const auto it = std::lower_bound(taken_.begin(), taken_.end(), block.first(),
                                     [](const auto& range, std::uint64_t at) { return range.second < at; });
    return it == taken_.end() || it->first > block.last();
}

std::optional<Network> BlockWalk::first_free() const {
    const std::uint64_t size = std::uint64_t{1} << (32 - prefix_);
    auto it = taken_.begin();
    for (std::uint64_t start = outer_.first(); start + size - 1 <= outer_.last();) {
        while (it != taken_.end() && it->second < start) ++it;
        if (it == taken_.end() || it->first > start + size - 1) return Network{static_cast<std::uint32_t>(start), prefix_};
        start = (it->second + size) / size * size;  // the next block boundary past this occupied range
    }
    return std::nullopt;
}

std::optional<Found> first_free_in(const std::vector<Network>& blocks, int prefix, const std::vector<Network>& occupied) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (prefix < blocks[i].prefix || prefix > 32) continue;
        if (const auto free = BlockWalk(blocks[i], prefix, occupied).first_free()) return Found{i, *free};
    }
    return std::nullopt;
}

}  // namespace native::ipv4
