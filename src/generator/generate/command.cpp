// The `generate` command: its options, the checks made before anything is
// contacted, and the writing of the artefacts.
#include <string>
#include <utility>

#include "generator/generate/generate.hpp"
#include "native/model.hpp"
#include "native/outputs.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

constexpr long kMaxJobs = 256;  // more would only queue at AWS's throttling and exhaust threads
constexpr int kPartialStatus = 3;  // files written, some accounts or regions not covered

// Outputs that cannot be written or would destroy another file of the run are
// refused before the password is asked and the accounts are walked, not after.
void check_outputs(py::handle config_path, py::handle tandrel, py::handle excel) {
    // The endings the writers take, from the writers' own modules.
    py::object yaml_exts = native::host_attr("generator.common.serializers.yaml_file", "YAML_EXTS");
    py::object xlsx_exts = native::host_attr("generator.common.serializers.xlsx", "XLSX_EXTS");
    native::check_outputs({{tandrel, "the YAML inventory", "-d/--tandrel", yaml_exts},
                           {excel, "the Excel workbook", "-e/--excel", xlsx_exts}},
                          {{config_path, "the configuration file"}});
}

const char* const kExitStatuses =
    "Exit status: 0 when every account and region was covered (or skipped by policy); 1 on an error, "
    "nothing written; 2 on a usage error; 3 with -k when some accounts or regions failed: the "
    "files are written but miss their VPCs (see the Coverage sheet); 130 on Ctrl-C and 143 on SIGTERM, "
    "nothing written.";

// An option's number, read by the host's `kind` (int or float); a usage error saying what is
// needed when the text is not one.
py::object option_number(const char* kind, py::object text, const std::string& needed) {
    try {
        return global(kind)(text);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ValueError)) throw;
        native::raise(global("argparse").attr("ArgumentTypeError"),
                      needed + " is needed, not " + std::string(py::repr(text)));
    }
}

// --pair-timeout: seconds, more than 0 and at most a day.
py::object pair_seconds(py::object text) {
    py::object seconds = option_number("float", text, "a number of seconds");
    const double value = seconds.cast<double>();
    if (!(value > 0 && value <= 86400)) {  // also refuses nan
        native::raise(global("argparse").attr("ArgumentTypeError"),
                      "more than 0 and at most 86400 seconds, not " + native::text(text));
    }
    return seconds;
}

// -j/--jobs: a whole number from 1 to kMaxJobs.
py::object jobs_number(py::object text) {
    py::object number = option_number("int", text, "a whole number");
    // Compared as the host's numbers: a number of any size is refused, never cut.
    if (number < py::int_(1) || number > py::int_(kMaxJobs)) {
        native::raise(global("argparse").attr("ArgumentTypeError"),
                      "from 1 to " + std::to_string(kMaxJobs) + " workers, not " + native::text(number));
    }
    return number;
}

// How many pairs of the ledger failed, and how many it holds.
std::pair<long, long> failed_of(py::handle ledger) {
    long failed = 0, total = 0;
    for (py::handle entry : ledger) {
        ++total;
        if (native::text(entry["state"]) == "failed") ++failed;
    }
    return {failed, total};
}

// The files are written, or nothing was covered: the journal has served.
void remove_journal(py::handle journal) {
    try {
        global("os").attr("remove")(journal["path"]);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_FileNotFoundError)) throw;
    }
}

// With -k, a walk in which every pair failed covered nothing: writing would replace good
// files with empty ones, so the run ends as an error and existing files stay as they were.
void refuse_empty_coverage(py::handle ledger, py::handle journal) {
    long ok = 0;
    for (py::handle entry : ledger) ok += native::text(entry["state"]) == "ok" ? 1 : 0;
    const auto [failed, total] = failed_of(ledger);
    if (ok > 0 || failed == 0) return;
    remove_journal(journal);
    native::raise_builtin("RuntimeError", "no account-region was covered: " + std::to_string(failed) + " of " +
                                              std::to_string(total) + " failed (see the warnings above); "
                                                                      "nothing written");
}

py::object quoted_inventory(py::object tandrel_yaml) {
    LOG(log_level::debug, "main", "Adding presenter for _quoted class");
    global("yaml").attr("add_representer")(global("_quoted"), global("_quoted_presenter"));
    LOG(log_level::debug, "main", "Recursing through tandrel config to update strings");
    return global("_recurse_quoted")(tandrel_yaml);
}

