// Writing the review workbook: the VPC sheet (merged on a refresh), the Coverage
// sheet, the sheets kept beside them and the hidden sheet of generated values, all
// handed to the workbook serializer's one writer, which saves the file once.
#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

// Marks of a refreshed sheet: fills as the spreadsheet programs' "good" and "bad" styles.
constexpr const char* kAddedFill = "C6EFCE";
constexpr const char* kConflictFill = "FFC7CE";
constexpr const char* kUncheckedFill = "D9D9D9";

py::dict sheet(const char* title, py::handle rows, py::handle columns, bool hidden) {
    // A sheet the engineer sees is dressed for review; the hidden one is left plain.
    return py::dict("title"_a = title, "rows"_a = rows, "columns"_a = columns, "hidden"_a = hidden, "review"_a = !hidden);
}

py::dict mark(py::handle row, py::handle column, const char* fill, py::object note) {
    return py::dict("row"_a = row, "column"_a = column, "fill"_a = fill, "note"_a = note);
}

const char* const kCoverageHeaders[] = {"account_id", "account_name", "region", "state",
                                        "vpcs",       "error_code",   "message", "seconds"};

// The ledger as the sheet "Coverage": its values as AWS gave them (texts kept texts), the
// message column wide.
py::dict coverage_sheet(py::handle ledger) {
    py::list titles, widths;
    for (const char* title : kCoverageHeaders) {
        titles.append(title);
        widths.append(std::string(title) == "message" ? 80 : 20);
    }
    return py::dict("title"_a = kCoverageSheet, "rows"_a = ledger, "columns"_a = titles, "plain"_a = true,
                    "widths"_a = widths);
}

// The overlapping blocks as the sheet "Overlaps", the `with` column wide.
py::dict overlapping_sheet(py::handle overlaps) {
    py::list titles = overlaps_headers(), widths;
    for (py::handle title : titles) widths.append(native::text(title) == "with" ? 80 : 20);
    return py::dict("title"_a = kOverlapsSheet, "rows"_a = overlaps, "columns"_a = titles, "plain"_a = true,
                    "widths"_a = widths);
}

// The note of a conflicting cell: AWS's value, and why the engineer's block cannot be the VPC's.
py::str conflict_note(py::handle aws, const std::string& why) {
    std::string note = aws.is_none() ? "Your value was kept" : "AWS now gives " + shown_value(aws) + "; your value was kept";
    if (!why.empty()) note += ", but " + why;
    return py::str(note + " (generate --refresh)");
}

