"""generate --refresh: the three-way merge of the workbook generate wrote (base), the engineer's
sheet (edited) and a new discovery, cell by cell and row by row."""
import pytest

import generator.generate as gen

A = "111111111111"


def row(vpc_id="vpc-1", **cells):
    """A workbook record; empty cells read back as the empty text."""
    record = dict.fromkeys(gen.HEADERS, "")
    record.update(account_id=A, region="us-east-1", vpc_id=vpc_id)
    record.update(cells)
    return record


# column, base (as read back from the hidden sheet), edited (as read from the sheet),
# discovered (as generate builds it), expected cell, a conflict, a cell updated
CELL_CASES = [
    pytest.param("crvn_cidr", "10.0.0.0/27", "10.0.0.0/27", "10.0.3.0/27", "10.0.3.0/27", False, 1,
                 id="unchanged-takes-new"),
    pytest.param("account_name", "prod", "prod", "prod", "prod", False, 0, id="unchanged-nothing-new"),
    pytest.param("spoke_gw_name", "web-CRVGW", "edge-CRVGW", "web-CRVGW", "edge-CRVGW", False, 0,
                 id="edited-only-keeps-edit"),
    pytest.param("crvn_cidr", "10.0.0.0/27", "10.0.9.0/27", "10.0.3.0/27", "10.0.9.0/27", True, 0,
                 id="both-differently-conflict"),
    pytest.param("spoke_gw_name", "web-CRVGW", "www-CRVGW", "www-CRVGW", "www-CRVGW", False, 0,
                 id="both-same-value"),
    pytest.param("crvn_cidr", "10.0.0.0/27", "", "10.0.3.0/27", "", True, 0, id="cleared-cell-is-an-edit"),
    # booleans: a yes/no word typed over a boolean means the same boolean
    pytest.param("managed_tgw", True, "TRUE", False, False, False, 1, id="yes-word-equals-boolean"),
    pytest.param("managed_tgw", True, "no", True, "no", False, 0, id="no-word-is-an-edit"),
    pytest.param("encrypt", False, True, False, True, False, 0, id="boolean-edit-kept"),
    pytest.param("hpe", "", "", None, None, False, 0, id="unset-stays-unset"),
    pytest.param("inspection", "", "", True, True, False, 1, id="newly-set-default"),
    # lists: the printed form and the plainly typed form are the same list
    pytest.param("filter_cidrs", "['10.1.0.0/16', '10.2.0.0/16']", "['10.1.0.0/16', '10.2.0.0/16']",
                 ["10.1.0.0/16", "10.3.0.0/16"], ["10.1.0.0/16", "10.3.0.0/16"], False, 1, id="list-unchanged"),
    pytest.param("gw_zones", "['us-east-1a', 'us-east-1b']", "us-east-1a, us-east-1b", ["us-east-1a", "us-east-1b"],
                 ["us-east-1a", "us-east-1b"], False, 0, id="list-retyped-same-items"),
    pytest.param("gw_zones", "['us-east-1a']", "us-east-1a, us-east-1c", ["us-east-1b"], "us-east-1a, us-east-1c",
                 True, 0, id="list-conflict"),
    pytest.param("filter_cidrs", "[]", "", [], "", False, 0, id="empty-list-is-not-unset"),
    # tags and hand-filled columns: blanks after the commas do not change the tags
    pytest.param("spoke_gw_tags", "Owner=netops,Env=prod", "Owner=netops, Env=prod", "", "", False, 1,
                 id="tags-respaced-unchanged"),
    pytest.param("spoke_gw_tags", "", "Owner=netops", "", "Owner=netops", False, 0, id="tags-added-by-hand"),
    pytest.param("spoke_gw_size", "", 4, "", 4, False, 0, id="number-typed"),
    pytest.param("spoke_gw_size", 4, 4.0, "t3.small", "t3.small", False, 1, id="whole-float-equals-integer"),
]


@pytest.mark.parametrize("column, base, edited, discovered, expected, conflict, updated", CELL_CASES)
def test_cell_cases(column, base, edited, discovered, expected, conflict, updated):
    merged = gen._merge_refresh([row(**{column: base})], [row(**{column: edited})], [row(**{column: discovered})])

    (result,) = merged["rows"]
    assert result[column] == expected and type(result[column]) is type(expected)
    assert merged["conflicts"] == ([(0, column, discovered)] if conflict else [])
    assert merged["updated"] == updated
    assert (merged["kept"], merged["added"], merged["removed"], merged["left_out"]) == (1, [], [], [])
    others = {k: v for k, v in result.items() if k != column}
    assert others == {k: v for k, v in row().items() if k != column}


def test_rows_matched_added_removed_and_written_by_hand():
    base = [row("vpc-1", crvn_cidr="10.0.0.0/27"), row("vpc-2"), row("vpc-3"), row("vpc-4"),
            row("vpc-1", region="eu-west-1")]
    edited = [
        row("vpc-2", domain="blue"),  # the engineer sorted the sheet
        row(" vpc-1 ", crvn_cidr="10.0.9.0/27", extra="my note"),  # blanks around the key are not an edit
        row("vpc-hand", domain="typed"),  # written by hand: no base
        row("vpc-4", domain="gone soon"),
        row("vpc-1", domain="copied"),  # the same VPC twice: the second row is the engineer's own
        row("vpc-1", region="eu-west-1"),
        # vpc-3 was deleted from the sheet by the engineer
    ]
    discovered = [row("vpc-1", crvn_cidr="10.0.3.0/27"), row("vpc-3"), row("vpc-5", domain="new"),
                  row("vpc-hand", domain="found"), row("vpc-2"), row("vpc-6")]

    merged = gen._merge_refresh(base, edited, discovered)

    assert [(r["vpc_id"], r["region"], r["domain"], r["extra"]) for r in merged["rows"]] == [
        ("vpc-2", "us-east-1", "blue", ""),
        (" vpc-1 ", "us-east-1", "", "my note"),
        ("vpc-hand", "us-east-1", "typed", ""),
        ("vpc-1", "us-east-1", "copied", ""),
        ("vpc-5", "us-east-1", "new", ""),
        ("vpc-6", "us-east-1", "", ""),
    ]
    assert merged["rows"][1]["crvn_cidr"] == "10.0.9.0/27"
    assert merged["conflicts"] == [(1, "crvn_cidr", "10.0.3.0/27")]
    assert merged["added"] == [4, 5]
    # vpc-4 is gone from AWS; eu-west-1's vpc-1 too (a VPC is matched by account, region and id)
    assert merged["removed"] == [row("vpc-4", domain="gone soon"), row("vpc-1", region="eu-west-1")]
    assert merged["left_out"] == [row("vpc-3")]
    assert (merged["kept"], merged["updated"]) == (4, 0)


def test_rows_need_every_column():
    partial = row()
    del partial["crvn_cidr"]
    with pytest.raises(KeyError, match="the edited row 1 has no column crvn_cidr"):
        gen._merge_refresh([row()], [partial], [row()])
