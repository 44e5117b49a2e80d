// The journal file: whole lines kept, a torn last line dropped and cut away before
// the journal goes on, a fresh journal replacing an old one.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "check.hpp"
#include "native/journal.hpp"

using Lines = std::vector<std::string>;
namespace journal = native::journal;

namespace {

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void torn_tail_cut_before_going_on(const std::string& path) {
    {
        journal::Writer writer = journal::Writer::fresh(path, "head");
        writer.append("one");
        writer.append("two");
        CHECK_EQ(writer.appended(), 3u);
        // read while the writer is open: every line is already in the file
        CHECK_EQ(journal::read(path).lines, (Lines{"head", "one", "two"}));
    }
    // a kill in the middle of a line
    write_text(path, file_text(path) + "{\"thr");
    journal::Contents found = journal::read(path);
    CHECK(found.exists);
    CHECK(found.torn);
    CHECK_EQ(found.lines, (Lines{"head", "one", "two"}));
    CHECK_EQ(found.whole_bytes, std::string("head\none\ntwo\n").size());
    {
        journal::Writer writer = journal::Writer::resume(path, found.whole_bytes);
        writer.append("three");
    }
    CHECK_EQ(file_text(path), std::string("head\none\ntwo\nthree\n"));
    CHECK(!journal::read(path).torn);

    // a new journal replaces the old one whole
    { journal::Writer writer = journal::Writer::fresh(path, "other head"); }
    CHECK_EQ(file_text(path), std::string("other head\n"));
}

void empty_missing_and_refused(const std::string& path) {
    write_text(path, "");
    journal::Contents empty = journal::read(path);
    CHECK(empty.exists && !empty.torn && empty.lines.empty() && empty.whole_bytes == 0);
    write_text(path, "no line end");
    journal::Contents torn = journal::read(path);
    CHECK(torn.torn && torn.lines.empty());
    std::remove(path.c_str());
    CHECK(!journal::read(path).exists);
    CHECK_THROWS(journal::Writer::resume(path, 0), std::runtime_error, path);
    CHECK_THROWS(journal::Writer::fresh("/nonexistent-folder/j.journal", "head"), std::runtime_error,
                 "/nonexistent-folder/j.journal");
    journal::Writer writer = journal::Writer::fresh(path, "head");
    CHECK_THROWS(writer.append("two\nlines"), std::invalid_argument, "line break");
    CHECK_EQ(journal::read(path).lines, (Lines{"head"}));
    std::remove(path.c_str());
}

}  // namespace

int main() {
    const std::string path = "journal-test-" + std::to_string(::getpid()) + ".journal";
    torn_tail_cut_before_going_on(path);
    empty_missing_and_refused(path);
    std::remove(path.c_str());
    return check::finish("journal");
}
