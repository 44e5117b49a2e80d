"""Time the generate command end to end against a seeded AWS (moto's server).

1 account, 1 region, 200 VPCs of 10 subnets each; the substitute controller
answers the login. Runs the installed console script twice, once with -e
(workbook) and once with -d (inventory), typing the password at a
pseudo-terminal, and prints for each: wall time, time per VPC and the
requests the AWS server received.
"""
import os
import pathlib
import sys
import tempfile
import time

import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the sandbox beside bench/

from sandbox import aws as aws_sandbox
from sandbox.controller import start as start_controller
from sandbox.terminal import run_with_password

ACCOUNT = "111111111111"
REGION = "eu-west-1"
VPCS = 200
SUBNETS = 10
PASSWORD = "bench"
GENERATE = str(pathlib.Path(sys.executable).parent / "generate")


def estate():
    vpcs = []
    for i in range(VPCS):
        vpcs.append({
            "cidr": f"10.{i}.0.0/16",
            "name": f"bench vpc {i}" if i % 2 else None,
            "subnets": [f"10.{i}.{j}.0/24" for j in range(SUBNETS)],
        })
    return {ACCOUNT: {REGION: vpcs}}


def main():
    with start_controller({ACCOUNT: "bench"}, "admin", PASSWORD) as controller, aws_sandbox.start() as aws, \
            tempfile.TemporaryDirectory(prefix="generate-bench-") as folder:
        started = time.perf_counter()
        aws_sandbox.seed(aws.endpoint, estate())
        print(f"seeded {VPCS} VPCs x {SUBNETS} subnets in {time.perf_counter() - started:.1f} s")
        folder = pathlib.Path(folder)
        (folder / "config.yaml").write_text(yaml.safe_dump({
            "account_ids": [ACCOUNT],
            "aws_regions": [REGION],
            "controller": {"ip": controller.address, "username": "admin"},
            "defaults": {"role_name": "corvane-migration"},
        }))
        env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
        env.update(aws_sandbox.client_env(aws.endpoint))

        for option, output in (("-e", "out.xlsx"), ("-d", "out.yaml")):
            aws.reset_counts()
            started = time.perf_counter()
            done = run_with_password([GENERATE, "-q", "-c", "config.yaml", option, output], PASSWORD,
                                     env=env, cwd=folder)
            wall = time.perf_counter() - started
            if done.returncode != 0:
                print(done.stdout, done.stderr, file=sys.stderr)
                return 1
            counts = aws.request_counts()
            ec2 = counts.get("ec2", {})
            detail = ", ".join(f"{action} {n}" for action, n in sorted(ec2.items()))
            print(f"generate {option} {output}: {wall:6.2f} s wall, {wall / VPCS * 1000:6.1f} ms per VPC, "
                  f"{sum(ec2.values())} EC2 requests ({detail}), "
                  f"{sum(counts.get('sts', {}).values())} STS requests")
    return 0


if __name__ == "__main__":
    sys.exit(main())
