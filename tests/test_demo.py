"""`make demo` runs this flow: it must keep working on a machine with no AWS account."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

ROOT = Path(__file__).resolve().parents[1]


def test_demo_runs_the_whole_flow(tmp_path):
    out = tmp_path / "demo"
    done = subprocess.run(
        [sys.executable, "-m", "sandbox.demo", "--out", str(out)],
        cwd=ROOT, capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Review workbook: 10 VPC rows, 19 columns" in done.stdout
    assert "(password typed at 1 prompt(s))" in done.stdout  # one login for both artefacts
    assert re.search(r"^  account_id +account_name +region +vpc_id +crvn_cidr +spoke_gw_name$", done.stdout, re.M)
    # Counted from generate's start: the sandbox's own seeding (one role per account) is not in them.
    prompts = int(re.search(r"password typed at (\d+) prompt", done.stdout)[1])
    counts = re.search(r"Requests made by generate: (\d+) to the controller, \d+ to EC2, (\d+) role assumptions",
                       done.stdout)
    assert counts and (int(counts[1]), int(counts[2])) == (2 * prompts, 3 * prompts)
    final = yaml.safe_load((out / "tandrel.yaml").read_text())
    accounts = final["account_info"]
    assert [a["account_id"] for a in accounts] == ["111122223333", "444455556666", "777788889999"]
    first_vpc = accounts[0]["regions"][0]["vpcs"][0]
    assert first_vpc["spoke_gw_tags"] == [{"key": "Owner", "value": "netops"}, {"key": "CostCenter", "value": "1234"}]
    assert sum(len(r["vpcs"]) for a in accounts for r in a["regions"]) == 10
    assert (out / "inventory.yaml").is_file() and (out / "vpcs.xlsx").is_file()
    # The demo pins the substitute controller's certificate: the password went only to it.
    assert yaml.safe_load((out / "config.yaml").read_text())["controller"]["verify"] == "controller.pem"
    assert (out / "controller.pem").read_text().startswith("-----BEGIN CERTIFICATE-----")
