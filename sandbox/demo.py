"""The whole flow on the local sandbox, as an engineer would run it.

Starts the substitute Corvane Controller and a seeded AWS (moto's server),
writes a configuration for them, runs `generate` with the controller password
typed at its prompt, edits one cell of the review workbook as an engineer
would in a spreadsheet, runs `convert`, and shows the results. Needs no AWS
account; everything talks to 127.0.0.1. Files land in ./demo-out.

    python -m sandbox.demo [--out DIR]
"""

import argparse
import os
import shutil
import sys
from pathlib import Path

import openpyxl
import yaml

from sandbox import aws, controller
from sandbox.terminal import run_with_password

USERNAME = "netops"
PASSWORD = "demo-password"
REGIONS = ["us-east-1", "eu-west-1"]

ACCOUNTS = {
    "111122223333": "prod-network",
    "444455556666": "shared-services",
    "777788889999": "dev-sandbox",
}


def _vpc(cidr, name, *subnets):
    return {"cidr": cidr, "name": name, "subnets": list(subnets)}


# A small realistic estate: named and unnamed VPCs, busy and empty ones.
ESTATE = {
    "111122223333": {
        "us-east-1": [
            _vpc("10.10.0.0/16", "prod web tier", "10.10.0.0/24", "10.10.1.0/24", "10.10.2.0/24"),
            _vpc("10.11.0.0/16", "prod-db", "10.11.0.0/25", "10.11.0.128/25"),
        ],
        "eu-west-1": [
            _vpc("10.20.0.0/16", "prod-eu-web", "10.20.0.0/24", "10.20.1.0/24"),
        ],
    },
    "444455556666": {
        "us-east-1": [
            _vpc("10.30.0.0/20", "shared-dns", "10.30.0.0/27", "10.30.0.32/27"),
            _vpc("10.31.0.0/24", None, "10.31.0.0/26"),
        ],
        "eu-west-1": [
            _vpc("10.40.0.0/16", "shared-logging", "10.40.0.0/22"),
            _vpc("10.41.0.0/27", "tiny-full", "10.41.0.0/27"),
        ],
    },
    "777788889999": {
        "us-east-1": [
            _vpc("172.16.0.0/16", "dev-app"),
            _vpc("172.17.0.0/16", "dev experiments with a very long name", "172.17.0.0/24"),
        ],
        "eu-west-1": [
            _vpc("172.18.0.0/16", "dev-eu", "172.18.0.0/24", "172.18.1.0/24"),
        ],
    },
}


def _config(controller_address, certificate):
    return {
        "account_ids": list(ACCOUNTS),
        "aws_regions": REGIONS,
        # The controller's own certificate, pinned: the password goes only to it.
        "controller": {"ip": controller_address, "username": USERNAME, "verify": certificate},
        "defaults": {
            "role_name": "corvane-migration",
            "hpe": False,
            "managed_tgw": True,
            "filter_cidrs": ["10.0.0.0/8"],
            "transit_gw_name": "transit-east",
        },
    }


def _command(name):
    found = shutil.which(name, path=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    if not found:
        sys.exit(f"demo: the {name} command is not installed; run 'make demo'")
    return found


def _run(argv, env):
    print("$", " ".join(str(a) for a in argv), flush=True)
    result = run_with_password([str(a) for a in argv], PASSWORD, env=env)
    sys.stderr.write(result.stderr)
    sys.stdout.write(result.stdout)
    if result.prompts:
        print(f"  (password typed at {result.prompts} prompt(s))")
    if result.returncode != 0:
        sys.exit(f"demo: {argv[0]} failed with exit status {result.returncode}")
    return result


def _summary(workbook):
    sheet = openpyxl.load_workbook(workbook).worksheets[0]
    titles = [cell.value for cell in sheet[1]]
    rows = [dict(zip(titles, (cell.value for cell in row))) for row in sheet.iter_rows(min_row=2)]
    print(f"\nReview workbook: {len(rows)} VPC rows, {len(titles)} columns")
    line = "  {:12} {:16} {:10} {:22} {:18} {}"
    print(line.format("account_id", "account_name", "region", "vpc_id", "crvn_cidr", "spoke_gw_name"))
    for row in rows:
        print(line.format(row["account_id"], row["account_name"] or "?", row["region"], row["vpc_id"],
                          row["crvn_cidr"] or "(no free block)", row["spoke_gw_name"]))
    return rows


def _edit_workbook(workbook):
    """Set gateway tags on the first VPC, as an engineer would in a spreadsheet."""
    book = openpyxl.load_workbook(workbook)
    sheet = book.worksheets[0]
    column = [cell.value for cell in sheet[1]].index("spoke_gw_tags") + 1
    sheet.cell(row=2, column=column, value="Owner=netops, CostCenter=1234")
    book.save(workbook)
    print(f"\nEdited {workbook}: row 2, spoke_gw_tags = 'Owner=netops, CostCenter=1234'")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run generate and convert against the local sandbox.")
    parser.add_argument("--out", type=Path, default=Path("demo-out"), help="folder for the demo files")
    out = parser.parse_args(argv).out
    out.mkdir(parents=True, exist_ok=True)
    config_path, workbook, certificate = out / "config.yaml", out / "vpcs.xlsx", out / "controller.pem"
    inventory, final = out / "inventory.yaml", out / "tandrel.yaml"
    for old in (workbook, inventory, final):
        old.unlink(missing_ok=True)

    print("Starting the substitute Corvane Controller and the seeded AWS sandbox ...", flush=True)
    with controller.start(ACCOUNTS, USERNAME, PASSWORD) as ctl, aws.start() as cloud:
        aws.seed(cloud.endpoint, ESTATE)
        cloud.reset_counts()  # from here on, the requests are generate's alone
        ctl.write_certificate(certificate)
        config_path.write_text(yaml.safe_dump(_config(ctl.address, certificate.name), sort_keys=False))
        print(f"Controller at {ctl.address} (its certificate in {certificate}), AWS at {cloud.endpoint}, "
              f"configuration in {config_path}\n")
        env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
        env.update(aws.client_env(cloud.endpoint))

        _run([_command("generate"), "-c", config_path, "-e", workbook, "-d", inventory], env)
        print(f"\nWrote the review workbook {workbook} and the YAML inventory {inventory}")
        _summary(workbook)
        print(f"\nRequests made by generate: {len(ctl.requests)} to the controller, {cloud.count('ec2')} to EC2, "
              f"{cloud.count('sts', 'AssumeRole')} role assumptions")

    _edit_workbook(workbook)
    _run([_command("convert"), "-e", workbook, "-y", final], dict(os.environ))
    lines = final.read_text().splitlines()
    print(f"\nFinal Tandrel Migration configuration {final} ({len(lines)} lines); its first lines:")
    print("\n".join("  " + line for line in lines[:30]))
    print("\nDemo done. Files are in", out.resolve())


if __name__ == "__main__":
    main()
