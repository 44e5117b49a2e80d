// The concurrent walk over the accounts and their regions, and the public builders over it.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

[[noreturn]] void raise_cancelled() {
    native::raise(native::host_attr("concurrent.futures", "CancelledError"), "the walk was stopped");
}

// The shared loader, with what the first STS and EC2 clients read (service descriptions,
// endpoint rules, partitions, retry settings) read once on the calling thread: left to the
// workers, each of them would read it at the same time, the first time, before any shared it.
// The clients made here are botocore's own, send nothing and look for no credentials.
void read_service_descriptions(Walk& walk, py::handle region) {
    py::object botocore_session = native::host_attr("botocore.session", "get_session")();
    botocore_session.attr("register_component")("data_loader", walk.loader);
    try {
        for (const char* service : {"sts", "ec2"}) {
            botocore_session.attr("create_client")(service, "region_name"_a = region, "aws_access_key_id"_a = "unused",
                                                   "aws_secret_access_key"_a = "unused",
                                                   "config"_a = walk.client_config);
        }
    } catch (py::error_already_set& err) {
        // A region botocore refuses is met again, and reported, by the unit that uses it.
        if (!err.matches(PyExc_Exception)) throw;
    }
}

// A unit on the pool. Its result is there once `take` has returned.
template <class Result>
struct Unit {
    py::object future;
    py::list records;  // (logger, record) pairs held back by the unit
    std::shared_ptr<Result> result = std::make_shared<Result>();
};

// What became of an account's role and region listing, and the units of its regions.
struct AccountResult {
    py::object name = py::none();
    py::object info = py::none();  // its inventory entry, regions still to come
    py::list regions;
    std::vector<Unit<RegionResult>> units;  // one per region, in their order
    py::object error = py::none();  // the refused role or the failed listing, with keep_going
    double seconds = 0;
};

// Run `body` on the pool, its records held back, its failure stopping the units after it.
template <class Result>
Unit<Result> submit(const WalkPtr& walk, UnitKey key, std::function<Result()> body) {
    Unit<Result> unit;
    py::list records = unit.records;
    std::shared_ptr<Result> result = unit.result;
    py::cpp_function run([walk, key, records, result, body]() -> py::object {
        native::HeldRecords hold(records);
        walk->sessions.attr("unit") = key;
        walk->sessions.attr("deadline") =
            native::host_attr("time", "monotonic")().cast<double>() + walk->request.pair_timeout;
        walk->sessions.attr("warned") = false;
        walk->sessions.attr("place") = "";
        if (walk->cancelled(key)) raise_cancelled();
        try {
            *result = body();
            return py::none();
        } catch (...) {
            if (!walk->request.keep_going) walk->failed(key);
            throw;
        }
    });
    unit.future = walk->executor.attr("submit")(run);
    return unit;
}

// The account's entry of the inventory before its regions (None without the inventory).
py::object inventory_account(const Walk& w, py::handle account_id, py::handle account_name, py::handle role_name) {
    if (!w.request.inventory) return py::none();
    py::dict info;
    info["account_id"] = account_id;
    info["account_name"] = account_name;
    info["regions"] = py::list();
    py::object fields_set = w.defaults.attr("__fields_set__");
    for (py::handle field : global("MIN_ACCOUNT_INFO_FIELDS")) {
        if (!fields_set.contains(field)) continue;
        info[field] = native::text(field) == "role_name" ? py::reinterpret_borrow<py::object>(role_name)
                                                         : py::getattr(w.defaults, field);
    }
    LOG.lazy(log_level::debug, w.request.op, "Account Info data:\n%s", [&] { return py::make_tuple(pformat(info)); });
    return std::move(info);
}

// A region the journal holds: a unit already done, with no future.
Unit<RegionResult> journaled_region(const Walk& w, py::handle account_id, py::handle region) {
    Unit<RegionResult> unit;
    unit.future = py::none();
    *unit.result = w.journal->pair(native::text(account_id), native::text(region));
    return unit;
}

