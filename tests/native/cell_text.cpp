// The texts an engineer types into workbook cells: printed and typed lists,
// gateway tags, yes/no words.
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "native/cell_text.hpp"

using Items = std::vector<std::string>;

namespace {

// Tags as key=value texts, to compare whole lists at once.
Items tag_texts(const std::string& text) {
    Items out;
    for (const native::Tag& tag : native::parse_tags(text)) out.push_back(tag.key + "=" + tag.value);
    return out;
}

std::string yes_no(const std::string& text) {
    const std::optional<bool> word = native::parse_yes_no(text);
    return word ? (*word ? "true" : "false") : "none";
}

void lists() {
    // As generate prints a list, as an engineer types one, and the slips between the two.
    CHECK_EQ(native::split_list_cell("['10.0.0.0/8', '172.16.0.0/12']"), (Items{"10.0.0.0/8", "172.16.0.0/12"}));
    CHECK_EQ(native::split_list_cell("10.0.0.0/8,172.16.0.0/12"), (Items{"10.0.0.0/8", "172.16.0.0/12"}));
    CHECK_EQ(native::split_list_cell(" us-east-1a ,\tus-east-1b\n"), (Items{"us-east-1a", "us-east-1b"}));
    CHECK_EQ(native::split_list_cell("a,, b,"), (Items{"a", "b"}));
    CHECK_EQ(native::split_list_cell("[]"), Items{});
    CHECK_EQ(native::split_list_cell(""), Items{});
    CHECK_EQ(native::split_list_cell(" , ,"), Items{});
    CHECK_EQ(native::split_list_cell("['one item']"), Items{"one item"});
}

void tags() {
    CHECK_EQ(tag_texts("Name=web, Env=prod"), (Items{"Name=web", "Env=prod"}));
    CHECK_EQ(tag_texts(" Owner = netops ,CostCenter=1234,"), (Items{"Owner=netops", "CostCenter=1234"}));
    CHECK_EQ(tag_texts("Empty="), Items{"Empty="});  // an empty value is a value
    CHECK_EQ(tag_texts(""), Items{});
    CHECK_EQ(tag_texts(" , "), Items{});
    CHECK_THROWS(native::parse_tags("Name=web, Env"), native::CellTextError, "'Env'");
    CHECK_THROWS(native::parse_tags("a=b=c"), native::CellTextError, "exactly one '='");
    CHECK_THROWS(native::parse_tags("Name=web, =prod"), native::CellTextError, "'=prod' has an empty key");
    CHECK_THROWS(native::parse_tags("  = x"), native::CellTextError, "empty key");
}

void yes_no_words() {
    for (const char* word : {"true", "TRUE", "True", "yes", "Y", "1", "on", " On\t"}) CHECK_EQ(yes_no(word), "true");
    for (const char* word : {"false", "FALSE", "no", "N", "0", "off", "\nOFF "}) CHECK_EQ(yes_no(word), "false");
    for (const char* word : {"", " ", "2", "yess", "t", "ja", "true false", "nil"}) CHECK_EQ(yes_no(word), "none");
}

void trimming() {
    CHECK_EQ(native::trim(" \t\r\n\f\vx y\v\f\n\r\t "), "x y");
    CHECK_EQ(native::trim("   "), "");
    CHECK_EQ(native::trim(""), "");
    CHECK_EQ(native::trim("x"), "x");
}

}  // namespace

int main() {
    lists();
    tags();
    yes_no_words();
    trimming();
    return check::finish("cell text rules");
}
