"""An installation without the migration model (tm.core.config): what needs no
model works, what needs it stops with one line saying how to install it."""
import os
import pathlib
import subprocess
import sys

import pytest
import yaml

import generator

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

SCRIPTS = pathlib.Path(sys.executable).parent
MISSING = (
    "error: the migration model tm.core.config cannot be imported (No module named 'tm'): install the stand-in "
    "with 'pip install ./migration-model' from the generator's source folder, or the Tandrel Migration package "
    "that provides it"
)

# Loaded at interpreter start-up from PYTHONPATH: makes the package `tm` unimportable, as if never installed.
HIDE_MODEL = '''
import sys

class _NoModel:
    def find_spec(self, name, path=None, target=None):
        if name == "tm" or name.startswith("tm."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, _NoModel())
'''


@pytest.fixture
def without_model(tmp_path):
    hide = tmp_path / "hide"
    hide.mkdir()
    (hide / "sitecustomize.py").write_text(HIDE_MODEL)
    (tmp_path / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": ["111111111111"], "controller": {"ip": "127.0.0.1:1", "username": "a"},
        "defaults": {"role_name": "r"},
    }))

    def run(command, *args):
        env = {k: v for k, v in os.environ.items() if k != "CORVANE_PASSWORD"}
        env["PYTHONPATH"] = str(hide)
        return subprocess.run([str(SCRIPTS / command), *args], cwd=tmp_path, capture_output=True, text=True,
                              timeout=120, stdin=subprocess.DEVNULL, env=env, start_new_session=True)

    return run


@pytest.mark.parametrize(
    "command, args, status, out",
    [
        ("generate", ["--version"], 0, f"generate {generator.__version__}\n"),
        ("convert", ["--version"], 0, f"convert {generator.__version__}\n"),
        ("generate", ["-h"], 0, "usage: generate"),
        ("convert", ["-h"], 0, "usage: convert"),
        ("generate", ["--example-config"], 0, "account_ids:"),
        # Stopped before the password is asked (there is none to read) and before the workbook is read (there is none).
        ("generate", ["-c", "config.yaml", "-d", "out.yaml"], 1, ""),
        ("convert", ["-e", "missing.xlsx", "-y", "out.yaml"], 1, ""),
    ],
)
def test_without_the_model(without_model, command, args, status, out):
    done = without_model(command, *args)
    assert done.returncode == status, done.stderr
    assert out in done.stdout
    if status:
        assert done.stderr.splitlines()[-1] == f"{command}: {MISSING}"
        assert "password" not in done.stderr
    else:
        assert done.stderr == ""