// An account: its name, role, regions; submits a unit per region the journal does not hold.
AccountResult account_unit(const WalkPtr& walk, std::size_t index, const AccountEntry& entry) {
    py::object account_id = entry.id, role_name = entry.role_name;
    Walk& w = *walk;
    const char* op = w.request.op;
    const UnitKey key = unit_key(index, -1);
    py::object defaults = w.defaults;
    LOG(log_level::info, op, "Discovering info for account %s", account_id);
    w.sessions.attr("place") = "account " + native::text(account_id);
    AccountResult result;
    // An account journaled by the run picked up keeps its name and regions.
    const JournaledAccount* known = w.journal ? w.journal->account(native::text(account_id)) : nullptr;
    result.name = known ? known->name : named_account(account_id, w.account_list, op);
    py::object account_name = result.name;
    result.info = inventory_account(w, account_id, account_name, role_name);
    py::object role_arn = global("get_role_arn")(account_id, role_name);
    py::object configured = w.config.attr("aws_regions");
    const bool discovered = !truthy(configured);
    // The role is assumed once, at the STS endpoint of a region the account uses: tokens of the
    // global endpoint are refused in regions that must be opted in to.
    py::object home = discovered ? discovery_region(w.excluded_regions) : py::object(py::list(configured)[0]);
    const auto started = std::chrono::steady_clock::now();
    py::object assumed_role;
    try {
        assumed_role = assume_role(worker_sts(walk, home), role_arn, entry.external_id);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception) || w.cancelled(key)) throw;
        if (!w.request.keep_going) w.failed(key);  // reported in its turn, as a refused role is
        result.error = err.value();
        result.seconds = seconds_since(started);
        return result;
    }
    py::object creds = account_credentials(walk, home, role_arn, entry.external_id, assumed_role["Credentials"]);

    py::list& regions = result.regions;
    long excluded = 0;
    try {
        if (known) {
            regions = known->regions;  // as the run picked up found them
            excluded = known->excluded;
        } else if (discovered) {
            // Only the regions enabled for the account: one it has not opted in to is never asked.
            // Less the regions left out: never walked, not in the coverage.
            for (py::handle region : region_names(worker_ec2(walk, home, creds))) {
                if (w.excluded_regions.contains(region)) {
                    ++excluded;
                } else {
                    regions.append(region);
                }
            }
        } else {
            regions = py::list(configured);
        }
    } catch (py::error_already_set& err) {
        name_place(err, "account " + native::text(account_id));
        if (!w.request.keep_going || !err.matches(PyExc_Exception) || w.cancelled(key)) throw;
        result.regions = py::list();
        result.error = err.value();
        result.seconds = seconds_since(started);
        return result;
    }

    w.regions_excluded += excluded;
    if (w.journal) w.journal->add_account(account_id, account_name, regions, excluded);

    auto remaining = std::make_shared<std::size_t>(py::len(regions));
    if (*remaining == 0) ++w.accounts_done;
    long region_index = 0;
    for (py::handle region_handle : regions) {
        py::object region = py::reinterpret_borrow<py::object>(region_handle);
        const UnitKey region_key = unit_key(index, region_index++);
        if (known && w.journal->has_pair(native::text(account_id), native::text(region))) {
            if (--*remaining == 0) ++w.accounts_done;
            result.units.push_back(journaled_region(w, account_id, region));
            continue;
        }
        result.units.push_back(submit<RegionResult>(walk, region_key, [walk, region_key, account_id, account_name,
                                                                       role_name, region, creds, discovered,
                                                                       remaining]() -> RegionResult {
            struct CountDone {  // the account is done when its last region is, however it ended
                Walk& walk;
                std::size_t& remaining;
                ~CountDone() {
                    if (--remaining == 0) ++walk.accounts_done;
                }
            } count_done{*walk, *remaining};
            RegionResult done =
                region_unit(walk, region_key, account_id, account_name, role_name, region, creds, discovered);
            if (walk->journal) walk->journal->add_pair(account_id, region, done);
            return done;
        }));
    }
    result.seconds = seconds_since(started);
    return result;
}

