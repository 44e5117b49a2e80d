// The three-way merge of a workbook refresh: which value each cell takes,
// which rows stay, go, come back or are added, and what counts as the same
// value (a yes/no word and a boolean, a printed and a typed list).
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "native/refresh.hpp"

using native::refresh::Cell;
using native::refresh::Merge;
using native::refresh::Pick;
using native::refresh::Plan;
using native::refresh::Row;
using native::refresh::Scope;

namespace {

Cell empty() { return Cell{}; }
Cell text(std::string value) {
    Cell cell;
    cell.type = Cell::Type::text;
    cell.text = std::move(value);
    return cell;
}
Cell number(std::string value) {
    Cell cell;
    cell.type = Cell::Type::number;
    cell.text = std::move(value);
    return cell;
}
Cell flag(bool value) {
    Cell cell;
    cell.type = Cell::Type::boolean;
    cell.flag = value;
    return cell;
}
Cell items(std::vector<std::string> values) {
    Cell cell;
    cell.type = Cell::Type::items;
    cell.items = std::move(values);
    return cell;
}

const char* name(Pick pick) {
    switch (pick) {
        case Pick::edited: return "edited";
        case Pick::discovered: return "discovered";
        case Pick::conflict: return "conflict";
    }
    return "?";
}

std::vector<std::string> picks(const Plan& plan, std::size_t sheet_row) {
    std::vector<std::string> out;
    for (Pick pick : plan.sheet.at(sheet_row).picks) out.push_back(name(pick));
    return out;
}

// Each row of the merged sheet in a few words: where it comes from and how it is kept.
std::vector<std::string> sheet(const Plan& plan) {
    std::vector<std::string> out;
    for (const auto& row : plan.sheet) {
        std::string line = (row.added ? "added " : "edited ") + std::to_string(row.index);
        if (!row.added && !row.picks.empty()) line += " merged";
        if (row.unchecked) line += " unchecked";
        if (row.account_row >= 0) line += " account_row " + std::to_string(row.account_row);
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> texts(const std::vector<std::size_t>& indexes) {
    std::vector<std::string> out;
    for (std::size_t i : indexes) out.push_back(std::to_string(i));
    return out;
}

using Texts = std::vector<std::string>;

// One VPC's row under every kind of cell change, as the three tables hold it.
void cells() {
    const Merge merge({"account_id", "account_name", "hpe", "filter_cidrs", "spoke_gw_tags", "region", "vpc_id",
                       "spoke_gw_name", "crvn_cidr", "domain", "transit_gw_name", "encrypt", "gw_zones"});
    const Row base = {text("011122223333"), text("prod"), flag(false), text("['10.0.0.0/8', '10.1.0.0/16']"),
                      text(""), text("us-east-1"), text("vpc-1"), text("web-CRVGW"), text("10.0.0.0/27"),
                      empty(), empty(), flag(false), text("['us-east-1a']")};
    const Row edited = {
        text("011122223333"),
        text("prod"),                  // untouched: takes the new name
        text("yes"),                   // edited; AWS unchanged: the engineer's word stays
        text("10.0.0.0/8,10.1.0.0/16"),  // the same list typed by hand: not an edit
        text(" Env = prod "),          // edited; AWS unchanged
        text("us-east-1"),
        text("vpc-1"),
        text("web-CRVGW"),             // untouched: takes the new name
        text("10.0.0.0/27"),           // untouched: takes the new block
        text("mine"),                  // edited, and AWS changed it too, differently: a conflict
        text(""),                      // an emptied cell is the empty cell it was
        text("TRUE"),                  // edited to what AWS now says too: no conflict
        text("us-east-1a, us-east-1b"),  // edited, AWS changed it to the same list
    };
    const Row discovered = {text("011122223333"), text("prod-new"), flag(false), items({"10.0.0.0/8", "10.1.0.0/16"}),
                            text(""), text("us-east-1"), text("vpc-1"), text("web2-CRVGW"), text("10.0.0.32/27"),
                            text("theirs"), text("tgw-main"), flag(true), items({"us-east-1a", "us-east-1b"})};
    const Plan plan = merge.plan({base}, {edited}, {discovered});
    CHECK_EQ(sheet(plan), Texts{"edited 0 merged"});
    CHECK_EQ(picks(plan, 0), (Texts{"discovered", "discovered", "edited", "discovered", "edited", "discovered",
                                    "discovered", "discovered", "discovered", "conflict", "discovered", "edited",
                                    "edited"}));
    // account_name, spoke_gw_name, crvn_cidr and transit_gw_name take values different from the sheet's.
    CHECK_EQ(plan.updated, std::size_t{4});
    CHECK_EQ(plan.kept, std::size_t{1});
    CHECK(plan.removed.empty() && plan.left_out.empty() && plan.base_kept.empty());

    // A number in a yes/no column reads by its truth value; a tags text convert would
    // refuse is still the engineer's own text, compared as it stands.
    const Merge small({"account_id", "region", "vpc_id", "hpe", "spoke_gw_tags"});
    const Row was = {text("111122223333"), text("r"), text("v"), flag(false), text("Env=prod")};
    const Row sheet_row = {text("111122223333"), text("r"), text("v"), number("0"), text("Env prod")};
    const Row now = {text("111122223333"), text("r"), text("v"), flag(true), text("Env=test")};
    const Plan second = small.plan({was}, {sheet_row}, {now});
    CHECK_EQ(picks(second, 0), (Texts{"discovered", "discovered", "discovered", "discovered", "conflict"}));
}

Row vpc(const std::string& account, const std::string& region, const std::string& id, const std::string& name = "") {
    return {text(account), text(region), text(id), text(name)};
}

// Rows that stay, go, come back or are added, with accounts and regions not walked this time.
void rows() {
    const Merge merge({"account_id", "region", "vpc_id", "account_name"});
    const std::string A = "012345678901", B = "222222222222", C = "333333333333";
    const std::vector<Row> base = {
        vpc(A, "r1", "vpc-1"),  // 0: merged
        vpc(A, "r1", "vpc-2"),  // 1: gone from AWS: removed
        vpc(A, "r2", "vpc-3"),  // 2: its region was not walked: kept
        vpc(B, "r1", "vpc-4"),  // 3: its account was not walked: kept
        vpc(A, "r1", "vpc-5"),  // 4: deleted from the sheet, still in AWS: stays out
        vpc(B, "r1", "vpc-8"),  // 5: deleted from the sheet, account not walked: still a base
    };
    const std::vector<Row> edited = {
        vpc(A, "r1", "vpc-2"),               // 0
        vpc(A, "r9", "vpc-hand", "typed"),   // 1: written by hand
        // 2: the account ID typed as a number lost its leading zero; blanks around keys do not matter
        {number("12345678901"), text(" r1"), text("vpc-1 "), text("")},
        vpc(A, "r2", "vpc-3"),               // 3
        vpc(B, "r1", "vpc-4"),               // 4
        vpc(A, "r1", "vpc-1", "again"),      // 5: a second row of one VPC, written by hand
    };
    const std::vector<Row> discovered = {
        vpc(C, "r1", "vpc-7"),  // 0: new, of an account with no row on the sheet
        vpc(A, "r1", "vpc-1"),  // 1
        vpc(A, "r1", "vpc-5"),  // 2
        vpc(A, "r1", "vpc-6"),  // 3: new, of an account with rows on the sheet
    };
    const std::vector<Scope> unchecked = {{A, "r2"}, {B, "*"}};
    const Plan plan = merge.plan(base, edited, discovered, unchecked);
    CHECK_EQ(sheet(plan), (Texts{"edited 1", "edited 2 merged", "edited 3 unchecked", "edited 4 unchecked",
                                 "edited 5", "added 0", "added 3 account_row 0"}));
    CHECK_EQ(texts(plan.removed), Texts{"0"});
    CHECK_EQ(texts(plan.left_out), Texts{"4"});
    CHECK_EQ(texts(plan.base_kept), (Texts{"2", "3", "5"}));
    CHECK_EQ(plan.kept, std::size_t{5});

    // The same VPCs with every account and region walked: the unwalked ones are gone now.
    const Plan walked = merge.plan(base, edited, discovered);
    CHECK_EQ(texts(walked.removed), (Texts{"0", "3", "4"}));
    CHECK_EQ(texts(walked.left_out), (Texts{"4", "5"}));
    CHECK(walked.base_kept.empty());

    // A first refresh of a sheet made by hand: every row kept whole, new VPCs added.
    const Plan no_base = merge.plan({}, {vpc(A, "r1", "vpc-1", "mine")}, discovered);
    CHECK_EQ(sheet(no_base), (Texts{"edited 0", "added 0", "added 2 account_row 0", "added 3 account_row 0"}));
}

// A conflict the engineer has not resolved stays one while its note stays and AWS still
// disagrees; deleting the note, or taking AWS's value, resolves it.
void lasting_conflicts() {
    const Merge merge({"account_id", "region", "vpc_id", "domain", "crvn_cidr"});
    auto row = [](const std::string& id, const std::string& domain, const std::string& block) {
        return Row{text("111122223333"), text("r"), text(id), text(domain), text(block)};
    };
    // Last time AWS gave "theirs" and 10.0.0.32/27, and both cells of vpc-1 and vpc-2 were conflicts.
    const std::vector<Row> base = {row("vpc-1", "theirs", "10.0.0.32/27"), row("vpc-2", "theirs", "10.0.0.32/27")};
    const std::vector<Row> edited = {row("vpc-1", "mine", "10.0.0.32/27"), row("vpc-2", "mine", "10.0.0.0/27")};
    const std::vector<Row> discovered = {row("vpc-1", "theirs", "10.0.0.32/27"), row("vpc-2", "theirs", "10.0.0.32/27")};
    native::refresh::Marks marks;
    marks.base_conflicts = {{3, 4}, {3, 4}};
    marks.noted = {{3, 4}, {4}};  // vpc-2's domain note was deleted
    const Plan plan = merge.plan(base, edited, discovered, {}, marks);
    // vpc-1: the domain still differs (conflict); the block is AWS's now (resolved). vpc-2: the
    // domain's mark was cleared; the block still differs.
    CHECK_EQ(picks(plan, 0), (Texts{"discovered", "discovered", "discovered", "conflict", "discovered"}));
    CHECK_EQ(picks(plan, 1), (Texts{"discovered", "discovered", "discovered", "edited", "conflict"}));
    // Without the record of last time's conflicts, they are plain edits.
    CHECK_EQ(picks(merge.plan(base, edited, discovered), 0),
             (Texts{"discovered", "discovered", "discovered", "edited", "discovered"}));
}

// The checksum reads cells as convert does: a list printed and the same list, a boolean and a
// yes word, the empty text and no value sum alike; a row changed, dropped or moved does not.
void checksums() {
    const std::vector<std::string> columns = {"account_id", "hpe", "gw_zones", "domain"};
    const Row one = {text("111122223333"), flag(true), items({"a", "b"}), empty()};
    const Row two = {text("222233334444"), flag(false), items({}), text("x")};
    const Row one_read = {text("111122223333"), text("TRUE"), text("['a', 'b']"), text("")};
    const std::string sum = native::refresh::checksum({one, two}, columns);
    CHECK_EQ(sum.size(), std::size_t{16});
    CHECK_EQ(native::refresh::checksum({one_read, two}, columns), sum);
    CHECK(native::refresh::checksum({one}, columns) != sum);
    CHECK(native::refresh::checksum({two, one}, columns) != sum);
    CHECK(native::refresh::checksum({one, {text("222233334444"), flag(false), items({}), text("y")}}, columns) != sum);
    CHECK(native::refresh::checksum({}, columns) != sum);
}

void vpc_sheets() {
    using native::refresh::find_vpc_sheet;
    using native::refresh::SheetFacts;
    const std::vector<std::string> vpc_columns = {"account_id", "region", "vpc_id", "domain"};
    const std::vector<SheetFacts> moved = {{"Removed", vpc_columns}, {"Notes", {"what"}}, {"VPCs", vpc_columns}};
    CHECK_EQ(find_vpc_sheet(moved, "VPCs").index, 2L);
    CHECK(find_vpc_sheet(moved, "Sheet1").problem.find("'Sheet1' is not in it") != std::string::npos);
    // Without a record, only a first sheet that can be the VPC sheet is taken.
    CHECK(find_vpc_sheet(moved, "").problem.find("first sheet 'Removed' is one of the sheets generate writes") !=
          std::string::npos);
    const std::vector<SheetFacts> notes_first = {{"Notes", {"what", "region"}}, {"Sheet1", vpc_columns}};
    CHECK(find_vpc_sheet(notes_first, "").problem.find("first sheet 'Notes' is not the VPC sheet (it has no column "
                                                       "vpc_id)") != std::string::npos);
    CHECK_EQ(find_vpc_sheet({{"Sheet1", vpc_columns}, {"generated", vpc_columns}}, "").index, 0L);
    CHECK_EQ(find_vpc_sheet({{"Sheet1", {}}}, "").index, 0L);  // no rows: nothing says it is not
}

void blocks() {
    using native::refresh::block_problem;
    auto net = [](const char* text) { return *native::ipv4::parse_network(text).network; };
    const std::vector<native::ipv4::Network> vpc = {net("10.0.0.0/24"), net("100.64.0.0/26")};
    const std::vector<native::ipv4::Network> subnets = {net("10.0.0.0/25"), net("100.64.0.0/28")};
    CHECK_EQ(block_problem(net("10.0.0.128/27"), vpc, subnets), std::string());
    CHECK_EQ(block_problem(net("100.64.0.32/27"), vpc, subnets), std::string());
    CHECK_EQ(block_problem(net("10.0.0.96/27"), vpc, subnets), std::string("it overlaps the VPC's subnet 10.0.0.0/25"));
    CHECK_EQ(block_problem(net("10.0.0.128/25"), vpc, {}), std::string());
    CHECK_EQ(block_problem(net("10.0.1.0/27"), vpc, subnets),
             std::string("it lies outside the VPC's blocks (10.0.0.0/24, 100.64.0.0/26)"));
    CHECK_EQ(block_problem(net("100.64.0.0/25"), vpc, {}),
             std::string("it lies outside the VPC's blocks (10.0.0.0/24, 100.64.0.0/26)"));
}

void refusals() {
    CHECK_THROWS(Merge({"account_id", "region"}), std::invalid_argument, "vpc_id");
    const Merge merge({"account_id", "region", "vpc_id"});
    CHECK_THROWS(merge.plan({}, {{text("1"), text("r")}}, {}), std::invalid_argument, "2 cells for 3 columns");
}

}  // namespace

int main() {
    cells();
    rows();
    lasting_conflicts();
    checksums();
    vpc_sheets();
    blocks();
    refusals();
    return check::finish("refresh merge");
}
