// What the sources of generator.generate share: the module's logger and globals,
// the walk's request, state and result, and the operations one room calls in
// another. Seen by no other module.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "native/globals.hpp"
#include "native/host.hpp"
#include "native/ipv4.hpp"
#include "native/journal.hpp"
#include "native/review_columns.hpp"

namespace generate_module {

namespace py = pybind11;
namespace log_level = native::log_level;
using native::truthy;

extern native::ModuleLog LOG;
extern native::ModuleGlobals global;  // the module's globals, read at call time as Python code would

constexpr long kDefaultJobs = 32;  // see the README: enough requests in flight for a thousand accounts
constexpr double kDefaultPairTimeout = 300;  // seconds for one account's role or one (account, region)

// The sheets a workbook carries beside the VPC sheet.
constexpr const char* kRemovedSheet = native::kRemovedSheet.data();
constexpr const char* kCoverageSheet = native::kCoverageSheet.data();  // written anew by every run
constexpr const char* kOverlapsSheet = native::kOverlapsSheet.data();  // written anew by every run
constexpr const char* kGeneratedSheet = native::kGeneratedSheet.data();  // hidden: the base of a refresh
constexpr const char* kVpcSheet = "Sheet1";  // the VPC sheet's title in a new workbook

// `pprint.pformat(value)`, for the debug dumps.
py::object pformat(py::handle value);

// ---------------------------------------------------------------- controller (controller.cpp)

py::object get_account_list(py::object config);
py::object get_acct_name(py::object account_id, py::object account_list);

// ----------------------------------------------------------------------- AWS (aws.cpp)

py::object retry_config();
py::object ec2_of(const char* kind, py::handle aws, py::handle aws_region, py::handle creds, py::handle config);
// ExternalId is sent only when `external_id` is not None.
py::object assume_role(py::handle sts_client, py::handle role_arn, py::handle external_id = py::none());
py::object region_names(py::handle ec2_client);
py::object get_regions(py::object creds);
py::object get_role_arn(py::object account_id, py::object role_name);
py::object get_temp_creds_for_account(py::object role_arn);
py::object get_ec2_resource_handler(py::object aws_region, py::object creds);
[[noreturn]] void reraise(py::handle error);
[[noreturn]] void refused_role(const std::string& account, py::handle error);
void name_place(py::error_already_set& err, const std::string& place);
std::string refusal_code(py::error_already_set& err);

// ---------------------------------------------------------- naming and CIDR (naming.cpp)

py::object get_spoke_gw_name(py::object vpc);
native::ipv4::Network network_or_raise(py::handle block, py::handle vpc, py::handle subnet_id);
native::ipv4::Network vpc_network(py::handle vpc);
py::str lowest_free_block(py::handle vpc, const native::ipv4::Network& vpc_cidr,
                          const std::vector<native::ipv4::Network>& vpc_subnets, int prefix, bool narrow_is_error);
int block_prefix(py::handle hpe);
py::object compute_crvn_cidr(py::object vpc, py::object hpe);

// --------------------------------------------------------------- accounts (accounts.cpp)

// One walked account and how it is entered: the role actually used and its external ID
// (None when there is none; never logged or written).
struct AccountEntry {
    py::object id, role_name, external_id;
};

// The accounts to walk, in walking order: account_ids as configured, or those of the
// organization (listed with the base credentials of `base_session`) or the controller
// (accounts), ascending; each with its role and external ID.
std::vector<AccountEntry> walked_accounts(py::handle config, py::handle account_list, py::handle client_config,
                                          py::handle base_session, const char* op);
// The regions of exclude_regions.
py::set excluded_regions(py::handle config);
// Where an account's regions are listed when the configuration names none: a region not left out.
py::object discovery_region(const py::set& excluded);

// ------------------------------------------------------------------- rows (rows.cpp)

py::object or_null(py::object value);
py::object bool_or_null(py::object value);
py::object list_or_null(py::object items);
py::dict workbook_row(const char* op, py::handle defaults, py::handle hpe, py::handle account_id, py::handle role_name,
                      py::handle account_name, py::handle region, py::handle vpc, py::handle crvn_cidr);
py::object named_account(py::handle account_id, py::handle account_list, const char* op);

// ------------------------------------------------------------------- walk (walk.cpp, region.cpp, progress.cpp)
//
// One walk over the accounts serves both artefacts. Its units of work are each
// account's role assumption (with its region listing) and each (account, region)
// pair. They run on a pool of host threads, each worker with a boto3 session of
// its own, and hold back their log records; the calling thread takes the units'
// results in configuration order and logs each unit's records then, so the
// artefacts and the log are the same whatever the number of workers.

// What a walk is asked for.
struct WalkRequest {
    py::object journal = py::none();  // where and for what the walk's journal is kept; None: no journal (see open_journal)
    bool rows = false;       // workbook rows
    bool inventory = false;  // inventory account entries
    long jobs = kDefaultJobs;
    bool keep_going = false;  // a failed account or region goes in the ledger and the walk goes on
    double pair_timeout = kDefaultPairTimeout;  // seconds a unit may take, its retries included
    const char* op = "";      // the operation the walk's records are logged under
};

struct Discovery {
    py::list rows;
    py::list accounts;
    py::list ledger;    // one entry per (account, region) set out to cover; see ledger_entry
    py::list overlaps;  // the rows of the Overlaps sheet; see overlaps_sheet
    py::list vpcs;      // vpc_facts of every VPC listed, in row order
};

// Units in the order one worker would take them: account by account, the role
// assumption of an account before its regions, the regions in their order. 64 bits:
// a million regions per account leaves room for far more accounts than exist.
using UnitKey = std::int64_t;
UnitKey unit_key(std::size_t account, long region);

// ------------------------------------------------------------------- journal (journal.cpp)
//
// The journal of a walk, beside its outputs: each account's name and regions and each
// (account, region) that ended ok or skipped, with what the outputs need of it, added by the
// worker that finished it (an account before its regions), so that an interruption loses only
// the units under way. A run interrupted (Ctrl-C, kill -9, a failure) is picked up by the same
// command with --resume: what the journal holds is not asked again. Its lines are written with
// the GIL held, one whole line at a time.

struct RegionResult;  // see region_unit

struct JournaledAccount {
    py::object name;   // the controller's name of the account (None when it has none)
    py::list regions;  // the account's regions walked, in order
    long excluded = 0;  // its regions left out by exclude_regions
};

class WalkJournal {
public:
    WalkJournal(std::string path, native::journal::Writer writer)
        : path_(std::move(path)), writer_(std::move(writer)) {}

