#include "native/yaml_emit.hpp"

#include <cstdio>

namespace native {
namespace {

constexpr long kBestIndent = 2;
constexpr long kBestWidth = 80;

// The one-letter escapes of double-quoted YAML, 0 where a character has none.
char short_escape(char32_t ch) {
    switch (ch) {
        case U'\0': return '0';
        case U'\x07': return 'a';
        case U'\x08': return 'b';
        case U'\x09': return 't';
        case U'\x0A': return 'n';
        case U'\x0B': return 'v';
        case U'\x0C': return 'f';
        case U'\x0D': return 'r';
        case U'\x1B': return 'e';
        case U'"': return '"';
        case U'\\': return '\\';
        case U'\x85': return 'N';
        case U'\u2028': return 'L';
        case U'\u2029': return 'P';
        default: return 0;
    }
}

// Characters written as they are inside double quotes; everything else is escaped.
bool printable(char32_t ch) {
    if (ch == U'"' || ch == U'\\' || ch == U'\x85' || ch == U'\u2028' || ch == U'\u2029' || ch == U'\uFEFF') {
        return false;
    }
    return (ch >= 0x20 && ch <= 0x7E) || (ch >= 0xA0 && ch <= 0xD7FF) || (ch >= 0xE000 && ch <= 0xFFFD);
}

std::string escape(char32_t ch) {
    char buf[12];
    if (char e = short_escape(ch)) {
        buf[0] = '\\';
        buf[1] = e;
        return std::string(buf, 2);
    }
    if (ch <= 0xFF) {
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(ch));
    } else if (ch <= 0xFFFF) {
        std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(ch));
    } else {
        std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(ch));
    }
    return buf;
}

}  // namespace

void YamlEmitter::write(std::string_view data, long width) {
    out_.append(data);
    column_ += width;
}

void YamlEmitter::write_code_point(char32_t ch) {
    if (ch < 0x80) {
        out_.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
        out_.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        out_.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        out_.push_back(static_cast<char>(0xE0 | (ch >> 12)));
        out_.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        out_.push_back(static_cast<char>(0xF0 | (ch >> 18)));
        out_.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
    ++column_;
}

void YamlEmitter::indicator(std::string_view text, bool need_whitespace, bool whitespace, bool indention) {
    if (!whitespace_ && need_whitespace) write(" ", 1);
    write(text, static_cast<long>(text.size()));
    whitespace_ = whitespace;
    indention_ = indention_ && indention;
}

void YamlEmitter::write_indent() {
    const long indent = indent_ < 0 ? 0 : indent_;
    if (!indention_ || column_ > indent || (column_ == indent && !whitespace_)) line_break();
    if (column_ < indent) {
        whitespace_ = true;
        out_.append(static_cast<size_t>(indent - column_), ' ');
        column_ = indent;
    }
}

void YamlEmitter::line_break() {
    out_.push_back('\n');
    whitespace_ = true;
    indention_ = true;
    column_ = 0;
}

void YamlEmitter::increase_indent(bool flow, bool indentless) {
    indents_.push_back(indent_);
    if (indent_ < 0) {
        indent_ = flow ? kBestIndent : 0;
    } else if (!indentless) {
        indent_ += kBestIndent;
    }
}

void YamlEmitter::restore_indent() {
    indent_ = indents_.back();
    indents_.pop_back();
}

void YamlEmitter::begin_mapping() { increase_indent(false, false); }

void YamlEmitter::key_plain(std::string_view text) {
    write_indent();
    if (!whitespace_) write(" ", 1);
    write(text, static_cast<long>(text.size()));
    whitespace_ = false;
    indention_ = false;
}

void YamlEmitter::key_single_quoted(std::string_view text) {
    write_indent();
    indicator("'", true);
    write(text, static_cast<long>(text.size()));
    indicator("'", false);
}

void YamlEmitter::value_indicator() { indicator(":", false); }

void YamlEmitter::end_mapping() { restore_indent(); }

void YamlEmitter::begin_sequence(bool in_mapping) {
    increase_indent(false, in_mapping && !indention_);
}

void YamlEmitter::item() {
    write_indent();
    indicator("-", true, false, true);
}

void YamlEmitter::end_sequence() { restore_indent(); }

void YamlEmitter::empty_flow(char open, char close) {
    indicator(std::string_view(&open, 1), true, true);
    indicator(std::string_view(&close, 1), false);
}

void YamlEmitter::plain(std::string_view text) {
    if (!whitespace_) write(" ", 1);
    write(text, static_cast<long>(text.size()));
    whitespace_ = false;
    indention_ = false;
}

// Long texts are folded at 80 columns: a line ends in "\" before a blank (or
// after an escape) and goes on at the scalar's indentation, a leading blank
// of the next line written as "\ " so that nothing is lost.
void YamlEmitter::double_quoted(std::u32string_view text) {
    increase_indent(true, false);
    indicator("\"", true);
    const size_t n = text.size();
    size_t start = 0;
    for (size_t end = 0; end <= n; ++end) {
        const bool at_end = end == n;
        const char32_t ch = at_end ? 0 : text[end];
        if (at_end || !printable(ch)) {
            for (size_t i = start; i < end; ++i) write_code_point(text[i]);
            if (start < end) start = end;
            if (!at_end) {
                const std::string data = escape(ch);
                write(data, static_cast<long>(data.size()));
                start = end + 1;
            }
        }
        if (end > 0 && end + 1 < n && (ch == U' ' || start >= end) &&
            column_ + static_cast<long>(end) - static_cast<long>(start) > kBestWidth) {
            if (start < end) {
                for (size_t i = start; i < end; ++i) write_code_point(text[i]);
                start = end;
            }
            write("\\", 1);
            write_indent();
            whitespace_ = false;
            indention_ = false;
            if (text[start] == U' ') write("\\", 1);
        }
    }
    indicator("\"", false);
    restore_indent();
}

std::string YamlEmitter::finish() {
    indent_ = -1;
    write_indent();
    return std::move(out_);
}

}  // namespace native
