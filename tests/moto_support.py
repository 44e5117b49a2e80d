"""Helpers over moto's in-process AWS (the fixtures `aws` and `aws_calls` are in conftest.py):
EC2 handles in an account reached by role, VPCs made to order."""
import generator.generate as gen


def handle(account, region, clear_default=False):
    """An EC2 resource acting in `account`, as the command makes one."""
    creds = gen.get_temp_creds_for_account(gen.get_role_arn(account, "corvane-migration"))
    ec2 = gen.get_ec2_resource_handler(region, creds)
    if clear_default:  # moto gives every region a default VPC; an estate made to order has none
        for vpc in list(ec2.vpcs.filter(Filters=[{"Name": "is-default", "Values": ["true"]}])):
            for subnet in vpc.subnets.all():
                subnet.delete()
            vpc.delete()
    return ec2


def new_vpc(ec2, cidr, name=None, subnets=(), ipv6=False):
    vpc = ec2.create_vpc(CidrBlock=cidr, AmazonProvidedIpv6CidrBlock=ipv6)
    if name is not None:
        vpc.create_tags(Tags=[{"Key": "Name", "Value": name}])
    for block in subnets:
        ec2.create_subnet(VpcId=vpc.id, CidrBlock=block)
    vpc.reload()
    return vpc


def vpc_ids(ec2):
    return [v.id for v in ec2.vpcs.all()]


__all__ = ["handle", "new_vpc", "vpc_ids"]
