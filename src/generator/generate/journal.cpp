// The walk's journal: its lines as JSON, what a run that picks up may take from it, and the
// checks that it was written by the same command. It holds what the outputs need of each
// account and region (names, rows, inventory entries, coverage); never a credential, an
// external ID or the password.
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

constexpr int kJournalVersion = 1;
const char* const kRestart = "run without --resume to walk everything again";

std::string dumps(py::handle value) {
    return native::text(global("json").attr("dumps")(value, "separators"_a = py::make_tuple(",", ":")));
}

// A JSON object of the journal, or None when the line is not one.
py::object parsed(const std::string& line) {
    try {
        py::object value = global("json").attr("loads")(py::str(line));
        return py::isinstance<py::dict>(value) ? value : py::none();
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

std::string hex_sha256(const std::string& data) {
    return native::text(native::host_attr("hashlib", "sha256")(py::bytes(data)).attr("hexdigest")());
}

// The accounts of the run and the roles they are entered with, as one digest: a journal of
// another list is not picked up.
std::string accounts_digest(const std::vector<AccountEntry>& entries) {
    std::string listed;
    for (const AccountEntry& entry : entries) {
        listed += native::text(entry.id) + " " + native::text(entry.role_name) + "\n";
    }
    return hex_sha256(listed);
}

std::string outputs_shown(py::handle outputs) {
    std::string shown;
    if (!outputs["excel"].is_none()) shown += "-e " + native::text(outputs["excel"]);
    if (!outputs["inventory"].is_none()) shown += std::string(shown.empty() ? "" : " ") + "-d " + native::text(outputs["inventory"]);
    return shown;
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    native::raise_builtin("ValueError", "cannot resume from " + path + ": " + why + "; " + kRestart);
}

// The journal's first line checked against this run's configuration and outputs (and
// accounts, when `accounts` is given).
void check_header(py::handle journal, const std::string& line, const std::string* accounts) {
    const std::string path = native::text(journal["path"]);
    py::object header = parsed(line);
    if (header.is_none() || !header.contains("generate_journal")) refuse(path, "it is not a journal of generate");
    if (py::int_(header["generate_journal"]).cast<long>() != kJournalVersion) {
        refuse(path, "it was written by another version of generate");
    }
    if (native::text(header.attr("get")("configuration", "")) != native::text(journal["configuration"])) {
        refuse(path, "it was written for another configuration (" + native::text(journal["config_path"]) +
                         " has changed since)");
    }
    py::object outputs = header.attr("get")("outputs", py::dict());
    if (!outputs.equal(journal["outputs"])) {
        refuse(path, "it was written for other outputs (" + outputs_shown(outputs) + ")");
    }
    if (accounts != nullptr && native::text(header.attr("get")("accounts", "")) != *accounts) {
        refuse(path, "it was written for another list of accounts or roles");
    }
}

// The journal file's own operations, their failures raised as the host's OSError naming the file.
template <typename Operation>
auto on_file(Operation operation) -> decltype(operation()) {
    try {
        return operation();
    } catch (const std::runtime_error& err) {
        native::raise_builtin("OSError", err.what());
    }
}

}  // namespace

// A journal that can no longer be written (a full disk, say) costs the run only the chance to be
// picked up: one warning, and the walk goes on without it rather than failing account-regions
// that AWS answered.
void WalkJournal::append(const std::string& line) {
    if (broken_) return;
    try {
        writer_.append(line);
    } catch (const std::runtime_error& err) {
        broken_ = true;
        LOG(log_level::warning, op_,
            "%s; the walk goes on, journaling nothing more (--resume would walk the rest again)", err.what());
    }
}

const JournaledAccount* WalkJournal::account(const std::string& id) const {
    const auto found = accounts_.find(id);
    return found == accounts_.end() ? nullptr : &found->second;
}

bool WalkJournal::has_pair(const std::string& account, const std::string& region) const {
    return pairs_.count({account, region}) > 0;
}

bool WalkJournal::complete(const std::string& id) const {
    const JournaledAccount* known = account(id);
    if (known == nullptr) return false;
    for (py::handle region : known->regions) {
        if (!has_pair(id, native::text(region))) return false;
    }
    return true;
}

RegionResult WalkJournal::pair(const std::string& account, const std::string& region) const {
    py::object line = global("json").attr("loads")(py::str(pairs_.at({account, region})));
    RegionResult result;
    result.rows = line["rows"];
    result.region_data = line["inventory"];
    result.listed = line["listed"].cast<long>();
    result.no_block = line["no_block"].cast<long>();
    result.refusal = line["skipped"].is_none() ? "" : native::text(line["skipped"]);
    result.seconds = line["seconds"].cast<double>();
    result.facts = line["facts"];
    return result;
}

void WalkJournal::add_account(py::handle id, py::handle name, py::handle regions, long excluded) {
    if (account(native::text(id)) != nullptr) return;  // journaled by the run picked up
    append(dumps(py::dict("account"_a = id, "name"_a = name, "regions"_a = regions, "excluded"_a = excluded)));
}

void WalkJournal::add_pair(py::handle account, py::handle region, const RegionResult& result) {
    if (!result.error.is_none()) return;  // failed: asked again by a run that picks up
    py::object skipped = result.refusal.empty() ? py::object(py::none()) : py::object(py::str(result.refusal));
    const std::string line = dumps(py::dict("account"_a = account, "region"_a = region, "listed"_a = result.listed,
                                            "no_block"_a = result.no_block, "skipped"_a = skipped,
                                            "seconds"_a = result.seconds, "rows"_a = result.rows,
                                            "inventory"_a = result.region_data, "facts"_a = result.facts));
    append(line);
}

void check_journal(py::handle journal) {
    if (!truthy(journal["resume"])) return;
    const std::string path = native::text(journal["path"]);
    const native::journal::Contents contents = on_file([&] { return native::journal::read(path); });
    if (!contents.lines.empty()) check_header(journal, contents.lines[0], nullptr);
}

void drop_empty_journal(py::handle journal) {
    const std::string path = native::text(journal["path"]);
    const native::journal::Contents contents = on_file([&] { return native::journal::read(path); });
    for (std::size_t k = 1; k < contents.lines.size(); ++k) {
        py::object entry = parsed(contents.lines[k]);
        if (!entry.is_none() && entry.contains("region")) return;
    }
    if (contents.exists) global("os").attr("remove")(path);
}

JournalPtr open_journal(py::handle journal, const std::vector<AccountEntry>& entries, const char* op) {
    const std::string path = native::text(journal["path"]);
    const std::string accounts = accounts_digest(entries);
    py::dict header("generate_journal"_a = kJournalVersion, "configuration"_a = journal["configuration"],
                    "outputs"_a = journal["outputs"], "accounts"_a = accounts);
    const native::journal::Contents contents = on_file([&] { return native::journal::read(path); });
    {
        if (!truthy(journal["resume"]) || contents.lines.empty()) {
            if (truthy(journal["resume"])) {
                LOG(log_level::warning, op, "--resume: %s %s: every account and region is walked", path,
                    contents.exists ? "holds nothing to pick up" : "does not exist");
            } else if (contents.exists) {
                LOG(log_level::warning, op, "The journal of an earlier run, %s, is replaced (--resume would have picked "
                    "it up)", path);
            }
            const std::string first = dumps(header);
            auto fresh = std::make_shared<WalkJournal>(
                path, on_file([&] { return native::journal::Writer::fresh(path, first); }));
            fresh->op_ = op;
            return fresh;
        }
        check_header(journal, contents.lines[0], &accounts);
        std::map<std::string, JournaledAccount> found_accounts;
        std::map<std::pair<std::string, std::string>, std::string> found_pairs;
        std::size_t whole_bytes = contents.lines[0].size() + 1;
        for (std::size_t k = 1; k < contents.lines.size(); ++k) {
            const std::string& line = contents.lines[k];
            py::object entry = parsed(line);
            const bool is_account = !entry.is_none() && entry.contains("regions");
            const bool is_pair = !entry.is_none() && entry.contains("region");
            if (!is_account && !is_pair) {
                // Only a damaged disk cuts a line short before the last: what follows is walked again.
                LOG(log_level::warning, op, "%s: line %s is damaged: it and the lines after it are walked again", path,
                    k + 1);
                break;
            }
            const std::string account = native::text(entry["account"]);
            if (is_account) {
                found_accounts[account] = JournaledAccount{entry["name"], py::list(entry["regions"]),
                                                           entry["excluded"].cast<long>()};
            } else {
                found_pairs[{account, native::text(entry["region"])}] = line;
            }
            whole_bytes += line.size() + 1;
        }
        LOG(log_level::info, op, "Resuming from %s: %s account-regions of %s accounts are taken from it, the rest is "
            "walked now", path, found_pairs.size(), found_accounts.size());
        auto opened = std::make_shared<WalkJournal>(
            path, on_file([&] { return native::journal::Writer::resume(path, whole_bytes); }));
        opened->op_ = op;
        opened->accounts_ = std::move(found_accounts);
        opened->pairs_ = std::move(found_pairs);
        return opened;
    }
}

}  // namespace generate_module
