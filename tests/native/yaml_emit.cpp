// The YAML emitter against texts PyYAML wrote for the same documents (its
// default settings with allow_unicode): nesting and indentation, empty lists
// and mappings, keys YAML would read as booleans, escapes, and the folding of
// long double-quoted texts at 80 columns.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "native/yaml_emit.hpp"

using namespace std::string_literals;

namespace {

// A document as the writers hand it over: mappings in their order, lists,
// double-quoted texts and plain scalars.
struct Node {
    enum class Kind { mapping, sequence, quoted, plain } kind;
    std::u32string text;  // quoted
    std::string word;     // plain
    std::vector<std::pair<std::string, Node>> entries;
    std::vector<Node> items;
};

Node Q(std::u32string text) { return Node{Node::Kind::quoted, std::move(text), {}, {}, {}}; }
Node P(std::string word) { return Node{Node::Kind::plain, {}, std::move(word), {}, {}}; }
Node M(std::vector<std::pair<std::string, Node>> entries) { return Node{Node::Kind::mapping, {}, {}, std::move(entries), {}}; }
Node L(std::vector<Node> items) { return Node{Node::Kind::sequence, {}, {}, {}, std::move(items)}; }

bool reads_as_bool_or_null(const std::string& key) {
    for (const char* word : {"yes", "no", "true", "false", "on", "off", "null"}) {
        if (key == word) return true;
    }
    return false;
}

// The calls the writers make, in document order.
void emit(native::YamlEmitter& out, const Node& node, bool in_mapping) {
    switch (node.kind) {
        case Node::Kind::mapping:
            if (node.entries.empty()) return out.empty_flow('{', '}');
            out.begin_mapping();
            for (const auto& [key, value] : node.entries) {
                if (reads_as_bool_or_null(key)) {
                    out.key_single_quoted(key);
                } else {
                    out.key_plain(key);
                }
                out.value_indicator();
                emit(out, value, true);
            }
            return out.end_mapping();
        case Node::Kind::sequence:
            if (node.items.empty()) return out.empty_flow('[', ']');
            out.begin_sequence(in_mapping);
            for (const Node& item : node.items) {
                out.item();
                emit(out, item, false);
            }
            return out.end_sequence();
        case Node::Kind::quoted:
            return out.double_quoted(node.text);
        case Node::Kind::plain:
            return out.plain(node.word);
    }
}

std::string text_of(const Node& document) {
    native::YamlEmitter out;
    emit(out, document, false);
    return out.finish();
}

std::u32string repeat(std::u32string_view piece, int times) {
    std::u32string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

void nesting() {
    const Node inventory = M({
        {"account_info", L({M({
                             {"account_id", Q(U"111122223333")},
                             {"on", P("true")},
                             {"regions", L({M({
                                             {"region", Q(U"us-east-1")},
                                             {"vpcs", L({M({
                                                          {"vpc_id", Q(U"vpc-1")},
                                                          {"gw_zones", L({})},
                                                          {"n", P("7")},
                                                          {"x", P("null")},
                                                      })})},
                                         })})},
                             {"empty", M({})},
                         })})},
        {"yes", P("false")},
    });
    CHECK_EQ(text_of(inventory), R"(account_info:
- account_id: "111122223333"
  'on': true
  regions:
  - region: "us-east-1"
    vpcs:
    - vpc_id: "vpc-1"
      gw_zones: []
      n: 7
      x: null
  empty: {}
'yes': false
)");

    const Node lists = L({L({P("1"), L({P("2"), Q(U"a")})}), M({{"a", L({L({})})}, {"b", L({M({{"c", P("-3")}})})}})});
    CHECK_EQ(text_of(lists), R"(- - 1
  - - 2
    - "a"
- a:
  - []
  b:
  - c: -3
)");
    CHECK_EQ(text_of(L({})), "[]\n");
    CHECK_EQ(text_of(M({})), "{}\n");
}

void folding() {
    // A line ends in "\" where a blank falls past column 80; a blank that starts
    // the next line is written "\ " so that reading it back loses nothing.
    const Node long_texts = M({
        {"words", Q(repeat(U"word ", 30))},
        {"solid", Q(repeat(U"x", 100))},
        {"blanks", Q(U"a" + repeat(U" ", 90) + U"b")},
        {"lead", Q(repeat(U"y", 76) + U"  z z z")},
        {"escaped", Q(repeat(U"\x01", 30) + U" " + repeat(U"ab ", 30))},
    });
    CHECK_EQ(text_of(long_texts), R"(words: "word word word word word word word word word word word word word word word\
  \ word word word word word word word word word word word word word word word "
solid: "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
blanks: "a                                                                       \
  \                   b"
lead: "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy\
  \  z z z"
escaped: "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\
  \x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01 ab ab ab ab ab ab ab ab ab ab ab\
  \ ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab "
)");
}

void escapes() {
    // Characters of the Basic Multilingual Plane as they are (in UTF-8), others
    // and the control characters escaped, the shortest escape first.
    const Node text = M({{"e", Q(U"\u00e9\u20ac\U0001F600\0\a\t\n\x1b\x7f\x85\u2028\u2029\uFEFF\"\\ '"s)},
                         {"s", Q(U"")},
                         {"t", Q(U" lead and trail ")}});
    CHECK_EQ(text_of(text), "e: \"\xC3\xA9\xE2\x82\xAC\\U0001F600\\0\\a\\t\\n\\e\\x7F\\N\\L\\P\\uFEFF\\\"\\\\ '\"\n"
                            "s: \"\"\n"
                            "t: \" lead and trail \"\n");
    // A lone surrogate (a Python text may hold one) is escaped, never written as bytes.
    std::u32string surrogate = U"a";
    surrogate.push_back(static_cast<char32_t>(0xD800));
    CHECK_EQ(text_of(L({Q(surrogate)})), "- \"a\\uD800\"\n");
}

}  // namespace

int main() {
    nesting();
    folding();
    escapes();
    return check::finish("yaml emitter");
}
