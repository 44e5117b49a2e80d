#include "native/review_columns.hpp"

namespace native {
namespace {

constexpr std::string_view kYesNo = "TRUE or FALSE (or true/false, yes/no, y/n, 1/0, on/off in any case); empty: not set";
constexpr std::string_view kNetworks =
    "IPv4 networks separated by commas, such as 10.0.0.0/8, 172.16.0.0/12 (or as generate writes them: "
    "['10.0.0.0/8', '172.16.0.0/12']); empty: not set";

constexpr ReviewColumn kColumns[] = {
    {"account_id", "the 12-digit AWS account ID; every row of an account the same", false},
    {"account_name", "text: the account's name on the controller; every row of an account the same", false},
    {"hpe", kYesNo, true},
    {"managed_tgw", kYesNo, true},
    {"filter_cidrs", kNetworks, false},
    {"spoke_gw_size", "text, such as t3.medium; empty: not set", false},
    {"role_name", "text: the IAM role name; empty: not set", false},
    {"region", "the AWS region of the VPC, such as us-east-1", false},
    {"vpc_id", "the VPC ID, such as vpc-0a1b2c3d; once per account", false},
    {"crvn_cidr", "the spoke gateway's block, an IPv4 network such as 10.200.0.0/27, or empty", false},
    {"gw_zones", "zone names separated by commas, such as us-east-1a, us-east-1b; empty: not set", false},
    {"spoke_gw_tags", "tags as Key=Value pairs separated by commas, such as Owner=netops, CostCenter=1234; "
                      "empty: none", false},
    {"domain", "text; empty: not set", false},
    {"encrypt", kYesNo, true},
    {"inspection", kYesNo, true},
    {"spoke_advertisement", "text, taken as it stands; empty: not set", false},
    {"spoke_routes", kNetworks, false},
    {"spoke_gw_name", "text: the spoke gateway's name; empty: not set", false},
    {"transit_gw_name", "text: the transit gateway's name; empty: not set", false},
};

}  // namespace

const ReviewColumn* review_column(std::string_view name) {
    for (const ReviewColumn& column : kColumns) {
        if (column.name == name) return &column;
    }
    return nullptr;
}

}  // namespace native
