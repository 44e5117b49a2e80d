// Reading the texts an engineer types into workbook cells: printed lists,
// gateway tags and yes/no words. Plain C++ over std::string; callers turn
// CellTextError into the host's ValueError.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace native {

// A cell text that cannot be read; what() says why and names the text.
class CellTextError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The text without leading and trailing blanks (spaces, tabs, line breaks).
std::string trim(std::string_view text);

// A list cell, either printed by the workbook writer (['a', 'b']) or typed by
// hand (a, b): brackets and single quotes are removed, the rest is split at
// every comma, pieces are trimmed and empty pieces dropped.
std::vector<std::string> split_list_cell(std::string_view text);

struct Tag {
    std::string key;
    std::string value;
};

// Gateway tags typed as key=value pairs separated by commas ("Name=web, Env=prod").
// Each non-empty piece needs exactly one "=" and a non-empty key; key and value
// are trimmed; an empty value is allowed. Throws CellTextError naming the piece.
std::vector<Tag> parse_tags(std::string_view text);

// true/yes/y/1/on and false/no/n/0/off, trimmed and in any case; anything else
// gives no value.
std::optional<bool> parse_yes_no(std::string_view text);

}  // namespace native
