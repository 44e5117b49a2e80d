"""generate at enterprise scale against the synthetic AWS (sandbox/synthetic_aws.py).

The estate: N accounts (default 1,000), the 17 regions of each discovered through
DescribeRegions, a default VPC in every region and three more VPCs in two regions of each
account (23 VPCs per account). `generate -e -d` with default options, the password from
CORVANE_PASSWORD, the substitute controller naming every account. Printed per run: wall time,
peak RSS of all the run's processes together (sampled), CPU seconds (user + system) in all and
per (account, region), and the AWS requests by action.

Runs, in this order:
- "walk":  AWS answering 100 ms late (--latency-ms);
- "cpu":   AWS answering at once: CPU per (account, region);
- "debug": with -v, AWS at once, the log thrown away: peak RSS.

    python bench/scale.py [--accounts 1000] [--latency-ms 100] [--only walk,cpu,debug]
                          [--generate OTHER/bin/generate] [--jobs N]

--generate times another build of the command (the one before a change, say).
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the sandbox beside bench/

from sandbox.controller import start as start_controller
from sandbox.synthetic_aws import Estate
from sandbox.synthetic_aws import start as start_aws

PASSWORD = "bench"
GENERATE = str(pathlib.Path(sys.executable).parent / "generate")


def tree_rss(root):
    """Resident memory of a process and all its descendants, in bytes."""
    total, pending = 0, [root]
    while pending:
        pid = pending.pop()
        try:
            with open(f"/proc/{pid}/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1]) * 1024
            for task in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{task}/children") as children:
                    pending.extend(int(c) for c in children.read().split())
        except (FileNotFoundError, ProcessLookupError):
            continue
    return total


class Run:
    """One generate process: wall time, sampled peak RSS of its tree, CPU from wait4."""

    def __init__(self, argv, env, cwd, stderr):
        self.started = time.perf_counter()
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=stderr)
        self.peak = 0
        self._sampler = threading.Thread(target=self._sample, daemon=True)
        self._sampler.start()

    def _sample(self):
        while self.process.returncode is None:
            self.peak = max(self.peak, tree_rss(self.process.pid))
            time.sleep(0.05)

    def wait(self):
        _, status, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = os.waitstatus_to_exitcode(status)
        self.wall = time.perf_counter() - self.started
        self.cpu = usage.ru_utime + usage.ru_stime
        self.peak = max(self.peak, usage.ru_maxrss * 1024)
        return self


def requests_text(counts):
    return f"{sum(counts.values())} requests (" + ", ".join(f"{a} {n}" for a, n in sorted(counts.items())) + ")"


class Bench:
    def __init__(self, args, folder, controller, aws, pairs):
        self.args, self.folder, self.aws, self.pairs = args, folder, aws, pairs
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        self.env.update(aws.env(), CORVANE_PASSWORD=PASSWORD)
        (folder / "config.yaml").write_text(yaml.safe_dump({
            "account_ids": list(args.account_ids),
            "aws_regions": [],
            "controller": {"ip": controller.address, "username": "admin"},
            "defaults": {"role_name": "corvane-migration"},
        }))

    def argv(self, name, *extra):
        jobs = ["--jobs", str(self.args.jobs)] if self.args.jobs else []
        return [self.args.generate, "-q", "-c", "config.yaml", "-e", f"{name}.xlsx", "-d", f"{name}.yaml",
                *jobs, *extra]

    def run(self, label, argv, latency_ms, log=None, expect=0):
        self.aws.set_latency(latency_ms)
        self.aws.reset()
        with open(self.folder / "err.log", "w") as errors:
            done = Run(argv, self.env, self.folder, log or errors).wait()
        counts = self.aws.counts()
        if done.process.returncode != expect:
            tail = pathlib.Path(self.folder / "err.log").read_text()[-3000:]
            raise RuntimeError(f"{label}: exit status {done.process.returncode}\n{tail}")
        print(f"  {label:<22} {done.wall:7.1f} s wall, peak RSS {done.peak / 2**20:6.0f} MiB, CPU {done.cpu:6.1f} s "
              f"= {done.cpu / self.pairs * 1000:5.1f} ms per (account, region); {requests_text(counts)}", flush=True)
        return done, counts

    def walk(self):
        return self.run(f"walk at {self.args.latency_ms:g} ms", self.argv("walk"), self.args.latency_ms)

    def cpu(self):
        return self.run("walk at 0 ms", self.argv("cpu"), 0)

    def debug(self):
        with open(os.devnull, "w") as sink:
            return self.run("-v at 0 ms", [*self.argv("debug"), "-v"], 0, log=sink)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--accounts", type=int, default=1000)
    parser.add_argument("--latency-ms", type=float, default=100.0)
    parser.add_argument("--jobs", type=int, help="--jobs for generate (default: its own default)")
    parser.add_argument("--only", default="walk,cpu,debug", help="runs to make, comma-separated")
    parser.add_argument("--generate", default=GENERATE, help="the generate command to time")
    args = parser.parse_args()
    runs = args.only.split(",")
    estate = Estate.generated(args.accounts)
    args.account_ids = estate.accounts
    pairs = len(estate.pairs())
    print(f"estate: {args.accounts} accounts x 17 regions (discovered), {estate.total_vpcs()} VPCs; "
          f"{pairs} (account, region) pairs; AWS answers {args.latency_ms:g} ms late in the walks")
    names = {a: f"bench {n}" for n, a in enumerate(estate.accounts)}
    with start_controller(names, "admin", PASSWORD) as controller, start_aws(estate) as aws, \
            tempfile.TemporaryDirectory(prefix="generate-scale-") as folder:
        bench = Bench(args, pathlib.Path(folder), controller, aws, pairs)
        if "walk" in runs:
            bench.walk()
        if "cpu" in runs:
            bench.cpu()
        if "debug" in runs:
            bench.debug()
    return 0


if __name__ == "__main__":
    sys.exit(main())
