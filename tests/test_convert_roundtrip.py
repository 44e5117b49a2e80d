"""generate writes the review workbook from the sandbox, an engineer edits it, convert turns it into
the final configuration."""

import os
import subprocess
import sys
from pathlib import Path

import openpyxl
import pytest
import yaml

from sandbox import aws as aws_sandbox
from sandbox.controller import start as start_controller
from sandbox.terminal import run_with_password

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

BIN = Path(sys.executable).parent
A, B = "111111111111", "222222222222"
PASSWORD = "s3cret"
ESTATE = {
    A: {
        "us-east-1": [
            {"cidr": "10.0.0.0/16", "name": "prod web", "subnets": ["10.0.0.0/24"]},
            {"cidr": "10.1.0.0/24", "name": "batch"},
        ],
        "eu-west-1": [{"cidr": "10.2.0.0/24", "name": "eu app"}],
    },
    B: {"us-east-1": [{"cidr": "10.3.0.0/20", "name": "shared"}]},
}


@pytest.fixture(scope="module")
def sandbox_env():
    with start_controller({A: "prod", B: "shared"}, "admin", PASSWORD) as controller:
        with aws_sandbox.start() as aws:
            aws_sandbox.seed(aws.endpoint, ESTATE)
            env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
            env.update(aws_sandbox.client_env(aws.endpoint))
            yield controller, env


def sheet_rows(path):
    rows = [[c.value for c in row] for row in openpyxl.load_workbook(path).worksheets[0].iter_rows()]
    return [dict(zip(rows[0], row)) for row in rows[1:]]


def generate_workbook(tmp_path, controller, env, **defaults):
    """The engineer starts from the example configuration, fills in accounts, controller and defaults,
    and has generate write review.xlsx."""
    example = subprocess.run([str(BIN / "generate"), "--example-config"], capture_output=True, text=True, check=True)
    config = yaml.safe_load(example.stdout)
    config["account_ids"] = [A, B]
    config["controller"]["ip"] = controller.address
    config["defaults"].update(defaults)
    (tmp_path / "config.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    generated = run_with_password([str(BIN / "generate"), "-c", "config.yaml", "-e", "review.xlsx"], PASSWORD,
                                  env=env, cwd=tmp_path, timeout=300)
    assert generated.returncode == 0, generated.stderr


def test_generate_edit_convert(tmp_path, sandbox_env):
    controller, env = sandbox_env
    generate_workbook(tmp_path, controller, env, managed_tgw=True, filter_cidrs=["10.10.0.0/16"],
                      gw_zones=["us-east-1a"], transit_gw_name="tgw-1")
    rows = sheet_rows(tmp_path / "review.xlsx")
    assert [(r["account_id"], r["region"]) for r in rows] == [
        (A, "us-east-1"), (A, "us-east-1"), (A, "eu-west-1"), (B, "us-east-1"),
    ]

    # The engineer's edits, cell by cell, as in a spreadsheet (row 1 holds the titles).
    book = openpyxl.load_workbook(tmp_path / "review.xlsx")
    sheet = book.worksheets[0]
    column = {cell.value: cell.column for cell in sheet[1]}
    sheet.cell(2, column["spoke_gw_tags"]).value = "Name=web, Env=0123"
    sheet.cell(2, column["encrypt"]).value = "yes"
    sheet.cell(2, column["spoke_routes"]).value = "10.50.0.0/16,10.60.0.0/16"
    sheet.cell(3, column["domain"]).value = "no"
    sheet.cell(4, column["gw_zones"]).value = "eu-west-1a"
    sheet.cell(5, column["spoke_gw_size"]).value = "t3.large"
    sheet.cell(5, column["hpe"]).value = "TRUE"
    book.save(tmp_path / "review.xlsx")

    converted = run_with_password([str(BIN / "convert"), "-e", "review.xlsx", "-y", "tandrel.yaml"], PASSWORD,
                                  env=env, cwd=tmp_path, timeout=120)
    assert converted.returncode == 0, converted.stderr
    text = (tmp_path / "tandrel.yaml").read_text()
    for quoted in (f'account_id: "{A}"', 'value: "0123"', 'domain: "no"', 'account_name: "prod"',
                   'transit_gw_name: "tgw-1"'):
        assert quoted in text
    for plain in ("hpe: false", "hpe: true", "encrypt: true", "configure_gw_name: true", "managed_tgw: true"):
        assert plain in text

    data = yaml.safe_load(text)
    first, second = data["account_info"]
    assert (first["account_id"], first["account_name"], first["hpe"]) == (A, "prod", False)
    assert first["filter_cidrs"] == ["10.10.0.0/16"]
    east, west = first["regions"]
    assert [v["vpc_id"] for v in east["vpcs"]] == [rows[0]["vpc_id"], rows[1]["vpc_id"]]
    web = east["vpcs"][0]
    assert web["crvn_cidr"] == rows[0]["crvn_cidr"] and web["crvn_cidr"].endswith("/27")
    assert web["spoke_gw_tags"] == [{"key": "Name", "value": "web"}, {"key": "Env", "value": "0123"}]
    assert web["encrypt"] is True
    assert web["spoke_routes"] == ["10.50.0.0/16", "10.60.0.0/16"]
    assert web["spoke_gw_name"] == rows[0]["spoke_gw_name"] and web["transit_gw_name"] == "tgw-1"
    assert east["vpcs"][1]["domain"] == "no"
    assert west["region"] == "eu-west-1" and west["vpcs"][0]["gw_zones"] == ["eu-west-1a"]
    assert (second["account_id"], second["hpe"], second["spoke_gw_size"]) == (B, True, "t3.large")


