// The output files of a command, checked before any work starts: a run that
// asks for a password, walks AWS or reads a workbook and then cannot write its
// result wastes the engineer's time, and a name that clashes with an input
// would destroy it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace native {
namespace py = pybind11;

struct OutputFile {
    py::handle path;         // the option's value (a path), or None when the option was not given
    std::string noun;        // "the Excel workbook"
    std::string option;      // "-e/--excel"
    py::handle extensions;   // the endings the command can write, a host list of texts without the dot
};

struct InputFile {
    py::handle path;         // None when there is none
    std::string noun;        // "the configuration file"
};

// Raise the host's error naming the option and the path of the first output that
// cannot be created: a name without a writable ending (ValueError), an input's
// name (ValueError), a folder (IsADirectoryError), a named pipe, socket or device,
// itself or behind a symbolic link (ValueError), a missing folder
// (FileNotFoundError), a folder that is not writable (PermissionError), or two
// outputs naming one file (ValueError).
void check_outputs(const std::vector<OutputFile>& outputs, const std::vector<InputFile>& inputs);

}  // namespace native