// The sheets of the workbook. A new one: the VPC sheet, Coverage, Overlaps and the hidden sheet
// of the values generated (the base of a later refresh). A refreshed one keeps the sheets of
// `previous` (read_refresh_base) in their order and under their titles: the VPC sheet merged,
// Coverage and Overlaps written anew, Removed with the VPCs no longer found, the engineer's own
// copied from `shown` (the workbook being refreshed), the hidden sheet anew; those it lacked
// follow. VPCs of the accounts and regions that failed or were refused by policy in `ledger`
// were not looked for and are kept. `merged` receives the merge, None without a refresh.
py::list workbook_sheets(py::object excel_data, py::object previous, py::object ledger, py::object overlaps,
                         py::object shown, py::object& merged) {
    py::object headers = global("HEADERS");
    py::list sheets;
    if (previous.is_none()) {
        if (py::len(excel_data) == 0) {
            // Still a workbook, so the engineer sees the columns and that nothing was found.
            LOG(log_level::warning, "main", "No VPC found in the configured accounts and regions: %s holds the column titles only",
                shown);
        }
        sheets.append(py::dict("title"_a = kVpcSheet, "rows"_a = excel_data, "columns"_a = titles_of(headers, excel_data),
                               "review"_a = true));
        sheets.append(coverage_sheet(ledger));
        sheets.append(overlapping_sheet(overlaps));
        sheets.append(baseline_sheet(excel_data, py::str(kVpcSheet)));
        merged = py::none();
        return sheets;
    }

    py::list unchecked;  // an unreachable account is not a deleted VPC
    for (py::handle entry : ledger) {
        // A region refused by policy was not looked at either: its VPCs are not known to be gone.
        const std::string state = native::text(entry["state"]);
        if (state == "failed" || state == "skipped") unchecked.append(py::make_tuple(entry["account_id"], entry["region"]));
    }
    py::object vpcs = previous.attr("get")("vpcs", py::list());
    // A shared VPC now listed under its owner is the same VPC: the engineer's edits follow it.
    py::list edited = follow_moves(previous["edited"], excel_data);
    py::list discovered = sized_proposals(excel_data, edited, vpcs, previous.attr("get")("defaults", py::none()));
    merged = global("_merge_refresh")(follow_moves(previous["base"], discovered), edited, discovered,
                                      "unchecked"_a = unchecked, "noted"_a = previous["noted"]);
    py::dict blocked = blocked_rows(merged, vpcs);
    merged["blocked"] = blocked;
    py::list rows = merged["rows"];
    py::list columns = titles_of(headers, rows);
    py::list marks;
    auto mark_rows = [&](py::handle indices, const char* fill, const char* note) {
        for (py::handle index : indices) {
            for (py::handle column : columns) {
                const bool first = native::text(column) == "vpc_id";
                marks.append(mark(index, column, fill, first ? py::object(py::str(note)) : py::object(py::none())));
            }
        }
    };
    mark_rows(merged["added"], kAddedFill, "New: found for the first time by generate --refresh");
    mark_rows(merged["not_rechecked"], kUncheckedFill,
              "Not re-checked: its account or region could not be walked by generate --refresh (see the Coverage "
              "sheet); kept as it was");
    py::set told;
    for (py::handle conflict : merged["conflicts"]) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(conflict);
        std::string why;
        if (native::text(at[1]) == "crvn_cidr" && blocked.contains(at[0])) {
            why = native::text(blocked[at[0]]);
            told.add(at[0]);
        }
        marks.append(mark(at[0], at[1], kConflictFill, conflict_note(at[2], why)));
    }
    // A row not re-checked keeps the marks of its open conflicts, so that they stay open.
    for (py::handle open : unchecked_conflicts(merged)) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(open);
        marks.append(mark(at[0], at[1], kConflictFill,
                          py::str("AWS gave " + shown_value(at[2]) +
                                  " when last walked; your value was kept (generate --refresh)")));
    }
    for (auto item : blocked) {
        if (!told.contains(item.first)) {
            marks.append(mark(item.first, py::str("crvn_cidr"), kConflictFill,
                              conflict_note(py::none(), native::text(item.second))));
        }
    }

    // The base of the next refresh: the VPCs found now, with the cells still in conflict, and
    // those of the accounts and regions not looked at as they were.
    py::list base;
    py::dict lasting = merged["lasting"];
    for (size_t d = 0; d < py::len(discovered); ++d) {
        py::object row = discovered[d];
        if (lasting.contains(py::int_(d))) {
            py::dict copy = row.attr("copy")();
            copy["conflicts"] = py::str(", ").attr("join")(lasting[py::int_(d)]);
            row = copy;
        }
        base.append(row);
    }
    for (py::handle row : merged["base_kept"]) base.append(row);
    py::list removed = previous["removed"];
    for (py::handle row : merged["removed"]) removed.append(row);

    py::object vpc_sheet = previous["vpc_sheet"];
    py::set placed;
    auto place = [&](py::handle title) {
        const std::string name = native::text(title);
        placed.add(title);
        if (py::str(title).equal(vpc_sheet)) {
            sheets.append(py::dict("title"_a = title, "rows"_a = rows, "columns"_a = columns, "review"_a = true,
                                   "marks"_a = marks));
        } else if (name == kCoverageSheet) {
            sheets.append(coverage_sheet(ledger));
        } else if (name == kOverlapsSheet) {
            sheets.append(overlapping_sheet(overlaps));
        } else if (name == kRemovedSheet) {
            sheets.append(sheet(kRemovedSheet, removed, titles_of(headers, removed), false));
        } else if (name == kGeneratedSheet) {
            sheets.append(baseline_sheet(base, vpc_sheet));
        } else {
            sheets.append(py::dict("title"_a = title, "copy_of"_a = shown));
        }
    };
    // The sheets the workbook lacks go after the last of the VPC sheet and generate's visible
    // ones, in their usual order; the hidden one last.
    size_t after = 0;
    for (py::handle title : previous["titles"]) {
        place(title);
        const std::string name = native::text(title);
        if (py::str(title).equal(vpc_sheet) || name == kCoverageSheet || name == kOverlapsSheet || name == kRemovedSheet) {
            after = py::len(sheets);
        }
    }
    for (const char* title : {kCoverageSheet, kOverlapsSheet, kRemovedSheet, kGeneratedSheet}) {
        if (placed.contains(title) || (std::string(title) == kRemovedSheet && py::len(removed) == 0)) continue;
        place(py::str(title));
        if (std::string(title) == kGeneratedSheet) break;
        sheets.insert(after++, sheets.attr("pop")());
    }
    return sheets;
}

}  // namespace

// The column titles of records: `first` and then every other key, in order of appearance.
py::list titles_of(py::handle first, py::handle records) {
    py::list titles;
    for (py::handle title : first) titles.append(title);
    for (py::handle record : records) {
        for (py::handle title : record) {
            if (!titles.contains(title)) titles.append(title);
        }
    }
    return titles;
}

// The workbook, written whole or not at all by the workbook serializer. Returns the merge
// of a refresh (with `previous`), to be reported once the workbook is in place.
py::object export_workbook(py::handle excel_data, py::handle excel, py::handle ledger, py::handle overlaps,
                           py::handle previous) {
    py::object merged;
    py::list sheets = workbook_sheets(py::reinterpret_borrow<py::object>(excel_data),
                                      py::reinterpret_borrow<py::object>(previous),
                                      py::reinterpret_borrow<py::object>(ledger),
                                      py::reinterpret_borrow<py::object>(overlaps),
                                      py::reinterpret_borrow<py::object>(excel), merged);
    global("serializers").attr("xlsx").attr("export_sheets")(sheets, excel);
    return merged;
}

}  // namespace generate_module
