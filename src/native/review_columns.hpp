// The columns of the review workbook and what each accepts, in the engineer's
// words: shown as the header cells' notes by the workbook writer, and named by
// convert when a cell is refused. Plain C++.
#pragma once

#include <string_view>

namespace native {

struct ReviewColumn {
    std::string_view name;
    std::string_view accepts;  // "what the column accepts", one short sentence
    bool yes_no;               // a true/false column: offered as a TRUE/FALSE drop-down
};

// The rule of the column named `name`, or nullptr for a column the workbook does not know.
const ReviewColumn* review_column(std::string_view name);

}  // namespace native
