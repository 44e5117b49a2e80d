// The 19 columns of the review workbook, in sheet order, and what each holds:
// how its cells are read, whether it is a setting of the whole account, and, in
// the engineer's words, what it accepts (the header cells' notes, and the words
// convert uses when a cell is refused). generate writes these columns, the
// refresh merge compares them, convert reads them. Plain C++.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace native {

// How a cell of the column is read.
enum class ColumnKind {
    text,     // taken as it stands
    yes_no,   // TRUE/FALSE (or a yes/no word): offered as a TRUE/FALSE drop-down
    list,     // items separated by commas, or the printed list generate writes
    tags,     // gateway tags as Key=Value pairs separated by commas
    network,  // one IPv4 network, or empty
};

// Whose setting the column holds: every row of an account repeats the account's.
enum class ColumnLevel { account, region, vpc };

struct ReviewColumn {
    std::string_view name;
    ColumnKind kind;
    ColumnLevel level;
    std::string_view accepts;  // "what the column accepts", one short sentence
};

constexpr std::size_t kReviewColumnCount = 19;

// Every column, in the order of the sheet.
const std::array<ReviewColumn, kReviewColumnCount>& review_columns();

// The rule of the column named `name`, or nullptr for a column the workbook does not know.
const ReviewColumn* review_column(std::string_view name);

// The columns convert formats (every kind but text and network), in the order
// of its FIELD_FORMATTERS mapping.
const std::array<std::string_view, 8>& formatted_columns();

// The sheets generate writes beside the VPC sheet: written anew by every run (Coverage,
// Overlaps), the VPCs a refresh no longer found (Removed), and the hidden one of the
// values generate wrote, the base of a refresh (generated).
constexpr std::string_view kCoverageSheet = "Coverage";
constexpr std::string_view kOverlapsSheet = "Overlaps";
constexpr std::string_view kRemovedSheet = "Removed";
constexpr std::string_view kGeneratedSheet = "generated";

// Whether `title` is one of those sheets.
bool own_sheet(std::string_view title);

// Whether a sheet with these column titles holds VPC rows: it has the column vpc_id (a sheet
// that lacks some other column is a VPC sheet with a column missing).
bool holds_vpc_rows(const std::vector<std::string>& columns);

// The length of the spoke gateway's block that a row's hpe calls for: /25 for a
// high-performance gateway, else /27.
constexpr int crvn_prefix(bool hpe) { return hpe ? 25 : 27; }

}  // namespace native
