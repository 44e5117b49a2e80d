#include "native/review_columns.hpp"

namespace native {
namespace {

constexpr std::string_view kYesNo = "TRUE or FALSE (or true/false, yes/no, y/n, 1/0, on/off in any case); empty: not set";
constexpr std::string_view kNetworks =
    "IPv4 networks separated by commas, such as 10.0.0.0/8, 172.16.0.0/12 (or as generate writes them: "
    "['10.0.0.0/8', '172.16.0.0/12']); empty: not set";

using K = ColumnKind;
using L = ColumnLevel;

constexpr std::array<ReviewColumn, kReviewColumnCount> kColumns = {{
    {"account_id", K::text, L::account, "the 12-digit AWS account ID; every row of an account the same"},
    {"account_name", K::text, L::account,
     "text: the account's name on the controller; every row of an account the same"},
    {"hpe", K::yes_no, L::account, kYesNo},
    {"managed_tgw", K::yes_no, L::account, kYesNo},
    {"filter_cidrs", K::list, L::account, kNetworks},
    {"spoke_gw_size", K::text, L::account, "text, such as t3.medium; empty: not set"},
    {"role_name", K::text, L::account, "text: the IAM role name; empty: not set"},
    {"region", K::text, L::region, "the AWS region of the VPC, such as us-east-1"},
    {"vpc_id", K::text, L::vpc, "the VPC ID, such as vpc-0a1b2c3d; once per account"},
    {"crvn_cidr", K::network, L::vpc, "the spoke gateway's block, an IPv4 network such as 10.200.0.0/27, or empty"},
    {"gw_zones", K::list, L::vpc, "zone names separated by commas, such as us-east-1a, us-east-1b; empty: not set"},
    {"spoke_gw_tags", K::tags, L::vpc,
     "tags as Key=Value pairs separated by commas, such as Owner=netops, CostCenter=1234; empty: none"},
    {"domain", K::text, L::vpc, "text; empty: not set"},
    {"encrypt", K::yes_no, L::vpc, kYesNo},
    {"inspection", K::yes_no, L::vpc, kYesNo},
    {"spoke_advertisement", K::text, L::vpc, "text, taken as it stands; empty: not set"},
    {"spoke_routes", K::list, L::vpc, kNetworks},
    {"spoke_gw_name", K::text, L::vpc, "text: the spoke gateway's name; empty: not set"},
    {"transit_gw_name", K::text, L::vpc, "text: the transit gateway's name; empty: not set"},
}};

// The yes/no columns first, then the lists, then the tags: the order convert's
// users have always seen its formatters in.
constexpr std::array<std::string_view, 8> kFormatted = {
    "hpe", "managed_tgw", "encrypt", "inspection", "gw_zones", "filter_cidrs", "spoke_routes", "spoke_gw_tags",
};

constexpr bool formatted(ColumnKind kind) { return kind != K::text && kind != K::network; }

// Every formatted column listed once, and nothing else.
constexpr bool formatted_order_complete() {
    std::size_t count = 0;
    for (const ReviewColumn& column : kColumns) count += formatted(column.kind) ? 1 : 0;
    if (count != kFormatted.size()) return false;
    for (std::string_view name : kFormatted) {
        bool found = false;
        for (const ReviewColumn& column : kColumns) found = found || (column.name == name && formatted(column.kind));
        if (!found) return false;
    }
    return true;
}
static_assert(formatted_order_complete(), "kFormatted must list each formatted column once");

}  // namespace

const std::array<ReviewColumn, kReviewColumnCount>& review_columns() { return kColumns; }

const ReviewColumn* review_column(std::string_view name) {
    for (const ReviewColumn& column : kColumns) {
        if (column.name == name) return &column;
    }
    return nullptr;
}

const std::array<std::string_view, 8>& formatted_columns() { return kFormatted; }

bool own_sheet(std::string_view title) {
    return title == kCoverageSheet || title == kOverlapsSheet || title == kRemovedSheet || title == kGeneratedSheet;
}

bool holds_vpc_rows(const std::vector<std::string>& columns) {
    for (const std::string& column : columns) {
        if (column == "vpc_id") return true;
    }
    return false;
}

}  // namespace native
