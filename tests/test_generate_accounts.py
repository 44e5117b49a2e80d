"""Where the walked accounts come from (account_ids, the AWS organization, the controller),
how each is entered (role name, external ID) and the regions left out, through the walk
against moto's AWS with its Organizations."""
import logging
import sys

import boto3
import botocore.exceptions
import pytest
import yaml

import generator.generate as gen
from generator.config import load_config

REGION = "us-east-1"


def config_of(tmp_path, **keys):
    data = {"controller": {"ip": "127.0.0.1:9", "username": "admin"}, "defaults": {"role_name": "corvane-migration"},
            "aws_regions": [REGION], **keys}
    for key in [key for key, value in data.items() if value is None]:
        del data[key]
    path = tmp_path / "config.yaml"
    path.write_text(yaml.safe_dump(data), encoding="utf-8")
    return load_config(path)


@pytest.fixture
def organization(aws_calls, monkeypatch):
    """An organization of the base credentials' account (the management account): the root with
    the management account and one account, OU a with one account and a nested OU a1 with two
    (one of them suspended), OU b with one account."""
    monkeypatch.setattr(gen, "get_account_list", lambda config: [])
    client = boto3.client("organizations", region_name=REGION)
    client.create_organization(FeatureSet="ALL")
    root = client.list_roots()["Roots"][0]["Id"]
    ous = {"root": root}
    ous["a"] = client.create_organizational_unit(ParentId=root, Name="a")["OrganizationalUnit"]["Id"]
    ous["a1"] = client.create_organizational_unit(ParentId=ous["a"], Name="a1")["OrganizationalUnit"]["Id"]
    ous["b"] = client.create_organizational_unit(ParentId=root, Name="b")["OrganizationalUnit"]["Id"]
    accounts = {"management": client.describe_organization()["Organization"]["MasterAccountId"]}
    for name, ou in [("r", "root"), ("a", "a"), ("a1", "a1"), ("a1-closed", "a1"), ("b", "b")]:
        status = client.create_account(AccountName=name, Email=f"{name}@example.com")["CreateAccountStatus"]
        accounts[name] = status["AccountId"]
        if ou != "root":
            client.move_account(AccountId=status["AccountId"], SourceParentId=root, DestinationParentId=ous[ou])
    client.close_account(AccountId=accounts["a1-closed"])
    aws_calls.calls.clear()
    return ous, accounts


def walked(rows):
    return list(dict.fromkeys(row["account_id"] for row in rows))


@pytest.mark.parametrize(
    "include, exclude, exclude_accounts, expected, left_out, listed_parents",
    [
        (None, None, None, ["management", "r", "a", "a1", "b"], 0, 4),
        (["a"], None, None, ["a", "a1"], 0, 2),
        (["a1", "b"], None, None, ["a1", "b"], 0, 2),
        (["a"], ["a1"], None, ["a"], 1, 2),
        (None, ["a"], ["management"], ["r", "b"], 3, 4),
        (["root"], ["b"], ["a1", "r"], ["management", "a"], 3, 4),
    ],
)
def test_accounts_from_the_organization(tmp_path, organization, aws_calls, caplog, include, exclude,
                                        exclude_accounts, expected, left_out, listed_parents):
    ous, accounts = organization
    source = {"from": "organization", "include_ous": include and [ous[name] for name in include],
              "exclude_ous": exclude and [ous[name] for name in exclude],
              "exclude_accounts": exclude_accounts and [accounts[name] for name in exclude_accounts]}
    config = config_of(tmp_path, accounts={key: value for key, value in source.items() if value})
    with caplog.at_level(logging.INFO, logger="generator"):
        rows = gen.generate_tandrel_excel_data(config)
    assert walked(rows) == sorted(accounts[name] for name in expected)  # ascending, suspended never
    assert f"Accounts: {len(expected)} from the organization ({left_out} left out by exclude_ous/exclude_accounts)" \
        in caplog.messages
    # Requests grow with the OUs, not the accounts: one listing of accounts per parent in scope.
    organizations = [call[2] for call in aws_calls.calls if call[2].startswith("List") and "Parent" in call[2]
                     or call[2] == "ListRoots"]
    assert organizations.count("ListRoots") == 1
    assert organizations.count("ListOrganizationalUnitsForParent") == 4
    assert organizations.count("ListAccountsForParent") == listed_parents


