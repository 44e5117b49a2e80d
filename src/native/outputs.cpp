#include "native/outputs.hpp"

#include <cstddef>

#include "native/globals.hpp"
#include "native/host.hpp"

namespace native {
namespace {

std::string described(const OutputFile& out) { return out.noun + " (" + out.option + ")"; }

// A path's file as the file system resolves it, for telling whether two paths name one file.
py::object resolved(py::handle path) {
    py::object os_path = host_attr("os", "path");
    return os_path.attr("normcase")(os_path.attr("realpath")(path));
}

bool same_file(py::handle a, py::handle b) { return resolved(a).equal(resolved(b)); }

void check_ending(const OutputFile& out) {
    const std::string suffix = text(host_attr("pathlib", "Path")(out.path).attr("suffix").attr("lower")());
    std::string endings;
    bool known = false;
    for (py::handle ext : out.extensions) {
        const std::string ending = "." + text(ext);
        known = known || suffix == ending;
        endings += (endings.empty() ? "" : " or ") + ending;
    }
    if (!known) {
        raise_builtin("ValueError", text(out.path) + ": " + described(out) + " must be a file name ending in " + endings);
    }
}

// What sits at `path` when it is neither a file nor a folder ("a named pipe (FIFO)"), else "".
std::string odd_kind(py::handle path) {
    py::object os = host_module("os");
    if (!truthy(os.attr("path").attr("exists")(path))) return "";
    py::object stat = host_module("stat");
    py::object mode = os.attr("stat")(path).attr("st_mode");
    if (truthy(stat.attr("S_ISREG")(mode)) || truthy(stat.attr("S_ISDIR")(mode))) return "";
    if (truthy(stat.attr("S_ISFIFO")(mode))) return "a named pipe (FIFO)";
    if (truthy(stat.attr("S_ISSOCK")(mode))) return "a socket";
    return "a device";
}

void check_place(const OutputFile& out) {
    py::object os = host_module("os");
    py::object os_path = os.attr("path");
    if (truthy(os_path.attr("isdir")(out.path))) {
        raise_builtin("IsADirectoryError", text(out.path) + " is a folder: " + described(out) + " needs a file name");
    }
    // A symbolic link stays: the file it points to is the one written, in that file's folder.
    const bool link = truthy(os_path.attr("islink")(out.path));
    const std::string kind = odd_kind(out.path);
    if (!kind.empty()) {
        raise_builtin("ValueError", text(out.path) + (link ? " points to " : " is ") + kind + ", not a file: " +
                                        described(out) + " needs a regular file");
    }
    py::object folder = os_path.attr("dirname")(link ? os_path.attr("realpath")(out.path)
                                                     : os_path.attr("abspath")(out.path));
    if (!truthy(os_path.attr("isdir")(folder))) {
        raise_builtin("FileNotFoundError",
                      text(out.path) + ": the folder " + text(folder) + " for " + described(out) + " does not exist");
    }
    // The file is written beside its final name and moved over it, so the folder must take new files.
    py::object access = os.attr("access")(folder, py::int_(os.attr("W_OK")) | py::int_(os.attr("X_OK")));
    if (!truthy(access)) {
        raise_builtin("PermissionError", text(out.path) + ": the folder " + text(folder) + " for " + described(out) +
                                             " is not writable");
    }
}

}  // namespace

void check_outputs(const std::vector<OutputFile>& outputs, const std::vector<InputFile>& inputs) {
    for (const auto& out : outputs) {
        if (!out.path.is_none()) check_ending(out);
    }
    for (const auto& out : outputs) {
        if (out.path.is_none()) continue;
        for (const auto& in : inputs) {
            if (!in.path.is_none() && same_file(out.path, in.path)) {
                raise_builtin("ValueError", text(out.path) + " is " + in.noun + ": " + described(out) +
                                                " would overwrite it; give it another name");
            }
        }
        check_place(out);
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = i + 1; j < outputs.size(); ++j) {
            const auto& first = outputs[i];
            const auto& second = outputs[j];
            if (first.path.is_none() || second.path.is_none() || !same_file(first.path, second.path)) continue;
            raise_builtin("ValueError", text(second.path) + ": " + first.option + " and " + second.option +
                                            " name the same file; " + second.noun + " would overwrite " +
                                            first.noun);
        }
    }
}

}  // namespace native
