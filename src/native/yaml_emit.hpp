// A block-style YAML writer that lays text out exactly as PyYAML's emitter does
// with its default settings and allow_unicode (indent 2, width 80; characters
// of the Basic Multilingual Plane written as they are, others escaped): the
// same indentation, the same escapes and the same folding of long
// double-quoted texts. Plain C++; the caller walks its data and calls these in
// document order, and decides beforehand which values it can write at all.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace native {

class YamlEmitter {
public:
    // A block mapping (at least one entry): per entry key_plain/key_single_quoted,
    // then value_indicator, then the value; end_mapping after the last.
    void begin_mapping();
    void key_plain(std::string_view text);          // a text YAML reads back as this text, no blanks
    void key_single_quoted(std::string_view text);  // a word YAML would read as a boolean or null
    void value_indicator();
    void end_mapping();

    // A block sequence (at least one item): item() before each item's value.
    // `in_mapping`: the sequence is the value of a mapping entry.
    void begin_sequence(bool in_mapping);
    void item();
    void end_sequence();

    // An empty list or mapping, written in flow style: "[]" or "{}".
    void empty_flow(char open, char close);

    // A scalar written as it is (numbers, true/false, null).
    void plain(std::string_view text);

    // A text as a double-quoted scalar, given as code points.
    void double_quoted(std::u32string_view text);

    // Closes the document: the line break after the last value.
    std::string finish();

private:
    void write(std::string_view data, long width);
    void write_code_point(char32_t ch);
    void indicator(std::string_view text, bool need_whitespace, bool whitespace = false, bool indention = false);
    void write_indent();
    void line_break();
    void increase_indent(bool flow, bool indentless);
    void restore_indent();

    std::string out_;
    long column_ = 0;
    bool whitespace_ = true;
    bool indention_ = true;
    long indent_ = -1;  // none yet
    std::vector<long> indents_;
};

}  // namespace native