// An account the journal holds whole, as account_unit's result: nothing of it is asked again.
Unit<AccountResult> journaled_account(Walk& w, const AccountEntry& entry) {
    const JournaledAccount& known = *w.journal->account(native::text(entry.id));
    Unit<AccountResult> unit;
    unit.future = py::none();
    AccountResult& result = *unit.result;
    result.name = known.name;
    result.info = inventory_account(w, entry.id, known.name, entry.role_name);
    result.regions = known.regions;
    for (py::handle region : known.regions) result.units.push_back(journaled_region(w, entry.id, region));
    w.regions_excluded += known.excluded;
    ++w.accounts_done;
    return unit;
}

// A unit's result, its held records logged first. A failed unit's records are logged
// before its error goes on; an interruption of the wait goes on at once.
template <class Result>
const Result& take(const Unit<Result>& unit, Progress& progress, const Walk& walk) {
    if (unit.future.is_none()) return *unit.result;  // taken from the journal
    try {
        progress.wait(unit.future, walk);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_KeyboardInterrupt)) native::HeldRecords::release(unit.records);
        throw;
    }
    native::HeldRecords::release(unit.records);
    return *unit.result;
}

// The first failure in configuration order ends the walk: nothing after it is needed. After
// Ctrl-C the workers are not waited for; each stops at its next AWS request.
void stop(Walk& walk, bool wait_for_workers) {
    walk.stopped = true;
    walk.executor.attr("shutdown")("wait"_a = wait_for_workers, "cancel_futures"_a = true);
}

}  // namespace

UnitKey unit_key(std::size_t account, long region) {
    return static_cast<UnitKey>(account) * 1000000 + region + 1;
}

namespace {

// A time-out of one attempt (no connection, or no answer in time), as botocore raises it.
bool timed_out(py::handle error) {
    if (error.is_none()) return false;
    py::object exceptions = native::host_module("botocore.exceptions");
    return py::isinstance(error, exceptions.attr("ConnectTimeoutError")) ||
           py::isinstance(error, exceptions.attr("ReadTimeoutError"));
}

}  // namespace

// Once the walk is stopped, a worker's client makes no further attempt and waits for no back-off.
// A unit past its deadline (--pair-timeout) makes no further attempt either: it fails. A request
// that timed out is tried at most AWS_TIMEOUT_ATTEMPTS times in all, while throttling keeps its
// retries; the first retry after a time-out of a unit is a warning, since the engineer waits.
// The client is the worker's own; the unit it works for is the one the worker runs now.
py::object watched(py::object client, const WalkPtr& walk) {
    py::cpp_function stop([walk](py::kwargs) -> py::object {
        if (walk->cancelled(py::getattr(walk->sessions, "unit").cast<UnitKey>())) raise_cancelled();
        return py::none();
    });
    py::cpp_function deadline([walk](py::kwargs) -> py::object {
        py::object state = walk->sessions;
        if (walk->cancelled(py::getattr(state, "unit").cast<long>())) raise_cancelled();
        const double now = native::host_attr("time", "monotonic")().cast<double>();
        if (now > py::getattr(state, "deadline").cast<double>()) {
            native::raise_builtin("TimeoutError", "no answer from AWS within the pair time-out of " +
                                                      native::text(global("format")(walk->request.pair_timeout, "g")) +
                                                      " s (--pair-timeout)");
        }
        return py::none();
    });
    py::cpp_function timeouts([walk](py::kwargs event) -> py::object {
        py::object caught = event.contains("caught_exception") ? py::object(event["caught_exception"]) : py::none();
        if (!timed_out(caught)) return py::none();
        py::object state = walk->sessions;
        if (py::int_(event["attempts"]) >= py::int_(global("AWS_TIMEOUT_ATTEMPTS"))) reraise(caught);
        if (!truthy(py::getattr(state, "warned", py::bool_(false)))) {
            state.attr("warned") = true;
            LOG(log_level::warning, walk->request.op, "%s: AWS did not answer in time (%s); trying again, at most %s "
                "attempts in all", py::getattr(state, "place"), caught, global("AWS_TIMEOUT_ATTEMPTS"));
        }
        return py::none();
    });
    py::object events = client.attr("meta").attr("events");
    events.attr("register")("before-send", deadline);
    events.attr("register_first")("needs-retry", stop);
    events.attr("register")("needs-retry", timeouts);
    return client;
}