    // The account as journaled, or nullptr.
    const JournaledAccount* account(const std::string& id) const;
    bool has_pair(const std::string& account, const std::string& region) const;
    // The account and every one of its regions are journaled: nothing of it is asked again.
    bool complete(const std::string& id) const;
    // The journaled (account, region) as region_unit's result.
    RegionResult pair(const std::string& account, const std::string& region) const;

    void add_account(py::handle id, py::handle name, py::handle regions, long excluded);
    // A pair that failed is not added: a run that picks up asks for it again.
    void add_pair(py::handle account, py::handle region, const RegionResult& result);

    std::size_t pairs_read() const { return pairs_.size(); }

private:
    void append(const std::string& line);

    friend std::shared_ptr<WalkJournal> open_journal(py::handle, const std::vector<AccountEntry>&, const char*);
    std::string path_;
    native::journal::Writer writer_;
    const char* op_ = "";
    bool broken_ = false;  // a line could not be written: nothing more is
    std::map<std::string, JournaledAccount> accounts_;
    std::map<std::pair<std::string, std::string>, std::string> pairs_;  // (account, region): its line
};
using JournalPtr = std::shared_ptr<WalkJournal>;

// `journal`: {"path", "config_path", "configuration" (the SHA-256 of the configuration file),
// "outputs" ({"excel", "inventory"}: absolute paths or None), "resume"}.
// With resume, refuses (ValueError) a journal written for another configuration or other
// outputs; called before the password is asked, and again by open_journal.
void check_journal(py::handle journal);
// After a run that wrote no files: the journal removed when it holds no account-region, nothing
// to pick up.
void drop_empty_journal(py::handle journal);
// The walk's journal: with resume, the journal read (a torn last line dropped), refused when it
// was written for another configuration, other outputs or another list of accounts; otherwise,
// or when there is none, a new one replacing any old one.
JournalPtr open_journal(py::handle journal, const std::vector<AccountEntry>& entries, const char* op);

// Shared by the calling thread and the workers; touched only with the GIL held.
struct Walk {
    WalkRequest request;
    py::object config, defaults, account_list, executor, client_config;
    py::object sessions;  // threading.local: of each worker, the unit it runs and the account credentials it signs with
    py::set excluded_regions;  // never listed nor walked
    long regions_excluded = 0;  // (account, region) pairs left out by exclude_regions
    py::object loader = py::none();  // botocore's loader of service descriptions, read once for all sessions
    std::unordered_set<std::string> walked;  // the accounts of the run: owners of the VPCs they share
    py::object base_session = py::none(), account_session = py::none();  // see open_clients
    py::dict clients;  // (service, region): the client all workers use there
    JournalPtr journal;  // none without a journal
    bool stopped = false;
    UnitKey first_failure = std::numeric_limits<UnitKey>::max();
    long accounts_done = 0, vpcs_found = 0;  // for the progress line, counted as units end

