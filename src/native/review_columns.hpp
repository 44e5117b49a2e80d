// The 19 columns of the review workbook, in sheet order, and what each holds:
// how its cells are read, whether it is a setting of the whole account, and, in
// the engineer's words, what it accepts (the header cells' notes, and the words
// convert uses when a cell is refused). generate writes these columns, the
// refresh merge compares them, convert reads them. Plain C++.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

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

}  // namespace native