// The artefacts of one walk. With both, the workbook is written while the inventory waits
// under a temporary name beside its file; only once both are whole does the inventory take
// its place, so a failure or Ctrl-C anywhere leaves both existing files as they were.
void write_outputs(py::handle found, py::object tandrel, py::object excel, py::object previous) {
    py::object tandrel_yaml = py::none();
    if (!tandrel.is_none()) {
        py::dict inventory;
        inventory["account_info"] = found["account_info"];
        tandrel_yaml = quoted_inventory(inventory);
        LOG(log_level::info, "main", "Exporting accounts to tandrel file: %s", tandrel);
    }
    if (!excel.is_none()) LOG(log_level::info, "main", "Exporting accounts to tandrel excel: %s", excel);
    py::object rows = found["rows"], ledger = found["ledger"], overlaps = found["overlaps"];
    if (excel.is_none()) {
        // Written natively, byte for byte as PyYAML's default dumper would write it.
        global("serializers").attr("export_to_path")(tandrel_yaml, tandrel, "dump"_a = global("_dump_quoted"));
        return;
    }
    py::list merged;
    if (tandrel.is_none()) {
        merged.append(export_workbook(rows, excel, ledger, overlaps, previous));
    } else {
        py::cpp_function write_both([tandrel_yaml, rows, excel, ledger, overlaps, previous, merged](py::object tmp) mutable {
            global("serializers").attr("export_to_path")(tandrel_yaml, tmp, "dump"_a = global("_dump_quoted"));
            merged.append(export_workbook(rows, excel, ledger, overlaps, previous));
        });
        global("serializers").attr("export").attr("write_atomically")(tandrel, write_both);
    }
    if (!merged[0].is_none()) report_refresh(merged[0], excel);
}

// Where the walk's journal is kept (beside the workbook, else beside the inventory) and what
// it must have been written for to be picked up; None when nothing is written.
py::object journal_request(py::handle config_path, py::handle tandrel, py::handle excel, bool resume) {
    if (tandrel.is_none() && excel.is_none()) return py::none();
    py::object absolute = global("os").attr("path").attr("abspath");
    const auto output = [&](py::handle path) { return path.is_none() ? py::object(py::none()) : absolute(path); };
    py::object content = global("pathlib").attr("Path")(config_path).attr("read_bytes")();
    return py::dict("path"_a = native::text(excel.is_none() ? tandrel : excel) + ".journal",
                    "config_path"_a = native::text(config_path),
                    "configuration"_a = native::host_attr("hashlib", "sha256")(content).attr("hexdigest")(),
                    "outputs"_a = py::dict("excel"_a = output(excel), "inventory"_a = output(tandrel)),
                    "resume"_a = resume);
}

}  // namespace

