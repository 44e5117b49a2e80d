"""VPCs shared through AWS RAM, as AWS shows them, for moto (which has no RAM sharing).

An owner account shares some subnets of one of its VPCs with a participant
account. In the participant, DescribeVpcs then lists the VPC with OwnerId the
owner's account, and DescribeSubnets lists only the shared subnets (each with
the owner's OwnerId); the owner sees its VPC as before.

    share(owner, region, vpc_id, participant, subnet_ids)

works in the process whose moto backends hold the VPC: the test's own (moto's
in-process mock) or the moto server's, which calls it for PUT /_sandbox/shares
(see sandbox.aws.seed). `forget()` drops every share; moto's reset does not.
"""

import threading

__all__ = ["share", "shares", "forget", "install"]

_lock = threading.Lock()
_shares = []  # {"owner", "region", "vpc_id", "participant", "subnet_ids"}
_installed = False


def share(owner, region, vpc_id, participant, subnet_ids):
    """Share the subnets `subnet_ids` of `owner`'s VPC `vpc_id` in `region` with `participant`."""
    install()
    with _lock:
        _shares.append({"owner": owner, "region": region, "vpc_id": vpc_id, "participant": participant,
                        "subnet_ids": list(subnet_ids)})


def shares():
    with _lock:
        return [dict(entry) for entry in _shares]


def forget():
    with _lock:
        _shares.clear()


def _shared_with(backend):
    """(owner's backend, share) of the shares that reach `backend`'s account and region."""
    from moto.ec2.models import ec2_backends

    with _lock:
        reaching = [entry for entry in _shares
                    if entry["participant"] == backend.account_id and entry["region"] == backend.region_name]
    return [(ec2_backends[entry["owner"]][entry["region"]], entry) for entry in reaching]


def install():
    """Teach moto's EC2 backend to list the VPCs and subnets shared with an account."""
    global _installed
    with _lock:
        if _installed:
            return
        _installed = True
    from moto.ec2.models import EC2Backend
    from moto.ec2.utils import generic_filter

    own_vpcs, own_subnets = EC2Backend.describe_vpcs, EC2Backend.describe_subnets

    def describe_vpcs(self, vpc_ids=None, filters=None):
        shared = {}
        for owner, entry in _shared_with(self):
            vpc = owner.vpcs.get(entry["vpc_id"])
            if vpc is not None:
                shared.setdefault(vpc.id, vpc)
        asked = set(vpc_ids or ())
        found = own_vpcs(self, vpc_ids=[i for i in asked if i not in shared] or None, filters=filters) \
            if not asked or asked - set(shared) else []
        extra = [vpc for vpc in shared.values() if not asked or vpc.id in asked]
        if filters:
            extra = generic_filter(filters, extra)
        return list(found) + extra

    def describe_subnets(self, subnet_ids=None, filters=None):
        shared = {}
        for owner, entry in _shared_with(self):
            for subnet in owner.describe_subnets(subnet_ids=None, filters={"vpc-id": [entry["vpc_id"]]}):
                if subnet.id in entry["subnet_ids"]:
                    shared.setdefault(subnet.id, subnet)
        asked = set(subnet_ids or ())
        found = own_subnets(self, [i for i in asked if i not in shared] or None, filters) \
            if not asked or asked - set(shared) else []
        extra = [subnet for subnet in shared.values() if not asked or subnet.id in asked]
        if filters:
            extra = generic_filter(filters, extra)
        return list(found) + extra

    EC2Backend.describe_vpcs = describe_vpcs
    EC2Backend.describe_subnets = describe_subnets