    // A unit after a failed one is not needed: that failure ends the run.
    bool cancelled(UnitKey key) const { return stopped || key > first_failure; }
    void failed(UnitKey key) { first_failure = std::min(first_failure, key); }
};
using WalkPtr = std::shared_ptr<Walk>;

py::object watched(py::object client, const WalkPtr& walk);

// clients.cpp: the walk's clients, kept to its end, and the credentials they sign with.
// On the calling thread: the base credentials resolved now (a credential_process runs once, an
// MFA prompt appears once) and the sessions of the walk's clients.
void open_clients(Walk& walk);
// The STS client of the region, signing with the base credentials.
py::object worker_sts(const WalkPtr& walk, py::handle region);
// The EC2 client of the region; the calling worker's requests sign from now on with `account_credentials`.
py::object worker_ec2(const WalkPtr& walk, py::handle region, py::handle account_credentials);
// An account's assumed-role credentials (the Credentials of AssumeRole), assumed again at the
// STS of `home` before they run out.
py::object account_credentials(const WalkPtr& walk, py::handle home, py::handle role_arn, py::handle external_id,
                               py::handle creds);
Discovery discover(py::object config, const WalkRequest& request);


// The public builders: thin wrappers over the one discovery.
py::object generate_tandrel_excel_data(py::object config, long jobs, bool keep_going);
py::object generate_min_tandrel_yaml(py::object config, long jobs, bool keep_going);
// The discovery `main` asks for: {"rows", "account_info", "ledger", "overlaps"}.
py::dict discover_for_command(py::object config, bool rows, bool inventory, long jobs, bool keep_going,
                              double pair_timeout, const std::string& op, py::object journal);

// What became of one (account, region) pair.
struct RegionResult {
    py::list rows;                        // its workbook rows
    py::object region_data = py::none();  // its entry of the inventory's account
    long listed = 0;                      // VPCs listed
    long no_block = 0;                    // of them, those without a free block
    std::string refusal;                  // EC2's refusal code when the region was skipped
    py::object error = py::none();        // its failure, with keep_going
    double seconds = 0;
    py::list facts;  // vpc_facts of the VPCs listed
};

// region.cpp: one (account, region) unit and the coverage ledger. With keep_going a failure is
// part of the result rather than the end of the walk.
RegionResult region_unit(const WalkPtr& walk, UnitKey key, py::object account_id, py::object account_name,
                         py::object role_name, py::object region, py::object creds, bool discovered);
std::pair<std::string, std::string> code_and_message(py::handle error);
py::dict ledger_entry(py::handle account_id, py::handle account_name, py::handle region, const char* state,
                      py::object vpcs, const std::string& code, const std::string& message, double seconds);
double seconds_since(std::chrono::steady_clock::time_point started);

// The live progress line: only on a terminal, only when INFO lines are shown. Log
// lines pass through tqdm while it is shown, so the two never mix.
class Progress {
public:
    explicit Progress(std::size_t accounts);