def test_organization_that_gives_nothing_or_refuses(tmp_path, organization, aws_calls):
    ous, accounts = organization
    for source, message in [
        ({"include_ous": ["ou-zzzz-99999999"], "exclude_ous": [ous["b"], "r-zzzz"]},
         "no such OU in the organization: ou-zzzz-99999999 of accounts.include_ous, r-zzzz of accounts.exclude_ous"),
        ({"include_ous": [ous["a1"]], "exclude_accounts": [accounts["a1"]]}, "no account to walk"),
    ]:
        with pytest.raises(ValueError, match=message):
            gen.generate_tandrel_excel_data(config_of(tmp_path, accounts={"from": "organization", **source}))
    assert not aws_calls.operations("AssumeRole")
    aws_calls.answer("ListAccountsForParent", code="AccessDeniedException")
    with pytest.raises(botocore.exceptions.ClientError) as refused:
        gen.generate_tandrel_excel_data(config_of(tmp_path, accounts={"from": "organization"}))
    assert "organizations:ListAccountsForParent was refused" in str(refused.value)
    assert "management account or a delegated administrator" in str(refused.value)
    assert refused.value.response["Error"]["Code"] == "AccessDeniedException"


def test_accounts_from_the_controller_give_what_the_same_list_gives(tmp_path, aws, monkeypatch, caplog):
    records = [{"account_number": number, "account_name": name, "cloud_type": cloud}
               for number, name, cloud in [("333333333333", "c", 1), ("111111111111", "a", 1),
                                           ("azure-subscription", "z", 8), ("222222222222", "b", 1),
                                           ("444444444444", "d", 1)]]
    monkeypatch.setattr(gen, "get_account_list", lambda config: records)
    source = config_of(tmp_path, accounts={"from": "controller", "exclude_accounts": ["444444444444"]})
    listed = config_of(tmp_path, account_ids=["111111111111", "222222222222", "333333333333"])
    with caplog.at_level(logging.INFO, logger="generator"):
        from_controller = (gen.generate_tandrel_excel_data(source), gen.generate_min_tandrel_yaml(source))
    assert "Accounts: 3 from the controller (1 left out by exclude_accounts)" in caplog.messages
    assert walked(from_controller[0]) == ["111111111111", "222222222222", "333333333333"]
    assert from_controller == (gen.generate_tandrel_excel_data(listed), gen.generate_min_tandrel_yaml(listed))
    records[:] = [record for record in records if record["cloud_type"] != 1]
    with pytest.raises(ValueError, match="no account to walk"):
        gen.generate_tandrel_excel_data(source)


def test_overrides_reach_assume_role_and_the_artefacts(tmp_path, aws_calls, monkeypatch, caplog):
    monkeypatch.setattr(gen, "get_account_list", lambda config: [])
    config = config_of(
        tmp_path, account_ids=["111111111111", "222222222222", "333333333333"],
        account_overrides={"111111111111": {"role_name": "legacy"},
                           "222222222222": {"external_id": "ext-two-2222"},
                           "999999999999": {"role_name": "typo"}},
        defaults={"role_name": "corvane-migration", "external_id": "ext-site-0000"})
    with caplog.at_level(logging.DEBUG, logger="generator"):
        rows = gen.generate_tandrel_excel_data(config)
        inventory = gen.generate_min_tandrel_yaml(config)
    sent = [body for operation, body in aws_calls.requests if operation == "AssumeRole"]
    assert sorted({(body["RoleArn"], body.get("ExternalId")) for body in sent}) == [
        ("arn:aws:iam::111111111111:role/legacy", "ext-site-0000"),
        ("arn:aws:iam::222222222222:role/corvane-migration", "ext-two-2222"),
        ("arn:aws:iam::333333333333:role/corvane-migration", "ext-site-0000"),
    ]
    roles = {"111111111111": "legacy", "222222222222": "corvane-migration", "333333333333": "corvane-migration"}
    assert {row["account_id"]: row["role_name"] for row in rows} == roles
    assert {entry["account_id"]: entry["role_name"] for entry in inventory["account_info"]} == roles
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING and "account_overrides" in
                r.getMessage()]
    assert len(warnings) == 2 and all("999999999999" in message for message in warnings)
    # The external IDs are in no log line (debug dumps included) and no artefact.
    shown = caplog.text + repr(rows) + repr(inventory)
    assert "ext-" not in shown

    aws_calls.requests.clear()
    gen.generate_tandrel_excel_data(config_of(tmp_path, account_ids=["111111111111"]))
    assert [sorted(body) for operation, body in aws_calls.requests if operation == "AssumeRole"] == [
        ["Action", "RoleArn", "RoleSessionName", "Version"]]  # no ExternalId when none is given


