"""Shared fixtures of the end-to-end tests: the built ornat-cli binary run
against the controller simulator (sim/ornat_sim) on loopback.

Environment:
    ORNAT_CLI         path of the built binary (default <repo>/build/ornat-cli)
    ORNAT_SOURCE_DIR  repository root (default: two folders above this file)

Fixtures:
    ornat_cli        Path of the binary; skips the test when it does not exist.
    start_simulator  factory: start_simulator(model=None, firmware=None,
                     faults=None, state=None, args=(), name=None) starts a
                     simulator and returns an ornat_sim.launcher.Simulator
                     (ip, state, request log, faults, direct requests); every
                     simulator started is stopped at teardown.
    simulator        one running default simulator (TARNEL-2, firmware 1.3.0).
    cli_home         Path of the clean home folder the binary runs with
                     (HOME; it holds an empty "Downloads" folder).
    run_cli          run_cli(*args, env=None, timeout=120, text=True,
                     input=None, cwd=None) -> CliResult(returncode, stdout,
                     stderr), unpackable as a 3-tuple; depends on ornat_cli,
                     so tests using it skip without a binary.
    cli              the same, with the output decoded as it is (CRLF kept).

The simulator's package is importable in tests (`from ornat_sim.sets import
SET_PATHS`, `from ornat_sim.tar import parse_tar`, ...).
"""

import collections
import os
import pathlib
import subprocess
import sys

import pytest

SOURCE_DIR = pathlib.Path(
    os.environ.get("ORNAT_SOURCE_DIR") or pathlib.Path(__file__).resolve().parents[2])
CLI_PATH = pathlib.Path(os.environ.get("ORNAT_CLI") or SOURCE_DIR / "build" / "ornat-cli")
sys.path.insert(0, str(SOURCE_DIR / "sim"))

from ornat_sim import launcher  # noqa: E402  (needs the path above)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that runs for several seconds")


@pytest.fixture
def start_simulator(tmp_path):
    with launcher.Simulators(tmp_path) as sims:
        yield sims.start


@pytest.fixture
def simulator(start_simulator):
    return start_simulator(model="TARNEL-2", firmware="1.3.0")


@pytest.fixture
def ornat_cli():
    if not CLI_PATH.is_file() or not os.access(CLI_PATH, os.X_OK):
        pytest.skip("ornat-cli binary not found at %s (set ORNAT_CLI)" % CLI_PATH)
    return CLI_PATH


@pytest.fixture
def cli_home(tmp_path):
    home = tmp_path / "home"
    (home / "Downloads").mkdir(parents=True, exist_ok=True)
    return home


CliResult = collections.namedtuple("CliResult", "returncode stdout stderr")


def cli_environment(home, extra=None):
    """The environment of a tool run: the caller's, minus proxies and
    option-parser switches, with HOME and the XDG folders under `home`."""
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "ftp_proxy",
                                "no_proxy", "posixly_correct")
           and not k.startswith("XDG_")}
    for sub in (".config", ".local/share", ".cache", ".local/state", "runtime"):
        (home / sub).mkdir(parents=True, exist_ok=True)
    os.chmod(home / "runtime", 0o700)
    env.update({
        "HOME": str(home),
        "USERPROFILE": str(home),
        "XDG_CONFIG_HOME": str(home / ".config"),
        "XDG_DATA_HOME": str(home / ".local/share"),
        "XDG_CACHE_HOME": str(home / ".cache"),
        "XDG_STATE_HOME": str(home / ".local/state"),
        "XDG_RUNTIME_DIR": str(home / "runtime"),
        "XDG_DOWNLOAD_DIR": str(home / "Downloads"),
        "NO_PROXY": "*",
    })
    if extra:
        for key, value in extra.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = str(value)
    return env


@pytest.fixture
def run_cli(ornat_cli, cli_home, tmp_path):
    """Runs the binary; env adds to (or, with None values, removes from) the
    clean environment."""

    def run(*args, env=None, timeout=120, text=True, input=None, cwd=None):
        completed = subprocess.run(
            [str(ornat_cli)] + [str(a) for a in args],
            env=cli_environment(cli_home, env), cwd=str(cwd or tmp_path),
            input=input, capture_output=True, timeout=timeout, text=text,
            **({"errors": "replace"} if text else {}))
        return CliResult(completed.returncode, completed.stdout, completed.stderr)

    return run


@pytest.fixture
def cli(run_cli):
    """run_cli with the output decoded exactly as written: the tool ends its
    log lines with CRLF, which text mode would fold into LF."""
    def run(*args, **kw):
        r = run_cli(*args, text=False, **kw)
        return CliResult(r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace"))
    return run
