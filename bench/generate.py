"""Time the generate command end to end against a seeded AWS (moto's server).

Two scenarios, each run through the installed console script with the
password typed at a pseudo-terminal and the substitute controller answering
the login:

- one region: 1 account, 1 region, 200 VPCs of 10 subnets each; `-e` and
  `-d` run apart; wall time, time per VPC and the AWS requests received;
- an estate: 10 accounts x 3 regions x 20 VPCs x 4 subnets behind an AWS that
  answers each request 40 ms late; `generate -e -d` with --jobs 1 and with the
  default number of workers: wall time and AWS requests by action, and a check
  that both runs wrote the same artefacts; then once more with a fifth of all
  AWS requests throttled: wall time, retries made and the same check.

    python bench/generate.py [--baseline OTHER/bin/generate] [--only estate]

--baseline runs another build of the command (for instance the one before a
change, installed in a virtual environment of its own) on the same estate in
the same session, as it is (no --jobs), and checks its artefacts against ours.
"""
import argparse
import os
import pathlib
import sys
import tempfile
import time

import openpyxl
import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the sandbox beside bench/

from sandbox import aws as aws_sandbox
from sandbox.controller import start as start_controller
from sandbox.terminal import run_with_password

ACCOUNT = "111111111111"
REGION = "eu-west-1"
VPCS = 200
SUBNETS = 10
ESTATE_SHAPE = (10, 3, 20, 4)  # accounts, regions, VPCs per region, subnets per VPC
LATENCY_MS = 40
THROTTLED = 0.2  # share of AWS requests answered with throttling in the last run
PASSWORD = "bench"
GENERATE = str(pathlib.Path(sys.executable).parent / "generate")


def one_region_estate():
    vpcs = []
    for i in range(VPCS):
        vpcs.append({
            "cidr": f"10.{i}.0.0/16",
            "name": f"bench vpc {i}" if i % 2 else None,
            "subnets": [f"10.{i}.{j}.0/24" for j in range(SUBNETS)],
        })
    return {ACCOUNT: {REGION: vpcs}}


def write_config(folder, controller, accounts, regions):
    (folder / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": list(accounts),
        "aws_regions": list(regions),
        "controller": {"ip": controller.address, "username": "admin"},
        "defaults": {"role_name": "corvane-migration"},
    }))


def requests_by_action(counts):
    parts = [f"{action} {n}" for service in sorted(counts) for action, n in sorted(counts[service].items())]
    return sum(sum(actions.values()) for actions in counts.values()), ", ".join(parts)


def run(aws, folder, argv, env):
    aws.reset_counts()
    started = time.perf_counter()
    done = run_with_password(argv, PASSWORD, env=env, cwd=folder, timeout=900)
    wall = time.perf_counter() - started
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed:\n{done.stdout}{done.stderr}")
    return wall, aws.request_counts(), done.prompts


def cells(path):
    """The VPC sheet (the Coverage sheet's seconds differ from run to run)."""
    return [[c.value for c in row] for row in openpyxl.load_workbook(path).worksheets[0].iter_rows()]


def one_region(controller, env):
    with aws_sandbox.start() as aws, tempfile.TemporaryDirectory(prefix="generate-bench-") as folder:
        started = time.perf_counter()
        aws_sandbox.seed(aws.endpoint, one_region_estate())
        print(f"one region: seeded {VPCS} VPCs x {SUBNETS} subnets in {time.perf_counter() - started:.1f} s")
        folder = pathlib.Path(folder)
        write_config(folder, controller, [ACCOUNT], [REGION])
        env = {**env, **aws.env()}
        for option, output in (("-e", "out.xlsx"), ("-d", "out.yaml")):
            wall, counts, _ = run(aws, folder, [GENERATE, "-q", "-c", "config.yaml", option, output], env)
            total, detail = requests_by_action(counts)
            print(f"  generate {option} {output}: {wall:6.2f} s wall, {wall / VPCS * 1000:6.1f} ms per VPC, "
                  f"{total} AWS requests ({detail})")


def estate(controller, env, baseline):
    accounts, regions, vpcs, subnets = ESTATE_SHAPE
    generated = aws_sandbox.generated_estate(accounts, regions, vpcs, subnets)
    with aws_sandbox.start(latency_ms=0) as aws, tempfile.TemporaryDirectory(prefix="generate-bench-") as folder:
        started = time.perf_counter()
        aws_sandbox.seed(aws.endpoint, generated)
        print(f"estate: seeded {accounts} accounts x {regions} regions x {vpcs} VPCs x {subnets} subnets "
              f"in {time.perf_counter() - started:.1f} s; AWS now answers {LATENCY_MS} ms late")
        aws.set_latency(LATENCY_MS)
        folder = pathlib.Path(folder)
        write_config(folder, controller, generated, next(iter(generated.values())))
        env = {**env, **aws.env()}
        runs = [("--jobs 1", [GENERATE, "-q", "-c", "config.yaml", "--jobs", "1"]),
                ("default jobs", [GENERATE, "-q", "-c", "config.yaml"]),
                ("20% throttled", [GENERATE, "-q", "-c", "config.yaml"])]
        if baseline:
            runs.insert(0, ("baseline", [baseline, "-q", "-c", "config.yaml"]))
        artefacts = {}
        for label, argv in runs:
            name = "".join(c for c in label if c.isalnum())
            aws.set_faults(throttle=THROTTLED if label.endswith("throttled") else 0.0)
            wall, counts, prompts = run(aws, folder, [*argv, "-e", f"{name}.xlsx", "-d", f"{name}.yaml"], env)
            total, detail = requests_by_action(counts)
            retries = aws.faults()["throttled"]
            print(f"  generate -e -d ({label}): {wall:6.2f} s wall, {prompts} password prompt(s), "
                  f"{total} AWS requests ({detail})" + (f", {retries} throttled and retried" if retries else ""))
            artefacts[label] = ((folder / f"{name}.yaml").read_bytes(), cells(folder / f"{name}.xlsx"))
        first, *others = artefacts
        for label in others:
            same = artefacts[label] == artefacts[first]
            print(f"  artefacts of {label} and {first}: {'identical' if same else 'DIFFERENT'}")
            if not same:
                return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="another build's generate command, run on the estate as well")
    parser.add_argument("--only", choices=["one-region", "estate"], help="run one scenario only")
    args = parser.parse_args()
    env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
    names = {ACCOUNT: "bench", **{a: f"bench {n}" for n, a in enumerate(aws_sandbox.generated_estate(*ESTATE_SHAPE))}}
    with start_controller(names, "admin", PASSWORD) as controller:
        if args.only != "estate":
            one_region(controller, env)
        if args.only != "one-region":
            return estate(controller, env, args.baseline)
    return 0


if __name__ == "__main__":
    sys.exit(main())