Discovery discover(py::object config, const WalkRequest& request) {
    const char* op = request.op;
    py::object account_list = global("get_account_list")(config);  // the password prompt comes before the walk
    const auto started = std::chrono::steady_clock::now();
    auto walk = std::make_shared<Walk>();
    walk->request = request;
    walk->config = config;
    walk->defaults = config.attr("defaults");
    walk->account_list = account_list;
    walk->client_config = retry_config();
    walk->sessions = native::host_attr("threading", "local")();
    native::HeldRecords::set_limit(global("_held_log_records").cast<std::size_t>());
    walk->excluded_regions = excluded_regions(config);
    // The base credentials, resolved once before anything asks AWS (the organization's accounts
    // included) and before the progress line: a credential_process runs once, an MFA prompt comes once.
    open_clients(*walk);
    const std::vector<AccountEntry> entries =
        walked_accounts(config, account_list, walk->client_config, walk->base_session, op);
    py::list account_ids;
    for (const AccountEntry& entry : entries) {
        account_ids.append(entry.id);
        walk->walked.insert(native::text(entry.id));
    }
    // Refused before any request to EC2 when it was written for another run.
    if (!request.journal.is_none()) walk->journal = open_journal(request.journal, entries, op);
    if (py::len(account_ids) > 0) {
        py::object configured = config.attr("aws_regions");
        read_service_descriptions(*walk, truthy(configured) ? py::object(py::list(configured)[0])
                                                            : discovery_region(walk->excluded_regions));
    }
    walk->executor = native::host_attr("concurrent.futures", "ThreadPoolExecutor")(
        "max_workers"_a = request.jobs, "thread_name_prefix"_a = "generate");
    Progress progress(py::len(account_ids));

    Discovery found;
    Estate estate;
    long regions_walked = 0, regions_skipped = 0, vpcs = 0, no_block = 0;
    try {
        std::vector<Unit<AccountResult>> accounts;
        for (std::size_t i = 0; i < py::len(account_ids); ++i) {
            const AccountEntry& entry = entries[i];
            if (walk->journal && walk->journal->complete(native::text(entry.id))) {
                accounts.push_back(journaled_account(*walk, entry));
                continue;
            }
            accounts.push_back(submit<AccountResult>(walk, unit_key(i, -1),
                                                     [walk, i, entry] { return account_unit(walk, i, entry); }));
        }
        for (std::size_t i = 0; i < accounts.size(); ++i) {
            const AccountResult& done = take(accounts[i], progress, *walk);
            py::object account_id = account_ids[i], account_name = done.name;
            if (!done.error.is_none()) {
                if (!request.keep_going) refused_role(native::text(account_id), done.error);
                const auto [code, message] = code_and_message(done.error);
                found.ledger.append(ledger_entry(account_id, account_name, py::str("*"), "failed", py::none(), code,
                                                 message, done.seconds));
                continue;  // nothing of the account was covered
            }
            py::object account_info = done.info;
            std::size_t region_index = 0;
            for (const Unit<RegionResult>& unit : done.units) {
                const RegionResult& region = take(unit, progress, *walk);
                py::object region_name = done.regions[region_index++];
                const double seconds = region.seconds;
                if (!region.error.is_none()) {
                    const auto [code, message] = code_and_message(region.error);
                    found.ledger.append(
                        ledger_entry(account_id, account_name, region_name, "failed", py::none(), code, message, seconds));
                    continue;
                }
                if (!region.refusal.empty()) {
                    ++regions_skipped;
                    found.ledger.append(ledger_entry(account_id, account_name, region_name, "skipped", py::none(),
                                                     region.refusal, "", seconds));
                    continue;
                }
                py::list region_rows = region.rows;
                const long listed = region.listed - estate.take(region.facts, region_rows, region.region_data, op);
                found.ledger.append(
                    ledger_entry(account_id, account_name, region_name, "ok", py::int_(listed), "", "", seconds));
                ++regions_walked;
                vpcs += listed;
                no_block += region.no_block;
                for (py::handle row : region_rows) found.rows.append(row);
                if (request.inventory) account_info["regions"].attr("append")(region.region_data);
            }
            if (request.inventory) {
                LOG.lazy(log_level::debug, op, "Account Data:\n%s", [&] { return py::make_tuple(pformat(account_info)); });
                // Through the migration tool's model: validated, plain data, only the fields that were set.
                py::object model = global("AccountInfo")(**account_info);
                found.accounts.append(global("json").attr("loads")(model.attr("json")("exclude_unset"_a = true)));
            }
        }
    } catch (py::error_already_set& err) {
        stop(*walk, !err.matches(PyExc_KeyboardInterrupt));
        progress.close();
        throw;
    } catch (...) {
        stop(*walk, true);
        progress.close();
        throw;
    }
    walk->executor.attr("shutdown")("wait"_a = true);
    progress.close();
    if (request.inventory) {
        LOG.lazy(log_level::debug, op, "Accounts:\n%s", [&] { return py::make_tuple(pformat(found.accounts)); });
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (py::len(walk->excluded_regions) == 0) {
        LOG(log_level::info, op,
            "Walk done in %.1f s: accounts %s, regions %s, VPCs %s, VPCs without a free block %s, regions skipped %s",
            seconds, py::len(account_ids), regions_walked, vpcs, no_block, regions_skipped);
    } else {
        LOG(log_level::info, op,
            "Walk done in %.1f s: accounts %s, regions %s, VPCs %s, VPCs without a free block %s, regions skipped %s, "
            "regions excluded %s",
            seconds, py::len(account_ids), regions_walked, vpcs, no_block, regions_skipped, walk->regions_excluded);
    }
    long ok = 0, skipped = 0, failed = 0;
    for (py::handle entry : found.ledger) {
        const std::string state = native::text(entry["state"]);
        if (state == "ok") ++ok;
        if (state == "skipped") ++skipped;
        if (state != "failed") continue;
        ++failed;
        LOG(log_level::warning, op, "Not covered: account %s, region %s: %s: %s", entry["account_id"], entry["region"],
            entry["error_code"], entry["message"]);
    }
    LOG(log_level::info, op, "Coverage: %s ok, %s skipped, %s failed of %s account-regions", ok, skipped, failed,
        py::len(found.ledger));
    found.overlaps = overlaps_sheet(estate.vpcs, op);
    found.vpcs = estate.vpcs;
    return found;
}

// The discovery as plain host data, for `main` (looked up at call time, so a test can stand in for the walk).
py::dict discover_for_command(py::object config, bool rows, bool inventory, long jobs, bool keep_going,
                              double pair_timeout, const std::string& op, py::object journal) {
    WalkRequest request;
    request.journal = journal;
    request.rows = rows;
    request.inventory = inventory;
    request.jobs = jobs;
    request.keep_going = keep_going;
    request.pair_timeout = pair_timeout;
    request.op = op.c_str();
    Discovery found = discover(config, request);
    return py::dict("rows"_a = found.rows, "account_info"_a = found.accounts, "ledger"_a = found.ledger,
                    "overlaps"_a = found.overlaps, "vpcs"_a = found.vpcs);
}

py::object generate_tandrel_excel_data(py::object config, long jobs, bool keep_going) {
    WalkRequest request;
    request.op = "generate_tandrel_excel_data";
    request.rows = true;
    request.jobs = jobs;
    request.keep_going = keep_going;
    return discover(config, request).rows;
}

py::object generate_min_tandrel_yaml(py::object config, long jobs, bool keep_going) {
    WalkRequest request;
    request.op = "generate_min_tandrel_yaml";
    request.inventory = true;
    request.jobs = jobs;
    request.keep_going = keep_going;
    py::dict result;
    result["account_info"] = discover(config, request).accounts;
    return std::move(result);
}

}  // namespace generate_module
