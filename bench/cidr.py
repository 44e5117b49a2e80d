"""Time compute_crvn_cidr on a crowded VPC against the same walk in Python.

One VPC 10.0.0.0/16 with 300 subnets, listed in scattered order, that leave
only the last /27 free: the walk has to pass almost every candidate. The
logger is at INFO, as in a normal run. Prints the time per call of both and
their ratio.
"""
import ipaddress
import logging
import random
import sys
import timeit
from types import SimpleNamespace

import generator.generate as gen

log = logging.getLogger("generator.generate")


class Subnets:
    def __init__(self, subnets):
        self._subnets = subnets

    def page_size(self, count):
        return iter(self._subnets)


def crowded_vpc(seed=7):
    blocks = [f"10.0.{i}.0/24" for i in range(3, 250)]  # 247
    blocks += [f"10.0.{i}.{half}/25" for i in range(3) for half in (0, 128)]  # 6
    blocks += [str(n) for n in ipaddress.ip_network("10.0.250.0/23").subnets(new_prefix=27)]  # 16
    blocks += [str(n) for n in ipaddress.ip_network("10.0.252.0/23").subnets(new_prefix=27)]  # 16
    blocks += [str(n) for n in list(ipaddress.ip_network("10.0.254.0/23").subnets(new_prefix=27))[:15]]  # 15
    random.Random(seed).shuffle(blocks)
    assert len(blocks) == 300
    subnets = [SimpleNamespace(id=f"subnet-{i:03d}", cidr_block=b) for i, b in enumerate(blocks)]
    return SimpleNamespace(id="vpc-bench", cidr_block="10.0.0.0/16", subnets=Subnets(subnets), tags=None)


def python_walk(vpc, hpe):
    """The walk as ipaddress objects do it: every candidate, each against the subnets until one overlaps."""
    viable_subnets = []
    prefix = 25 if hpe else 27
    vpc_cidr = ipaddress.ip_network(vpc.cidr_block)
    log.debug("VPC cidr_block: %s", vpc_cidr)
    vpc_subnets = [ipaddress.ip_network(s.cidr_block) for s in vpc.subnets.page_size(count=gen.SUBNET_PAGE_SIZE)]
    for subnet in ipaddress.ip_network(vpc_cidr).subnets(new_prefix=prefix):
        log.debug("Checking candidate subnet: %s", subnet)
        if any(subnet.overlaps(s) for s in vpc_subnets):
            log.debug("Subnet '%s' overlaps with existing subnet.", subnet)
        else:
            log.debug("Subnet '%s' is viable.", subnet)
            viable_subnets.append(subnet)
    if not viable_subnets:
        return ""
    return str(viable_subnets[0])


def per_call(func, *args):
    number = 1
    while timeit.timeit(lambda: func(*args), number=number) < 0.2:
        number *= 2
    return min(timeit.repeat(lambda: func(*args), number=number, repeat=5)) / number


def main():
    logging.getLogger("generator").setLevel(logging.INFO)
    vpc = crowded_vpc()
    native = gen.compute_crvn_cidr(vpc, False)
    python = python_walk(vpc, False)
    assert native == python == "10.0.255.224/27", (native, python)

    t_native = per_call(gen.compute_crvn_cidr, vpc, False)
    t_python = per_call(python_walk, vpc, False)
    print(f"VPC 10.0.0.0/16, 300 subnets, first free /27: {native}")
    print(f"compute_crvn_cidr (C++):        {t_native * 1e6:10.1f} us per call")
    print(f"ipaddress walk (Python):        {t_python * 1e6:10.1f} us per call")
    print(f"ratio:                          {t_python / t_native:10.0f} x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