# Texts an AWS tag or a controller account name may hold that a spreadsheet would take for
# something else: formulas (whole, or cut into a broken one), error words, signs, quotes,
# Unicode of every plane, inner blanks.
HOSTILE_NAMES = {
    A: '=HYPERLINK("http://x","y")',
    B: "+1 'quoted' \"double\" @me #N/A Zürich 東京 🚀",
}
HOSTILE_ESTATE = {
    A: {"us-east-1": [{"cidr": "10.0.0.0/24", "name": "=1+1"},
                      {"cidr": "10.1.0.0/24", "name": '=HYPERLINK("http://x","y")'},
                      {"cidr": "10.2.0.0/24", "name": "@SUM(A1)"}]},
    B: {"us-east-1": [{"cidr": "10.3.0.0/24", "name": "-2 #REF! \"q\" Zürich 🚀"}]},
}


@pytest.fixture(scope="module")
def hostile_env():
    with start_controller(HOSTILE_NAMES, "admin", PASSWORD) as controller:
        with aws_sandbox.start() as aws:
            aws_sandbox.seed(aws.endpoint, HOSTILE_ESTATE)
            env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
            env.update(aws_sandbox.client_env(aws.endpoint))
            yield controller, env


def test_hostile_texts_come_back_unchanged_and_the_sheet_invites_review(tmp_path, hostile_env):
    generate_workbook(tmp_path, *hostile_env)
    env = hostile_env[1]

    sheet = openpyxl.load_workbook(tmp_path / "review.xlsx").worksheets[0]
    titles = [c.value for c in sheet[1]]
    texts = [c for row in sheet.iter_rows() for c in row if isinstance(c.value, str)]
    assert all(c.data_type == "s" for c in texts), "every text is a text cell, never a formula or an error"
    rows = sheet_rows(tmp_path / "review.xlsx")
    assert [r["account_name"] for r in rows] == [HOSTILE_NAMES[A]] * 3 + [HOSTILE_NAMES[B]]
    assert [r["spoke_gw_name"] for r in rows] == [
        "=1+1-CRVGW", '=HYPERLINK("http://x","-CRVGW', "@SUM(A1)-CRVGW", '-2_#REF!_"q"_Zürich_🚀-CRVGW']

    # The header row: bold, frozen, filtered; yes/no columns offer TRUE/FALSE; each title says what it takes.
    assert all(c.font.b for c in sheet[1]) and sheet.freeze_panes == "A2"
    assert sheet.auto_filter.ref == f"A1:S{len(rows) + 1}"
    (choices,) = sheet.data_validations.dataValidation
    assert (choices.type, choices.formula1) == ("list", '"TRUE,FALSE"')
    letters = {openpyxl.utils.get_column_letter(titles.index(t) + 1) for t in ("hpe", "managed_tgw", "encrypt",
                                                                               "inspection")}
    assert {str(r).split(":")[0].rstrip("0123456789") for r in choices.sqref.ranges} == letters
    assert all(c.comment is not None and c.comment.text for c in sheet[1])
    assert "TRUE or FALSE" in sheet.cell(1, titles.index("encrypt") + 1).comment.text
    assert {k: v.width for k, v in sheet.column_dimensions.items() if v.customWidth} == {
        openpyxl.utils.get_column_letter(i): 20 for i in range(1, 20)}

    converted = run_with_password([str(BIN / "convert"), "-e", "review.xlsx", "-y", "tandrel.yaml"], PASSWORD,
                                  env=env, cwd=tmp_path, timeout=120)
    assert converted.returncode == 0, converted.stderr
    accounts = yaml.safe_load((tmp_path / "tandrel.yaml").read_text(encoding="utf-8"))["account_info"]
    assert [a["account_name"] for a in accounts] == [HOSTILE_NAMES[A], HOSTILE_NAMES[B]]
    names = [v["spoke_gw_name"] for a in accounts for r in a["regions"] for v in r["vpcs"]]
    assert names == [r["spoke_gw_name"] for r in rows]
