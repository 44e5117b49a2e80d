// The refresh of an edited workbook: the three-way merge's glue, the workbook it
// starts from, and the account given once the workbook is in place.
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "generator/generate/generate.hpp"
#include "native/cell_text.hpp"
#include "native/refresh.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace refresh = native::refresh;

namespace {

// A cell as the merge compares it; a workbook cell read back or a value generate wrote.
refresh::Cell merge_cell(py::handle value) {
    refresh::Cell cell;
    using Type = refresh::Cell::Type;
    if (value.is_none()) return cell;
    if (PyBool_Check(value.ptr())) {
        cell.type = Type::boolean;
        cell.flag = value.ptr() == Py_True;
    } else if (PyLong_Check(value.ptr())) {
        cell.type = Type::number;
        cell.text = native::text(value);
    } else if (PyFloat_Check(value.ptr())) {
        const double number = PyFloat_AsDouble(value.ptr());
        if (number != number) return cell;  // not a number: an empty cell
        cell.type = Type::number;
        // A whole number reads back as an integer from some readers and as a float from others.
        cell.text = truthy(value.attr("is_integer")()) ? native::text(py::int_(py::reinterpret_borrow<py::object>(value))) : native::text(py::repr(value));
    } else if (PyUnicode_Check(value.ptr())) {
        cell.type = Type::text;
        cell.text = value.cast<std::string>();
    } else if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        cell.type = Type::items;
        for (py::handle item : value) cell.items.push_back(native::text(item));
    } else {
        cell.type = Type::other;
        cell.text = native::text(py::repr(value));
    }
    return cell;
}

std::vector<py::object> objects(py::handle items) {
    std::vector<py::object> out;
    for (py::handle item : items) out.push_back(py::reinterpret_borrow<py::object>(item));
    return out;
}