    // The unit's result; meanwhile the line is kept up to date.
    py::object wait(py::handle future, const Walk& walk);

    void close();

private:
    py::object bar_ = py::none();
    py::object redirect_ = py::none();
};

// ---------------------------------------------------------------- refresh (refresh.cpp)

py::dict merge_refresh(py::object base, py::object edited, py::object discovered, py::object unchecked,
                       py::object noted);
std::string shown_value(py::handle value);
py::object read_refresh_base(py::object excel);
py::dict baseline_sheet(py::handle rows, py::handle vpc_sheet);
py::list sized_proposals(py::handle discovered, py::handle edited, py::handle vpcs, py::handle defaults);
py::dict blocked_rows(py::handle merged, py::handle vpcs);
py::list unchecked_conflicts(py::handle merged);
void report_refresh(py::handle merged, py::handle shown);

// ---------------------------------------------------------------- workbook (workbook.cpp)

py::list titles_of(py::handle first, py::handle records);
py::object export_workbook(py::handle excel_data, py::handle excel, py::handle ledger, py::handle overlaps,
                           py::handle previous);

// ---------------------------------------------------------------- estate (estate.cpp)

// defaults.reserved_cidrs as networks (none when the configuration has no such field).
std::vector<native::ipv4::Network> reserved_ranges(py::handle defaults);
// The IPv4 blocks of a DescribeVpcs entry in state "associated", in AWS's order (its primary
// block when AWS lists none).
py::list associated_blocks(py::handle description);
// The VPC's proposal: its primary block searched first, as compute_crvn_cidr searches it, then
// its other associated blocks in their order; subnets in any block and the reserved ranges are
// taken. "" when none is free (with compute_crvn_cidr's warning).
py::str proposed_block(py::handle vpc, const std::vector<native::ipv4::Network>& subnets,
                       const std::vector<native::ipv4::Network>& reserved, int prefix);
// What the estate-wide steps and a refresh need of a listed VPC. `shared_from`: the owner's
// account when the VPC is shared from an account the run does not walk, else None; `subnets`:
// the IPv4 blocks of its subnets, None when no block was proposed for it (none are listed then).
py::dict vpc_facts(py::handle account_id, py::handle region, py::handle vpc, py::handle crvn_cidr,
                   py::handle shared_from, py::handle subnets);

// The VPCs of the walk, taken region by region in configuration order.
struct Estate {
    py::list vpcs;  // vpc_facts of every VPC listed, in row order
    std::unordered_set<std::string> foreign_listed;  // region/vpc_id of VPCs of unwalked owners, listed once

    // Takes a region's VPCs (`facts`, with their `rows` and the region's inventory entry): a VPC
    // of an unwalked owner seen from a second participant is dropped from all three. Returns how
    // many were dropped.
    long take(py::handle facts, py::list& rows, py::handle region_data, const char* op);
};

// The rows of the Overlaps sheet for the VPCs of the run, and the summary line logged.
py::list overlaps_sheet(py::handle vpcs, const char* op);
py::list overlaps_headers();
// The rows of a workbook with each VPC found now under another account (a shared VPC now
// listed under its owner) given that account, so that the refresh merge matches them.
py::list follow_moves(py::handle rows, py::handle discovered);

// ---------------------------------------------------------------- command (command.cpp)

py::object main();

}  // namespace generate_module
