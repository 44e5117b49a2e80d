"""Time the phases of the convert command on a large review workbook.

A workbook of 10,000 rows (200 accounts, 2 regions, 25 VPCs each) is written
as the generate command writes it, then converted the way `convert` does it,
phase by phase: reading the workbook (and the template), assembling and
validating the accounts, quoting, writing the YAML. Logging is set up as the
console script sets it up (INFO), so debug dumps must cost nothing. Then the
whole `convert` command is timed as a process on the same workbook, and its
output compared with the phases' output.

    .venv/bin/python bench/convert.py [repeats] [--save DIR]

--save DIR keeps the workbook and the YAML written, to compare them across versions.
"""

import logging
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import yaml

import generator.convert as cv
from generator.common import serializers
from generator.log import configure_logger

ACCOUNTS, REGIONS, VPCS = 200, ("us-east-1", "eu-west-1"), 25


def workbook_rows():
    rows = []
    for a in range(ACCOUNTS):
        account = f"{100000000000 + a:012d}"
        for r, region in enumerate(REGIONS):
            for v in range(VPCS):
                n = (r * VPCS + v) * 32
                rows.append({
                    "account_id": account,
                    "account_name": f"account-{a}",
                    "hpe": False,
                    "managed_tgw": True,
                    "filter_cidrs": ["10.0.0.0/8", "172.16.0.0/12"],
                    "spoke_gw_size": "t3.medium",
                    "role_name": "tandrel-role",
                    "region": region,
                    "vpc_id": f"vpc-{a:04d}{r}{v:03d}",
                    "crvn_cidr": f"10.{200 + a // 100}.{(a % 100) * 2 + n // 256}.{n % 256}/27",
                    "gw_zones": [f"{region}a", f"{region}b"],
                    "spoke_gw_tags": "Name=web, Env=prod" if v % 2 else "",
                    "domain": "prod" if v % 3 else "",
                    "encrypt": True,
                    "inspection": False,
                    "spoke_advertisement": "",
                    "spoke_routes": "10.10.0.0/16, 10.20.0.0/16" if v % 5 == 0 else "",
                    "spoke_gw_name": f"spoke-{a}-{r}-{v}",
                    "transit_gw_name": "transit-1",
                })
    return rows


class Counting:
    """pformat stand-in that counts the debug dumps built."""

    def __init__(self, real):
        self.real, self.calls = real, 0

    def __call__(self, obj):
        self.calls += 1
        return self.real(obj)


def one_run(book, template, out):
    times = {}
    t = time.perf_counter()
    vpc_data = serializers.xlsx.load_from_xlsx(book)
    config = serializers.load_from_path(template)
    times["read workbook"] = time.perf_counter() - t

    t = time.perf_counter()
    config.update(cv.generate_tandrel_account_info(vpc_data, config))
    times["assemble accounts"] = time.perf_counter() - t

    t = time.perf_counter()
    cv._validate_tandrel_config(config)
    times["validate config"] = time.perf_counter() - t

    t = time.perf_counter()
    yaml.add_representer(cv._quoted, cv._quoted_presenter)
    quoted = cv._recurse_quoted(config)
    times["quote"] = time.perf_counter() - t

    # The command's own writer, where this version has one.
    options = {"dump": cv._dump_quoted} if hasattr(cv, "_dump_quoted") else {}
    t = time.perf_counter()
    serializers.export_to_path(quoted, out, **options)
    times["write YAML"] = time.perf_counter() - t
    return times, len(vpc_data), len(config["account_info"])


def main():
    args = sys.argv[1:]
    save = None
    if "--save" in args:
        at = args.index("--save")
        save = Path(args[at + 1])
        del args[at : at + 2]
    repeats = int(args[0]) if args else 3
    configure_logger()
    assert not logging.getLogger("generator.convert").isEnabledFor(logging.DEBUG)
    counting = Counting(cv.pformat)
    cv.pformat = counting

    with tempfile.TemporaryDirectory() as tmp:
        book, out = Path(tmp) / "review.xlsx", Path(tmp) / "tandrel.yaml"
        template = Path(cv.__file__).parent / "data" / "template.yaml"
        t = time.perf_counter()
        serializers.xlsx.export_to_xlsx(workbook_rows(), book)
        print(f"workbook written in {time.perf_counter() - t:.2f} s ({book.stat().st_size // 1024} KiB)")

        best = None
        for _ in range(repeats):
            times, rows, accounts = one_run(book, template, out)
            if best is None or sum(times.values()) < sum(best.values()):
                best = times
        size = out.stat().st_size // 1024

        command = Path(sys.executable).parent / "convert"
        by_process = Path(tmp) / "by-process.yaml"
        t = time.perf_counter()
        subprocess.run([str(command), "-e", str(book), "-y", str(by_process)], check=True)
        process_seconds = time.perf_counter() - t
        same = by_process.read_bytes() == out.read_bytes()
        if save is not None:
            save.mkdir(parents=True, exist_ok=True)
            shutil.copy(book, save / "review.xlsx")
            shutil.copy(out, save / "tandrel.yaml")

    total = sum(best.values())
    print(f"{rows} rows, {accounts} accounts, YAML {size} KiB; best of {repeats} runs")
    for phase, seconds in best.items():
        print(f"  {phase:<22}{seconds * 1000:9.1f} ms {seconds / total:7.1%}")
    print(f"  {'total':<22}{total * 1000:9.1f} ms")
    print(f"debug dumps built at INFO: {counting.calls}")
    print(f"convert command as a process: {process_seconds:.2f} s (output {'identical' if same else 'DIFFERENT'})")


if __name__ == "__main__":
    main()
