#include "native/journal.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <unistd.h>

namespace native::journal {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

}  // namespace

Contents read(const std::string& path) {
    Contents contents;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return contents;
        fail("cannot read the journal", path, errno);
    }
    contents.exists = true;
    std::string data;
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.append(buffer, got);
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error != 0) fail("cannot read the journal", path, error);
    std::size_t start = 0;
    for (std::size_t end = data.find('\n'); end != std::string::npos; end = data.find('\n', start)) {
        contents.lines.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    contents.whole_bytes = start;
    contents.torn = start < data.size();
    return contents;
}

Writer Writer::fresh(const std::string& path, const std::string& first_line) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot write the journal", path, errno);
    Writer writer(path, file);
    writer.append(first_line);
    return writer;
}

Writer Writer::resume(const std::string& path, std::size_t whole_bytes) {
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (file == nullptr) fail("cannot write the journal", path, errno);
    Writer writer(path, file);
    if (::ftruncate(::fileno(file), static_cast<off_t>(whole_bytes)) != 0 ||
        std::fseek(file, 0, SEEK_END) != 0) {
        fail("cannot write the journal", path, errno);
    }
    return writer;
}

Writer::Writer(Writer&& other) noexcept
    : path_(std::move(other.path_)), file_(std::exchange(other.file_, nullptr)), appended_(other.appended_) {}

Writer& Writer::operator=(Writer&& other) noexcept {
    if (this != &other) {
        if (file_ != nullptr) std::fclose(file_);
        path_ = std::move(other.path_);
        file_ = std::exchange(other.file_, nullptr);
        appended_ = other.appended_;
    }
    return *this;
}

Writer::~Writer() {
    if (file_ != nullptr) std::fclose(file_);
}

void Writer::append(const std::string& line) {
    if (line.find('\n') != std::string::npos) throw std::invalid_argument("a journal line holds no line break");
    const std::string whole = line + "\n";
    if (std::fwrite(whole.data(), 1, whole.size(), file_) != whole.size() || std::fflush(file_) != 0) {
        fail("cannot write the journal", path_, errno);
    }
    ++appended_;
}

}  // namespace native::journal