std::vector<refresh::Row> merge_rows(py::handle records, py::handle columns, const char* what) {
    std::vector<refresh::Row> rows;
    long number = 0;
    for (py::handle record : records) {
        ++number;
        refresh::Row row;
        for (py::handle column : columns) {
            PyObject* value = PyObject_GetItem(record.ptr(), column.ptr());
            if (value == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                PyErr_Clear();
                native::raise_builtin("KeyError", std::string(what) + " row " + std::to_string(number) +
                                                      " has no column " + native::text(column));
            }
            row.push_back(merge_cell(py::reinterpret_steal<py::object>(value)));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The columns of the hidden sheet's rows: the workbook's, then the cells in conflict when it was written.
constexpr const char* kConflictsColumn = "conflicts";
// The hidden sheet's record, on its first row: the title of the VPC sheet and the checksum of its rows.
constexpr const char* kSheetColumn = "vpc_sheet";
constexpr const char* kChecksumColumn = "checksum";

py::list baseline_columns() {
    py::list columns;  // a list of its own: HEADERS stays as it is
    for (py::handle title : global("HEADERS")) columns.append(title);
    columns.append(kConflictsColumn);
    return columns;
}

std::vector<std::string> texts_of(py::handle items) {
    std::vector<std::string> out;
    for (py::handle item : items) out.push_back(native::text(item));
    return out;
}

// The text of a record's cell, "" when it has none.
std::string cell_text(py::handle record, const char* column) {
    py::object value = record.attr("get")(column);
    return value.is_none() ? std::string() : native::trim(native::text(py::str(value)));
}

// (account, region, VPC) of a record, as the merge matches rows: an account ID typed as a
// number lost its leading zeros.
std::string vpc_key(py::handle record) {
    std::string account = cell_text(record, "account_id");
    py::object id = record.attr("get")("account_id");
    if (PyLong_Check(id.ptr()) && account.size() < 12) account.insert(0, 12 - account.size(), '0');
    return account + "/" + cell_text(record, "region") + "/" + cell_text(record, "vpc_id");
}

// A yes/no cell as convert reads it; nullopt for a text that is no yes/no word.
std::optional<bool> yes_no(py::handle value) {
    if (value.is_none()) return false;
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (PyUnicode_Check(value.ptr())) {
        const std::string text = native::trim(value.cast<std::string>());
        if (text.empty()) return false;
        return native::parse_yes_no(text);
    }
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return truthy(value);
    return std::nullopt;
}

std::vector<native::ipv4::Network> networks(py::handle texts) {
    std::vector<native::ipv4::Network> out;
    if (texts.is_none()) return out;
    for (py::handle text : texts) {
        const auto parsed = native::ipv4::parse_network(native::text(text));
        if (parsed.network) out.push_back(*parsed.network);
    }
    return out;
}

// The facts of the walk's VPCs whose subnets are known, by vpc_key.
std::map<std::string, py::object> facts_by_vpc(py::handle vpcs) {
    std::map<std::string, py::object> found;
    for (py::handle fact : vpcs) {
        if (py::object(fact["subnets"]).is_none() || !py::object(fact["shared_from"]).is_none()) continue;
        found.emplace(vpc_key(fact), py::reinterpret_borrow<py::object>(fact));
    }
    return found;
}

}  // namespace

// The three-way merge of a refresh, on lists of records: `base` as generate wrote them,
// `edited` as the engineer's sheet holds them, `discovered` as generate builds them now.
py::dict merge_refresh(py::object base, py::object edited, py::object discovered, py::object unchecked,
                       py::object noted) {
    py::object columns = global("HEADERS");
    std::vector<std::string> titles;
    for (py::handle column : columns) titles.push_back(native::text(column));
    std::optional<refresh::Merge> merge;
    try {
        merge.emplace(titles);
    } catch (const std::invalid_argument& err) {
        native::raise_builtin("ValueError", err.what());
    }
    std::vector<refresh::Scope> scopes;
    if (!unchecked.is_none()) {
        for (py::handle scope : unchecked) {
            py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(scope));
            scopes.push_back({native::text(pair[0]), native::text(pair[1])});
        }
    }
    // The conflicts of the last refresh, and the cells whose note the engineer kept (without
    // `noted`, every cell's).
    auto column_numbers = [&titles](const std::vector<std::string>& names) {
        std::vector<std::size_t> numbers;
        for (const std::string& name : names) {
            for (std::size_t c = 0; c < titles.size(); ++c) {
                if (titles[c] == name) numbers.push_back(c);
            }
        }
        return numbers;
    };
    refresh::Marks marks;
    for (py::handle record : base) {
        py::object listed = record.attr("get")(kConflictsColumn);
        marks.base_conflicts.push_back(
            column_numbers(PyUnicode_Check(listed.ptr()) ? native::split_list_cell(listed.cast<std::string>())
                                                         : std::vector<std::string>()));
    }
    if (noted.is_none()) {
        std::vector<std::size_t> every;
        for (std::size_t c = 0; c < titles.size(); ++c) every.push_back(c);
        marks.noted.assign(py::len(edited), every);
    } else {
        for (py::handle cells : noted) marks.noted.push_back(column_numbers(texts_of(cells)));
    }
    const refresh::Plan plan =
        merge->plan(merge_rows(base, columns, "the generated"), merge_rows(edited, columns, "the edited"),
                    merge_rows(discovered, columns, "the discovered"), scopes, marks);

    const std::vector<py::object> edited_rows = objects(edited), discovered_rows = objects(discovered);
    // Columns the engineer added to the sheet travel with their rows.
    py::list extra;
    for (const py::object& record : edited_rows) {
        for (py::handle title : record) {
            if (!columns.contains(title) && !extra.contains(title)) extra.append(title);
        }
    }

    py::list rows, added, conflicts, not_rechecked;
    py::dict lasting;  // discovered row -> its columns in conflict, for the next refresh
    for (const refresh::MergedRow& merged : plan.sheet) {
        py::dict row;
        if (merged.unchecked) not_rechecked.append(py::len(rows));
        if (merged.added) {
            py::handle found = discovered_rows[merged.index];
            size_t c = 0;
            for (py::handle column : columns) {
                const bool from_account = merged.account_row >= 0 && merge->account_column(c++);
                row[column] = from_account ? py::object(rows[merged.account_row][column]) : py::object(found[column]);
            }
            for (py::handle title : extra) row[title] = global("NULL");
            added.append(py::len(rows));
        } else {
            py::handle mine = edited_rows[merged.index];
            size_t c = 0;
            for (py::handle column : columns) {
                const auto pick = merged.picks.empty() ? refresh::Pick::edited : merged.picks[c++];
                if (pick == refresh::Pick::discovered) {
                    row[column] = discovered_rows[merged.discovered][column];
                } else {
                    row[column] = mine[column];
                    if (pick == refresh::Pick::conflict) {
                        conflicts.append(py::make_tuple(py::len(rows), column,
                                                        discovered_rows[merged.discovered][column]));
                        py::int_ at(merged.discovered);
                        if (!lasting.contains(at)) lasting[at] = py::list();
                        py::list(lasting[at]).append(column);
                    }
                }
            }
            for (py::handle title : extra) row[title] = mine.attr("get")(title, global("NULL"));
        }
        rows.append(row);
    }
    py::list removed, left_out, base_kept;
    for (size_t e : plan.removed) removed.append(edited_rows[e]);
    const std::vector<py::object> base_rows = objects(base);
    for (size_t b : plan.left_out) left_out.append(base_rows[b]);
    for (size_t b : plan.base_kept) base_kept.append(base_rows[b]);

    return py::dict("rows"_a = rows, "added"_a = added, "conflicts"_a = conflicts, "removed"_a = removed,
                    "left_out"_a = left_out, "not_rechecked"_a = not_rechecked, "base_kept"_a = base_kept,
                    "kept"_a = plan.kept, "updated"_a = plan.updated, "lasting"_a = lasting);
}

// How a cell shows a value in messages: lists in their printed form, booleans as the sheet shows them.
std::string shown_value(py::handle value) {
    if (value.is_none() || (PyUnicode_Check(value.ptr()) && py::len(value) == 0)) return "an empty cell";
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "TRUE" : "FALSE";
    return native::text(py::repr(PyUnicode_Check(value.ptr()) ? value : py::str(value)));
}

// The workbook a refresh starts from, read and checked before anything is contacted:
// {"titles": its sheets in order, "vpc_sheet": the title of the sheet of VPC rows, "edited":
// that sheet's records, "noted": of each of them the columns whose cell has a note, "removed":
// the records of the Removed sheet, "base": those of the hidden sheet}, or None when there is
// no such file yet. A workbook whose VPC sheet cannot be told, or whose hidden sheet was
// changed by hand, is refused.
py::object read_refresh_base(py::object excel) {
    if (!truthy(global("os").attr("path").attr("exists")(excel))) return py::none();
    py::object xlsx = global("serializers").attr("xlsx");
    py::dict sheets = xlsx.attr("load_sheets")(excel);
    py::list titles = py::list(sheets);
    const std::string file = native::text(excel);
    auto refuse = [&file](const std::string& why) {
        native::raise_builtin("ValueError", file + ": cannot refresh: " + why);
    };
    if (!sheets.contains(kGeneratedSheet)) {
        refuse(std::string("it has no hidden sheet '") + kGeneratedSheet +
               "' with the values generate wrote, so it was not written by generate (or by a version before "
               "--refresh); nothing was changed. Without --refresh, generate writes a new workbook in its place, "
               "without your edits");
    }
    py::object headers = global("HEADERS");
    auto check_columns = [&](py::handle records, const std::string& which) {
        if (py::len(records) == 0) return;
        py::object record = records[py::int_(0)];
        for (py::handle column : headers) {
            if (record.contains(column)) continue;
            refuse(which + " has no column " + native::text(column) + "; put it back under its title (nothing was changed)");
        }
    };
    const std::string hidden = "the hidden sheet '" + std::string(kGeneratedSheet) + "'";
    py::list base = sheets[kGeneratedSheet];
    check_columns(base, hidden);
    // Its record: which sheet holds the VPC rows, and the checksum of its rows (none in a
    // workbook written before they were recorded).
    std::string recorded, sum;
    if (py::len(base) > 0 && py::object(base[0]).contains(kChecksumColumn)) {
        py::object first = base[0];
        recorded = cell_text(first, kSheetColumn);
        sum = cell_text(first, kChecksumColumn);
        bool record_only = true;
        for (py::handle column : headers) record_only = record_only && cell_text(first, native::text(column).c_str()).empty();
        if (record_only) base = py::list(base[py::slice(1, std::nullopt, std::nullopt)]);
        const bool whole = py::object(first).contains(kConflictsColumn) &&
                           refresh::checksum(merge_rows(base, baseline_columns(), "the generated"),
                                             texts_of(baseline_columns())) == sum;
        if (!whole) {
            refuse(hidden + ", which holds the values generate wrote, was changed by hand (its rows no longer match "
                            "their checksum), so your edits can no longer be told from what AWS changed; nothing was "
                            "changed. To start over, run generate without --refresh to a new file (such as -e "
                            "new.xlsx) and carry your edits over to it");
        }
    }
    std::vector<refresh::SheetFacts> facts;
    for (py::handle title : titles) {
        py::list records = sheets[title];
        refresh::SheetFacts sheet{native::text(title), {}};
        if (py::len(records) > 0) sheet.columns = texts_of(records[0]);
        facts.push_back(std::move(sheet));
    }
    const refresh::VpcSheet found = refresh::find_vpc_sheet(facts, recorded);
    if (found.index < 0) refuse(found.problem + " (nothing was changed)");
    py::object vpc_sheet = titles[static_cast<std::size_t>(found.index)];
    py::list edited = sheets[vpc_sheet];
    check_columns(edited, "the VPC sheet '" + native::text(vpc_sheet) + "'");
    // The values the refresh carries over must be readable: those of the VPC sheet and of Removed.
    py::list columns = py::len(edited) > 0 ? py::list(edited[0]) : py::list();
    xlsx.attr("check_sheet")(excel, vpc_sheet, columns);
    if (sheets.contains(kRemovedSheet) && py::len(sheets[kRemovedSheet]) > 0) {
        xlsx.attr("check_sheet")(excel, kRemovedSheet, py::list(py::list(sheets[kRemovedSheet])[0]));
    }

    // The cells that carry a note, by row and column title.
    py::list noted;
    for (size_t i = 0; i < py::len(edited); ++i) noted.append(py::list());
    for (auto note : py::reinterpret_borrow<py::dict>(xlsx.attr("cell_notes")(excel, vpc_sheet))) {
        long column = 0, row = 0;
        for (char c : native::text(note.first)) {
            if (c >= 'A' && c <= 'Z') column = column * 26 + (c - 'A' + 1);
            else if (c >= '0' && c <= '9') row = row * 10 + (c - '0');
        }
        if (row >= 2 && row - 2 < static_cast<long>(py::len(edited)) && column >= 1 &&
            column <= static_cast<long>(py::len(columns))) {
            py::list(noted[static_cast<size_t>(row - 2)]).append(columns[static_cast<size_t>(column - 1)]);
        }
    }

    py::dict previous;
    previous["titles"] = titles;
    previous["vpc_sheet"] = vpc_sheet;
    previous["edited"] = edited;
    previous["noted"] = noted;
    previous["removed"] = sheets.contains(kRemovedSheet) ? py::object(sheets[kRemovedSheet]) : py::list();
    previous["base"] = base;
    return std::move(previous);
}

// The hidden sheet of the values generated, the base of the next refresh: `rows` with the
// columns each had in conflict (their "conflicts" entry), the first row carrying the title of
// the VPC sheet and the checksum of all rows (a row of its own when there are none).
py::dict baseline_sheet(py::handle rows, py::handle vpc_sheet) {
    py::list columns = baseline_columns(), records;
    for (py::handle row : rows) {
        py::dict record;
        for (py::handle column : columns) record[column] = row.attr("get")(column, global("NULL"));
        records.append(record);
    }
    const std::string sum = refresh::checksum(merge_rows(records, columns, "the generated"), texts_of(columns));
    if (py::len(records) == 0) records.append(py::dict());
    py::dict first = records[0];
    first[kSheetColumn] = vpc_sheet;
    first[kChecksumColumn] = sum;
    columns.append(kSheetColumn);
    columns.append(kChecksumColumn);
    return py::dict("title"_a = kGeneratedSheet, "rows"_a = records, "columns"_a = columns, "hidden"_a = true,
                    "review"_a = false);
}

namespace {

// The lowest free block of length `prefix` for the VPC of `fact`: its primary block first,
// then its other blocks; its subnets and the reserved ranges are taken. "" when none is free.
py::str proposal(py::handle fact, int prefix, const std::vector<native::ipv4::Network>& reserved) {
    std::vector<native::ipv4::Network> blocks = networks(py::make_tuple(fact["primary"]));
    for (const auto& block : networks(fact["blocks"])) {
        if (blocks.empty() || block.address != blocks[0].address || block.prefix != blocks[0].prefix) {
            blocks.push_back(block);
        }
    }
    std::vector<native::ipv4::Network> taken = networks(fact["subnets"]);
    taken.insert(taken.end(), reserved.begin(), reserved.end());
    const auto found = native::ipv4::first_free_in(blocks, prefix, taken);
    if (!found) {
        LOG(log_level::warning, "compute_crvn_cidr", "Could not compute crvn_cidr for vpc '%s': No available subnets with prefix %s",
            fact["vpc_id"], prefix);
        return py::str("");
    }
    return py::str(native::ipv4::to_string(found->network));
}

}  // namespace

// The discovered rows with each proposed block sized by the hpe of its account as the sheet
// has it (the account's first row), where it differs from the configuration's.
py::list sized_proposals(py::handle discovered, py::handle edited, py::handle vpcs, py::handle defaults) {
    std::map<std::string, bool> hpe_of;  // account -> hpe on the sheet
    for (py::handle row : edited) {
        const std::string key = vpc_key(row);
        const std::string account = key.substr(0, key.find('/'));
        if (hpe_of.count(account) > 0) continue;
        if (const auto hpe = yes_no(row.attr("get")("hpe"))) hpe_of.emplace(account, *hpe);
    }
    const auto facts = facts_by_vpc(vpcs);
    std::optional<std::vector<native::ipv4::Network>> reserved;
    py::list out;
    for (py::handle row : discovered) {
        const std::string key = vpc_key(row);
        const auto hpe = hpe_of.find(key.substr(0, key.find('/')));
        const auto fact = facts.find(key);
        const auto had = yes_no(row.attr("get")("hpe"));
        if (hpe == hpe_of.end() || fact == facts.end() ||
            native::crvn_prefix(hpe->second) == native::crvn_prefix(had.value_or(false))) {
            out.append(row);
            continue;
        }
        if (!reserved) reserved = reserved_ranges(defaults);
        py::dict sized = row.attr("copy")();
        sized["crvn_cidr"] = proposal(fact->second, native::crvn_prefix(hpe->second), *reserved);
        out.append(sized);
    }
    return out;
}

// The conflicts still open in the rows not re-checked: (row, column, AWS's value when last
// walked), from their base rows, which stay the base.
py::list unchecked_conflicts(py::handle merged) {
    std::map<std::string, py::object> base_of;
    for (py::handle row : merged["base_kept"]) base_of.emplace(vpc_key(row), py::reinterpret_borrow<py::object>(row));
    py::list open;
    py::list rows = merged["rows"];
    for (py::handle index : merged["not_rechecked"]) {
        const auto base = base_of.find(vpc_key(rows[index]));
        if (base == base_of.end()) continue;
        py::object listed = base->second.attr("get")(kConflictsColumn);
        if (!PyUnicode_Check(listed.ptr())) continue;
        for (const std::string& column : native::split_list_cell(listed.cast<std::string>())) {
            open.append(py::make_tuple(index, column, base->second.attr("get")(column)));
        }
    }
    return open;
}

// The engineer's blocks on the merged sheet that cannot be their VPC's: {row: why}. Rows added
// now hold proposals and rows not re-checked are left as they were.
py::dict blocked_rows(py::handle merged, py::handle vpcs) {
    py::dict reasons;
    const auto facts = facts_by_vpc(vpcs);
    if (facts.empty()) return reasons;
    py::set skipped;
    for (py::handle row : merged["added"]) skipped.add(row);
    for (py::handle row : merged["not_rechecked"]) skipped.add(row);
    long at = -1;
    for (py::handle row : merged["rows"]) {
        ++at;
        if (skipped.contains(py::int_(at))) continue;
        const auto fact = facts.find(vpc_key(row));
        if (fact == facts.end()) continue;
        const auto block = native::ipv4::parse_network(cell_text(row, "crvn_cidr"));
        if (!block.network) continue;  // empty, or refused by convert
        const std::string why = refresh::block_problem(*block.network, networks(fact->second["blocks"]),
                                                       networks(fact->second["subnets"]));
        if (!why.empty()) reasons[py::int_(at)] = why;
    }
    return reasons;
}

// The account of a refresh, once the workbook is in place.
void report_refresh(py::handle merged, py::handle shown) {
    const char* const op = "report_refresh";
    for (py::handle row : merged["removed"]) {
        LOG(log_level::info, op, "VPC %s (account %s, region %s) is no longer found: moved to sheet %s", row["vpc_id"],
            row["account_id"], row["region"], kRemovedSheet);
    }
    for (py::handle row : merged["left_out"]) {
        LOG(log_level::info, op, "VPC %s (account %s, region %s) was deleted from the sheet: left out", row["vpc_id"],
            row["account_id"], row["region"]);
    }
    py::list rows = merged["rows"];
    py::list columns = titles_of(global("HEADERS"), rows);
    py::object letter_of = native::host_attr("openpyxl.utils", "get_column_letter");
    py::dict blocked = merged.attr("get")("blocked", py::dict());
    auto cell_of = [&](py::handle row, py::handle column) {
        return native::text(letter_of(columns.attr("index")(column) + py::int_(1))) +
               std::to_string(py::cast<long>(row) + 2);
    };
    py::set told;  // rows whose block was named with their conflict
    for (py::handle conflict : merged["conflicts"]) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(conflict);
        py::object row = rows[at[0]];
        std::string also;
        if (native::text(at[1]) == "crvn_cidr" && blocked.contains(at[0])) {
            also = "; and " + native::text(blocked[at[0]]);
            told.add(at[0]);
        }
        LOG(log_level::warning, op, "Conflict in %s cell %s (%s of VPC %s, account %s, region %s): kept your %s; AWS now gives %s%s",
            shown, cell_of(at[0], at[1]), at[1], row["vpc_id"], row["account_id"], row["region"], shown_value(row[at[1]]),
            shown_value(at[2]), also);
    }
    long conflicts = static_cast<long>(py::len(merged["conflicts"]));
    for (auto item : blocked) {
        if (told.contains(item.first)) continue;
        ++conflicts;
        py::object row = rows[item.first];
        LOG(log_level::warning, op, "Conflict in %s cell %s (crvn_cidr of VPC %s, account %s, region %s): kept your %s, but %s",
            shown, cell_of(item.first, py::str("crvn_cidr")), row["vpc_id"], row["account_id"], row["region"],
            shown_value(row["crvn_cidr"]), item.second);
    }
    std::string summary = "Refreshed %s: %s rows kept, %s cells updated, %s VPCs added, %s removed, %s conflicts";
    const size_t unchecked = py::len(merged["not_rechecked"]);
    if (unchecked > 0) summary += ", " + std::to_string(unchecked) + " not re-checked";
    LOG(log_level::info, op, summary.c_str(), shown, merged["kept"], merged["updated"], py::len(merged["added"]),
        py::len(merged["removed"]), conflicts);
}

}  // namespace generate_module
