// An append-only file of lines that survives the death of the process writing it: each
// line is handed to the operating system whole as soon as it is added, so a kill -9
// loses at most the line being written, and a reader keeps only the whole lines (each
// ended by '\n') and drops a torn last one.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace native::journal {

// What a journal file holds now.
struct Contents {
    bool exists = false;
    std::vector<std::string> lines;  // the whole lines, without their '\n'
    std::size_t whole_bytes = 0;     // the bytes those lines take, their '\n' included
    bool torn = false;               // bytes after the last whole line: a line cut short
};

// Reads the file at `path`; a missing file is `exists == false`. Throws std::runtime_error
// naming the file when it cannot be read.
Contents read(const std::string& path);

class Writer {
public:
    // A new journal whose first line is `first_line`, replacing any file of that name.
    static Writer fresh(const std::string& path, const std::string& first_line);
    // The journal at `path` continued after its first `whole_bytes` bytes (its whole lines):
    // what follows them, a torn line, is cut away first.
    static Writer resume(const std::string& path, std::size_t whole_bytes);

    Writer(Writer&& other) noexcept;
    Writer& operator=(Writer&& other) noexcept;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer();

    // Adds `line` (which holds no '\n') and hands it to the operating system at once.
    void append(const std::string& line);
    // Lines added by this writer.
    std::size_t appended() const { return appended_; }

private:
    Writer(std::string path, std::FILE* file) : path_(std::move(path)), file_(file) {}
    std::string path_;
    std::FILE* file_ = nullptr;
    std::size_t appended_ = 0;
};

}  // namespace native::journal
