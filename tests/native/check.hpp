// The few checks the native tests need: each failed check prints one line
// naming the file, the line and what differed, and the program's exit status
// says whether every check held.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace check {

inline int failures = 0;

inline std::string show(const std::string& text) { return "\"" + text + "\""; }
inline std::string show(const char* text) { return show(std::string(text)); }
inline std::string show(bool value) { return value ? "true" : "false"; }
template <typename T>
std::string show(const std::vector<T>& items) {
    std::string out = "[";
    for (const auto& item : items) out += (out.size() > 1 ? ", " : "") + show(item);
    return out + "]";
}
template <typename T>
std::string show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

inline void fail(const char* file, int line, const std::string& what) {
    ++failures;
    std::printf("%s:%d: FAILED: %s\n", file, line, what.c_str());
}

template <typename A, typename B>
void equal(const A& got, const B& expected, const char* expression, const char* file, int line) {
    if (got == expected) return;
    fail(file, line, std::string(expression) + "\n  got:      " + show(got) + "\n  expected: " + show(expected));
}

// The closing line of a test program, and its exit status.
inline int finish(const char* name) {
    if (failures == 0) {
        std::printf("%s: all checks hold\n", name);
        return 0;
    }
    std::printf("%s: %d check(s) failed\n", name, failures);
    return 1;
}

}  // namespace check

#define CHECK(condition) \
    ((condition) ? void() : ::check::fail(__FILE__, __LINE__, #condition))
#define CHECK_EQ(got, expected) ::check::equal((got), (expected), #got " == " #expected, __FILE__, __LINE__)
// The statement throws an exception of the type named, whose what() contains `part`.
#define CHECK_THROWS(statement, type, part)                                                                \
    do {                                                                                                   \
        bool thrown_ = false;                                                                              \
        try {                                                                                              \
            statement;                                                                                     \
        } catch (const type& error_) {                                                                     \
            thrown_ = true;                                                                                \
            if (std::string(error_.what()).find(part) == std::string::npos) {                              \
                ::check::fail(__FILE__, __LINE__, std::string(#statement ": message \"") + error_.what() + \
                                                      "\" does not contain \"" + (part) + "\"");            \
            }                                                                                              \
        }                                                                                                  \
        if (!thrown_) ::check::fail(__FILE__, __LINE__, #statement " did not throw " #type);               \
    } while (false)