py::object main() {
    py::object parser = global("argparse").attr("ArgumentParser")("parents"_a = global("get_parent_parser")(),
                                                              "description"_a = "Generate tandrel yaml and Excel file",
                                                              "epilog"_a = kExitStatuses);
    py::object path_type = global("pathlib").attr("Path");
    parser.attr("add_argument")("--example-config", "action"_a = "store_true",
                                "help"_a = "Generate an example config file.");
    parser.attr("add_argument")(
        "-c", "--config", "dest"_a = "config_path", "type"_a = path_type, "metavar"_a = "config_file",
        "help"_a = "Configuration file specifying AWS account_ids and regions, Corvane Controller information and "
                   "default values to populate the Excel file with.");
    parser.attr("add_argument")("-d", "--tandrel", "type"_a = path_type, "metavar"_a = "tandrel_file",
                                "help"_a = "Generates a yaml file for use with the tandrel_migration script");
    parser.attr("add_argument")("-e", "--excel", "type"_a = path_type, "metavar"_a = "excel_file",
                                "help"_a = "Generates an Excel file that can be updated and then converted to "
                                           "yaml using the convert command");
    parser.attr("add_argument")(
        "-j", "--jobs", "type"_a = py::cpp_function(jobs_number, py::arg("text")), "default"_a = kDefaultJobs,
        "metavar"_a = "N",
        "help"_a = "How many accounts and regions to ask AWS about at the same time, 1 to 256 (default: 32). The "
                   "results and the log are the same whatever N is; 1 walks them one at a time.");
    parser.attr("add_argument")(
        "-k", "--keep-going", "action"_a = "store_true",
        "help"_a = "Go on past accounts and regions that fail: write what was covered, list what was not (the "
                   "Coverage sheet, the log) and end with exit status 3. Without it the first failure ends the run "
                   "and nothing is written.");
    parser.attr("add_argument")(
        "--pair-timeout", "type"_a = py::cpp_function(pair_seconds, py::arg("text")), "default"_a = kDefaultPairTimeout,
        "metavar"_a = "SECONDS",
        "help"_a = "How long one account's role, or one account and region, may take with its retries (default: "
                   "300). After it the pair fails like any other: the run ends, or with -k it is listed as failed. "
                   "Each AWS request waits at most 10 s to connect and 30 s for an answer, and one that timed out "
                   "is tried at most 3 times.");
    parser.attr("add_argument")(
        "--refresh", "action"_a = "store_true",
        "help"_a = "With -e: the workbook excel_file was written by generate and edited since; merge what AWS "
                   "holds now into it, keeping every edit: unedited cells take the new values, VPCs no longer "
                   "found move to the sheet Removed (those of accounts and regions that fail or are skipped "
                   "are kept), new VPCs "
                   "are added and marked, and a cell that you and AWS both changed keeps your value, marked as a "
                   "conflict.");
    parser.attr("add_argument")(
        "--resume", "action"_a = "store_true",
        "help"_a = "Pick up a run that was interrupted (Ctrl-C, SIGTERM, kill -9, a crash, or a failure that ended "
                   "it). While it walks, generate notes each finished account and region in a journal beside the "
                   "workbook (excel_file.journal; tandrel_file.journal with -d alone). The same command with "
                   "--resume asks AWS only about the account-regions not in the journal (those that failed are "
                   "asked again) and writes the same files an uninterrupted run would. A journal written for another "
                   "configuration file, list of accounts or outputs is refused; without a journal everything is "
                   "walked. The journal is removed once the files are written; a run without --resume starts a new "
                   "one.");
    py::object args = parser.attr("parse_args")();

    if (truthy(args.attr("example_config"))) {
        native::print_data_file(global, "config.yaml");
        return py::none();
    }

    if (truthy(args.attr("refresh")) && args.attr("excel").is_none()) {
        parser.attr("error")("--refresh needs -e/--excel: the workbook to refresh");
    }
    if (truthy(args.attr("resume")) && args.attr("excel").is_none() && args.attr("tandrel").is_none()) {
        parser.attr("error")("--resume needs -e/--excel or -d/--tandrel: the outputs of the run it picks up");
    }
    py::object config_path = args.attr("config_path");
    if (config_path.is_none() || !truthy(global("os").attr("path").attr("exists")(config_path))) {
        LOG(log_level::error, "main", "Configuration file not found: %s", config_path);
        LOG(log_level::error, "main", "You can generate an example file with 'generate --example-config'");
        native::raise_builtin("FileNotFoundError", "Configuration file not found: " + native::text(config_path));
    }
    py::object config = global("load_config")(config_path);
    py::object tandrel = args.attr("tandrel");
    py::object excel = args.attr("excel");
    check_outputs(config_path, tandrel, excel);
    if (!tandrel.is_none()) native::require_model();  // the inventory goes through the migration model
    py::object journal = journal_request(config_path, tandrel, excel, truthy(args.attr("resume")));
    if (!journal.is_none()) check_journal(journal);  // before the password is asked
    py::object previous = py::none();
    if (truthy(args.attr("refresh"))) {
        previous = read_refresh_base(excel);
        if (previous.is_none()) {
            LOG(log_level::warning, "main", "%s does not exist yet: nothing to refresh, a new workbook is written", excel);
        }
    }

    const long jobs = args.attr("jobs").cast<long>();
    const bool keep_going = truthy(args.attr("keep_going"));
    const double pair_timeout = args.attr("pair_timeout").cast<double>();
    // One walk for whichever artefacts were asked for; its records are logged under the
    // operation that builds them.
    const bool inventory = !tandrel.is_none(), rows = !excel.is_none();
    if (!inventory && !rows) return py::none();  // nothing asked for: no login, no walk
    const char* op = inventory && rows ? "main" : inventory ? "generate_min_tandrel_yaml" : "generate_tandrel_excel_data";
    if (inventory) LOG(log_level::info, "main", "Generating minimal tandrel file: %s", tandrel);
    if (rows) LOG(log_level::info, "main", "Generating Excel file: %s", excel);
    py::object found, ledger;
    try {
        found = global("_discover")(config, "rows"_a = rows, "inventory"_a = inventory, "jobs"_a = jobs,
                                    "keep_going"_a = keep_going, "pair_timeout"_a = pair_timeout, "op"_a = op,
                                    "journal"_a = journal);
        ledger = found["ledger"];
        refuse_empty_coverage(ledger, journal);
        if (!previous.is_none()) {
            // What a refresh checks the engineer's blocks against, and sizes new proposals with.
            previous["vpcs"] = found.attr("get")("vpcs", py::list());
            previous["defaults"] = config.attr("defaults");
        }
        write_outputs(found, tandrel, excel, previous);
    } catch (py::error_already_set& err) {
        drop_empty_journal(journal);
        // Ctrl-C or SIGTERM: what was walked is kept for the next run.
        if (err.matches(PyExc_KeyboardInterrupt) && truthy(global("os").attr("path").attr("exists")(journal["path"]))) {
            native::add_note(err.value(), "the account-regions walked so far are kept in " +
                                              native::text(journal["path"]) +
                                              ": the same command with --resume picks up from there");
        }
        throw;
    }
    remove_journal(journal);
    // What was written is what was covered; status 3 says that something was not, and so does
    // a line that no -q silences: with -d alone it is the only sign of a partial inventory.
    const auto [failed, total] = failed_of(ledger);
    if (failed > 0) {
        global("print")("partial: " + std::to_string(failed) + " of " + std::to_string(total) +
                            " account-regions failed" + (excel.is_none() ? "" : "; see the Coverage sheet"),
                        "file"_a = global("sys").attr("stderr"));
        global("sys").attr("exit")(kPartialStatus);
    }
    return py::none();
}

}  // namespace generate_module
