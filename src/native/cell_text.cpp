#include "native/cell_text.hpp"

#include <algorithm>
#include <cctype>

namespace native {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\f\v";

// Pieces of `text` between the commas, blanks around them removed, empty ones left out.
std::vector<std::string> comma_pieces(std::string_view text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        std::string piece = trim(text.substr(start, comma - start));
        if (!piece.empty()) pieces.push_back(std::move(piece));
        start = comma + 1;
    }
    return pieces;
}

std::string quote(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

std::string trim(std::string_view text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> split_list_cell(std::string_view text) {
    std::string bare;
    bare.reserve(text.size());
    for (char c : text) {
        if (c != '[' && c != ']' && c != '\'') bare.push_back(c);
    }
    return comma_pieces(bare);
}

std::vector<Tag> parse_tags(std::string_view text) {
    std::vector<Tag> tags;
    for (const std::string& piece : comma_pieces(text)) {
        size_t eq = piece.find('=');
        if (eq == std::string::npos || piece.find('=', eq + 1) != std::string::npos) {
            throw CellTextError("tag " + quote(piece) + " must be one key=value pair (exactly one '=')");
        }
        Tag tag{trim(std::string_view(piece).substr(0, eq)), trim(std::string_view(piece).substr(eq + 1))};
        if (tag.key.empty()) throw CellTextError("tag " + quote(piece) + " has an empty key");
        tags.push_back(std::move(tag));
    }
    return tags;
}

std::optional<bool> parse_yes_no(std::string_view text) {
    std::string word = trim(text);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const char* const kTrue[] = {"true", "yes", "y", "1", "on"};
    static const char* const kFalse[] = {"false", "no", "n", "0", "off"};
    for (const char* w : kTrue) {
        if (word == w) return true;
    }
    for (const char* w : kFalse) {
        if (word == w) return false;
    }
    return std::nullopt;
}

}  // namespace native