@pytest.mark.parametrize("configured", [True, False])
def test_excluded_regions_are_neither_walked_nor_covered(tmp_path, aws_calls, monkeypatch, caplog, configured):
    monkeypatch.setattr(gen, "get_account_list", lambda config: [])
    offered = ["us-east-1", "eu-west-1", "ap-east-1"]
    aws_calls.answer("DescribeRegions", {"Regions": [{"RegionName": name} for name in offered]})
    exclude = ["ap-east-1", "us-east-1"]
    config = config_of(tmp_path, account_ids=["111111111111", "222222222222"], exclude_regions=exclude,
                       aws_regions=["eu-west-1"] if configured else None)
    with caplog.at_level(logging.INFO, logger="generator"):
        rows = gen.generate_tandrel_excel_data(config)
    assert {row["region"] for row in rows} == {"eu-west-1"}
    assert {call[1] for call in aws_calls.calls if call[1] is not None} <= {"eu-west-1", "us-east-2"}
    if not configured:  # the regions are listed where none is left out
        assert {call[1] for call in aws_calls.operations("DescribeRegions")} == {"us-east-2"}
    summary = [message for message in caplog.messages if message.startswith("Walk done")]
    assert summary[0].endswith(f"regions excluded {0 if configured else 4}")
    assert "Coverage: 2 ok, 0 skipped, 0 failed of 2 account-regions" in caplog.messages


def test_refusals_come_before_the_password_and_any_request(tmp_path, monkeypatch, capsys):
    def contact(*args, **kwargs):
        raise AssertionError("contacted")

    monkeypatch.setattr("getpass.getpass", contact)
    monkeypatch.setattr(boto3, "client", contact)
    monkeypatch.setattr(boto3.session, "Session", contact)
    path = tmp_path / "config.yaml"
    path.write_text("accounts: {from: organization, include_ous: [ou-1]}\naccount_ids: ['111111111111']\n"
                    "account_overrides: {'1': {role_name: x}}\nexclude_regions: [us-east-1]\n"
                    "aws_regions: [us-east-1]\ncontroller: {ip: c, username: a}\ndefaults: {role_name: r}\n")
    monkeypatch.setattr(sys, "argv", ["generate", "-c", str(path), "-e", str(tmp_path / "out.xlsx")])
    with pytest.raises(ValueError) as refused:
        gen.main()
    lines = str(refused.value).splitlines()
    assert lines[0] == f"{path}: invalid configuration:"
    assert [line.split(":")[0].strip() for line in lines[1:]] == [
        "account_ids, accounts", "accounts.include_ous.0", "account_overrides.1", "exclude_regions"]
    assert list(tmp_path.iterdir()) == [path]


def test_organization_and_walk_share_the_base_credentials(tmp_path, organization, monkeypatch):
    """A credential_process helper (a vault or SSO tool) runs once: the organization is listed with
    the credentials the walk then uses."""
    calls = tmp_path / "calls"
    helper = tmp_path / "vault.py"
    helper.write_text("import json\n"
                      f"open({str(calls)!r}, 'a').write('run\\n')\n"
                      "print(json.dumps({'Version': 1, 'AccessKeyId': 'testing', 'SecretAccessKey': 'testing'}))\n")
    (tmp_path / "aws-config").write_text(f"[profile vault]\ncredential_process = {sys.executable} {helper}\n")
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "aws-config"))
    monkeypatch.setenv("AWS_PROFILE", "vault")
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
        monkeypatch.delenv(name)
    rows = gen.generate_tandrel_excel_data(config_of(tmp_path, accounts={"from": "organization"}))
    assert len(walked(rows)) == 5
    assert calls.read_text() == "run\n"
