#include "native/refresh.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <utility>

#include "native/cell_text.hpp"

namespace native::refresh {
namespace {

Cell boolean(bool value) {
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

// The text a cell shows, for matching rows by their key columns.
std::string key_text(const Cell& cell) {
    switch (cell.type) {
        case Cell::Type::empty:
            return {};
        case Cell::Type::boolean:
            return cell.flag ? "True" : "False";
        case Cell::Type::items: {
            std::string joined;
            for (const auto& item : cell.items) joined += (joined.empty() ? "" : ", ") + item;
            return joined;
        }
        default:
            return trim(cell.text);
    }
}

}  // namespace

Cell read_back(const Cell& cell, ColumnKind kind) {
    if (cell.type == Cell::Type::text && cell.text.empty()) return Cell{};  // an empty cell reads as ""
    switch (kind) {
        case ColumnKind::yes_no:
            if (cell.type == Cell::Type::text) {
                if (auto word = parse_yes_no(cell.text)) return boolean(*word);
            } else if (cell.type == Cell::Type::number) {
                return boolean(cell.text != "0");  // a number cell by its truth value
            }
            return cell;
        case ColumnKind::list:
            if (cell.type == Cell::Type::text) return items(split_list_cell(cell.text));
            return cell;
        case ColumnKind::tags:
            if (cell.type == Cell::Type::text) {
                try {
                    std::vector<std::string> pairs;
                    for (const Tag& tag : parse_tags(cell.text)) pairs.push_back(tag.key + "=" + tag.value);
                    return items(std::move(pairs));
                } catch (const CellTextError&) {
                    return cell;  // convert refuses it; as a text it is still the engineer's own
                }
            }
            return cell;
        case ColumnKind::text:
        case ColumnKind::network:
            break;
    }
    return cell;
}

Merge::Merge(std::vector<std::string> columns) : column_count_(columns.size()) {
    const char* const keys[] = {"account_id", "region", "vpc_id"};
    for (std::size_t k = 0; k < 3; ++k) {
        std::size_t at = 0;
        while (at < columns.size() && columns[at] != keys[k]) ++at;
        if (at == columns.size()) throw std::invalid_argument(std::string("no column ") + keys[k] + " to match rows by");
        key_columns_[k] = at;
    }
    for (const auto& title : columns) {
        const ReviewColumn* known = review_column(title);
        kinds_.push_back(known ? known->kind : ColumnKind::text);
        account_columns_.push_back(known && known->level == ColumnLevel::account);
    }
}

Merge::Key Merge::key_of(const Row& row) const {
    if (row.size() != column_count_) {
        throw std::invalid_argument("a row has " + std::to_string(row.size()) + " cells for " +
                                    std::to_string(column_count_) + " columns");
    }
    std::string account = key_text(row[key_columns_[0]]);
    if (row[key_columns_[0]].type == Cell::Type::number && account.size() < 12 &&
        account.find_first_not_of("0123456789") == std::string::npos) {
        account.insert(0, 12 - account.size(), '0');  // an account ID typed as a number lost its leading zeros
    }
    return {std::move(account), key_text(row[key_columns_[1]]), key_text(row[key_columns_[2]])};
}

Plan Merge::plan(const std::vector<Row>& base, const std::vector<Row>& edited, const std::vector<Row>& discovered,
                 const std::vector<Scope>& unchecked, const Marks& marks) const {
    auto listed = [](const std::vector<std::vector<std::size_t>>& table, std::size_t row, std::size_t column) {
        if (row >= table.size()) return false;
        return std::find(table[row].begin(), table[row].end(), column) != table[row].end();
    };
    auto not_looked_for = [&unchecked](const Key& key) {
        for (const Scope& scope : unchecked) {
            if (scope.account == key[0] && (scope.region == "*" || scope.region == key[1])) return true;
        }
        return false;
    };
    // The first row of each key counts; a repeated one is a row of its own.
    auto index = [this](const std::vector<Row>& rows) {
        std::map<Key, std::size_t> by_key;
        for (std::size_t i = 0; i < rows.size(); ++i) by_key.emplace(key_of(rows[i]), i);
        return by_key;
    };
    const auto base_at = index(base);
    const auto discovered_at = index(discovered);
    auto find = [](const std::map<Key, std::size_t>& by_key, const Key& key) -> long {
        auto found = by_key.find(key);
        return found == by_key.end() ? -1 : static_cast<long>(found->second);
    };

    Plan plan;
    std::vector<bool> base_seen(base.size()), discovered_seen(discovered.size());
    for (std::size_t e = 0; e < edited.size(); ++e) {
        const Key key = key_of(edited[e]);
        MergedRow row;
        row.index = e;
        row.discovered = find(discovered_at, key);
        long b = find(base_at, key);
        if (b >= 0 && base_seen[b]) b = -1;  // a second row of one VPC was written by hand
        if (b >= 0) base_seen[b] = true;
        if (row.discovered >= 0) discovered_seen[row.discovered] = true;

        if (b >= 0 && row.discovered < 0) {  // generated once, no longer found
            if (!not_looked_for(key)) {
                plan.removed.push_back(e);
                continue;
            }
            row.unchecked = true;
            plan.base_kept.push_back(static_cast<std::size_t>(b));
            b = -1;  // kept whole
        }
        ++plan.kept;
        if (b >= 0) {
            const Row& was = base[b];
            const Row& now = discovered[row.discovered];
            for (std::size_t c = 0; c < column_count_; ++c) {
                const Cell old_value = read_back(was[c], kinds_[c]);
                const Cell sheet_value = read_back(edited[e][c], kinds_[c]);
                const Cell new_value = read_back(now[c], kinds_[c]);
                Pick pick = Pick::edited;
                const bool lasting = listed(marks.base_conflicts, static_cast<std::size_t>(b), c) &&
                                     listed(marks.noted, e, c);
                if (sheet_value == old_value) {
                    pick = Pick::discovered;
                    if (new_value != sheet_value) ++plan.updated;
                } else if (new_value != sheet_value && (new_value != old_value || lasting)) {
                    pick = Pick::conflict;
                }
                row.picks.push_back(pick);
            }
        }
        plan.sheet.push_back(std::move(row));
    }
    for (std::size_t b = 0; b < base.size(); ++b) {
        if (base_seen[b]) continue;
        if (discovered_at.count(key_of(base[b])) == 0 && not_looked_for(key_of(base[b]))) {
            plan.base_kept.push_back(b);  // deleted from the sheet, and not looked for: still its base
        } else {
            plan.left_out.push_back(b);
        }
    }
    std::map<std::string, long> account_at;  // account -> its first row on the sheet
    for (std::size_t s = 0; s < plan.sheet.size(); ++s) {
        account_at.emplace(key_of(edited[plan.sheet[s].index])[0], static_cast<long>(s));
    }
    for (std::size_t d = 0; d < discovered.size(); ++d) {
        if (discovered_seen[d]) continue;
        const Key key = key_of(discovered[d]);
        if (find(base_at, key) >= 0) continue;  // deleted from the sheet by the engineer: it stays out
        MergedRow row;
        row.added = true;
        row.index = d;
        row.discovered = static_cast<long>(d);
        auto account = account_at.find(key[0]);
        if (account != account_at.end()) row.account_row = account->second;
        plan.sheet.push_back(std::move(row));
    }
    return plan;
}

namespace {

// 64-bit FNV-1a, fed piece by piece; each piece is preceded by its length, so that no two
// different sequences of pieces feed the same bytes.
class Fnv {
public:
    void add(const std::string& piece) {
        feed(std::to_string(piece.size()) + ":");
        feed(piece);
    }
    std::string hex() const {
        char out[17];
        std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash_));
        return out;
    }

private:
    void feed(const std::string& bytes) {
        for (unsigned char byte : bytes) {
            hash_ ^= byte;
            hash_ *= 0x100000001b3ULL;
        }
    }
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace

std::string checksum(const std::vector<Row>& rows, const std::vector<std::string>& columns) {
    std::vector<ColumnKind> kinds;
    for (const auto& title : columns) {
        const ReviewColumn* known = review_column(title);
        kinds.push_back(known ? known->kind : ColumnKind::text);
    }
    Fnv sum;
    sum.add(std::to_string(rows.size()));
    for (const Row& row : rows) {
        if (row.size() != columns.size()) {
            throw std::invalid_argument("a row has " + std::to_string(row.size()) + " cells for " +
                                        std::to_string(columns.size()) + " columns");
        }
        for (std::size_t c = 0; c < row.size(); ++c) {
            const Cell cell = read_back(row[c], kinds[c]);
            sum.add(std::to_string(static_cast<int>(cell.type)) + (cell.flag ? "1" : "0"));
            sum.add(cell.text);
            sum.add(std::to_string(cell.items.size()));
            for (const auto& item : cell.items) sum.add(item);
        }
    }
    return sum.hex();
}

VpcSheet find_vpc_sheet(const std::vector<SheetFacts>& sheets, const std::string& recorded) {
    VpcSheet found;
    if (!recorded.empty()) {
        for (std::size_t i = 0; i < sheets.size(); ++i) {
            if (sheets[i].title == recorded) {
                found.index = static_cast<long>(i);
                return found;
            }
        }
        found.problem = "its VPC sheet '" + recorded + "' is not in it; give the sheet of VPC rows back the name '" +
                        recorded + "'";
        return found;
    }
    if (sheets.empty()) {
        found.problem = "it has no sheet";
        return found;
    }
    const SheetFacts& first = sheets.front();
    if (own_sheet(first.title)) {
        found.problem = "its first sheet '" + first.title +
                        "' is one of the sheets generate writes, and the workbook does not record which sheet holds "
                        "the VPC rows; move the VPC sheet first";
        return found;
    }
    if (!first.columns.empty() && !holds_vpc_rows(first.columns)) {
        found.problem = "its first sheet '" + first.title +
                        "' is not the VPC sheet (it has no column vpc_id), and the workbook does not record which "
                        "sheet is; move the VPC sheet first";
        return found;
    }
    found.index = 0;
    return found;
}

std::string block_problem(const ipv4::Network& block, const std::vector<ipv4::Network>& blocks,
                          const std::vector<ipv4::Network>& subnets) {
    auto overlap = [](const ipv4::Network& a, const ipv4::Network& b) {
        return a.first() <= b.last() && b.first() <= a.last();
    };
    bool inside = false;
    for (const auto& outer : blocks) inside = inside || (outer.first() <= block.first() && block.last() <= outer.last());
    if (!inside) {
        std::string listed;
        for (const auto& outer : blocks) listed += (listed.empty() ? "" : ", ") + ipv4::to_string(outer);
        return "it lies outside the VPC's blocks (" + listed + ")";
    }
    for (const auto& subnet : subnets) {
        if (overlap(block, subnet)) return "it overlaps the VPC's subnet " + ipv4::to_string(subnet);
    }
    return {};
}

}  // namespace native::refresh
