// Refreshing an edited review workbook with a new discovery: a three-way merge
// of the values generate wrote last time (base), the engineer's sheet (edited)
// and what AWS holds now (discovered), row by row and cell by cell. Plain C++;
// the caller keeps the cells' own values and applies the plan.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "native/ipv4.hpp"
#include "native/review_columns.hpp"

namespace native::refresh {

// One cell. The caller hands cells over as they are (a text, a boolean, a number
// as its text form, a list of item texts); `read_back` gives the value convert
// reads from such a cell in a column of that kind.
struct Cell {
    enum class Type { empty, boolean, number, text, items, other };
    Type type = Type::empty;
    bool flag = false;               // boolean
    std::string text;                // number (its text form), text, other (its printed form)
    std::vector<std::string> items;  // items: list entries, or gateway tags as key=value

    bool operator==(const Cell& other) const {
        return type == other.type && flag == other.flag && text == other.text && items == other.items;
    }
    bool operator!=(const Cell& other) const { return !(*this == other); }
};

// The value convert reads from `cell` in a column of `kind`: a yes/no word is a
// boolean, a list text its items, a tags text its key=value pairs; booleans, lists
// and gateway tags are thus compared by their meaning (TRUE, true and yes are one
// value; ['a', 'b'] and a, b too), every other column by its exact value. A text
// that cannot be read that way stays the text it is.
Cell read_back(const Cell& cell, ColumnKind kind);

// A table: rows of cells, every row in the order of the columns given to `Merge`.
using Row = std::vector<Cell>;

// Where a cell of a merged row comes from.
enum class Pick : unsigned char {
    edited,      // the engineer's cell, as it stands
    discovered,  // the newly discovered value
    conflict,    // the engineer's cell, kept against a different discovered value
};

struct MergedRow {
    bool added = false;  // a VPC found for the first time: `index` is into `discovered`
    std::size_t index = 0;  // otherwise into `edited`
    long discovered = -1;   // the row of `discovered` it was merged with; -1: none
    std::vector<Pick> picks;  // one per column when base and discovered are both known, else empty (kept whole)
    // An added VPC of an account that has rows on the sheet: the row of `Plan::sheet` whose
    // account columns it takes, as all rows of an account must agree on them; -1: none.
    long account_row = -1;
    bool unchecked = false;  // its VPC was not looked for this time (its account or region failed): kept whole
};

// An account and region that could not be walked this time; region "*": the whole account.
struct Scope {
    std::string account;
    std::string region;
};

// Conflicts that last from one refresh to the next. A conflict stays a conflict until the
// engineer's value is what AWS gives, or the engineer clears its mark (its cell's note).
struct Marks {
    std::vector<std::vector<std::size_t>> base_conflicts;  // of each row of `base`: its columns in conflict
    std::vector<std::vector<std::size_t>> noted;           // of each row of `edited`: its columns whose cell has a note
};

struct Plan {
    std::vector<MergedRow> sheet;         // the engineer's rows in their order, then the VPCs found first now
    std::vector<std::size_t> removed;     // rows of `edited` whose VPC is no longer found
    std::vector<std::size_t> left_out;    // rows of `base` the engineer deleted from the sheet
    std::vector<std::size_t> base_kept;   // rows of `base` in unchecked scopes: still the base of their VPCs
    std::size_t kept = 0;                 // rows of `edited` still on the sheet
    std::size_t updated = 0;              // cells that take a discovered value different from the sheet's
};

class Merge {
public:
    // `columns`: the titles of the compared columns; they must include account_id,
    // region and vpc_id, which match rows across the three tables. How a column is
    // compared, and whether it is an account's setting, comes from the workbook's
    // column table; a column it does not know is compared by its exact value.
    explicit Merge(std::vector<std::string> columns);

    // Whether the column holds a setting of the whole account (the same on every row of it).
    bool account_column(std::size_t column) const { return account_columns_.at(column); }

    // Rows are matched by (account_id, region, vpc_id), blanks around them ignored.
    // A matched row is merged cell by cell:
    //   edited == base                -> discovered
    //   edited != base, discovered == base -> edited
    //   edited != base, discovered == edited -> edited
    //   otherwise                     -> edited, a conflict
    // An edited row without base (written by hand, or a repeated VPC) is kept whole;
    // one whose VPC is no longer discovered is removed; a discovered VPC without base
    // or edited row is added, in discovery order, with the account columns of its account's
    // first row on the sheet (the engineer's settings of the account, when there are any).
    // A base row missing from the sheet was deleted by the engineer and stays out.
    // A VPC of an `unchecked` scope that is not discovered is not gone, only not looked
    // for: its row is kept whole and marked, and its base row stays the base.
    // A cell in conflict last time (`marks`) whose note the engineer kept and whose value
    // differs from both base and discovered stays a conflict, even though AWS did not change it again.
    Plan plan(const std::vector<Row>& base, const std::vector<Row>& edited, const std::vector<Row>& discovered,
              const std::vector<Scope>& unchecked = {}, const Marks& marks = {}) const;

private:
    using Key = std::array<std::string, 3>;
    Key key_of(const Row& row) const;

    std::size_t column_count_;
    std::vector<ColumnKind> kinds_;
    std::vector<bool> account_columns_;
    std::array<std::size_t, 3> key_columns_{};
};

// A checksum of `rows` (cells in the order of `columns`) as convert reads them back, so that
// the values written and the same values read back from the workbook give the same sum, and a
// row changed, added, removed or moved does not: 16 hexadecimal digits (64-bit FNV-1a).
std::string checksum(const std::vector<Row>& rows, const std::vector<std::string>& columns);

// A sheet of the workbook being refreshed, as far as finding its VPC sheet goes.
struct SheetFacts {
    std::string title;
    std::vector<std::string> columns;  // its titles; empty when it has no rows
};

// The sheet that holds the VPC rows: `index` into the sheets, or -1 and `problem`, a sentence
// saying why none can be taken. `recorded`: the title the workbook's hidden sheet records, ""
// when it records none (a workbook written before it did): then the first sheet is taken,
// unless it is one of generate's own or lacks the VPC columns.
struct VpcSheet {
    long index = -1;
    std::string problem;
};
VpcSheet find_vpc_sheet(const std::vector<SheetFacts>& sheets, const std::string& recorded);

// Why `block` cannot be the spoke gateway's block of a VPC with these IPv4 `blocks` and
// `subnets`: it lies outside every block, or overlaps a subnet (the first in their order);
// "" when neither.
std::string block_problem(const ipv4::Network& block, const std::vector<ipv4::Network>& blocks,
                          const std::vector<ipv4::Network>& subnets);

}  // namespace native::refresh
