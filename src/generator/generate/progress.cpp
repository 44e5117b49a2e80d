// The live progress line of the walk: accounts done and VPCs found, kept up to
// date while the calling thread waits for the units' results.
#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

constexpr double kProgressInterval = 0.25;  // seconds between updates of the progress line

}  // namespace

Progress::Progress(std::size_t accounts) {
    py::object stream = global("sys").attr("stderr");
    py::object logger = global("logging").attr("getLogger")("generator");
    if (!truthy(stream.attr("isatty")()) || !truthy(logger.attr("isEnabledFor")(log_level::info))) return;
    bar_ = native::host_attr("tqdm", "tqdm")("total"_a = accounts, "file"_a = stream, "leave"_a = false,
                                             "bar_format"_a = "{n_fmt}/{total_fmt} accounts{postfix} [{elapsed}]",
                                             "postfix"_a = "0 VPCs found");
    redirect_ = native::host_attr("tqdm.contrib.logging", "logging_redirect_tqdm")("loggers"_a = py::make_tuple(logger));
    redirect_.attr("__enter__")();
}

py::object Progress::wait(py::handle future, const Walk& walk) {
    if (bar_.is_none()) return future.attr("result")();
    while (true) {
        try {
            return future.attr("result")("timeout"_a = kProgressInterval);
        } catch (py::error_already_set& err) {
            // Before Python 3.11 the wait's time-out is not the builtin TimeoutError: take the class it raises.
            if (!err.matches(native::host_attr("concurrent.futures", "TimeoutError")) || truthy(future.attr("done")())) {
                throw;
            }
        }
        bar_.attr("n") = walk.accounts_done;
        bar_.attr("set_postfix_str")(std::to_string(walk.vpcs_found) + " VPCs found", "refresh"_a = false);
        bar_.attr("refresh")();
    }
}

void Progress::close() {
    if (bar_.is_none()) return;
    py::object bar = bar_, redirect = redirect_;
    bar_ = redirect_ = py::none();
    redirect.attr("__exit__")(py::none(), py::none(), py::none());
    bar.attr("close")();
}

}  // namespace generate_module
