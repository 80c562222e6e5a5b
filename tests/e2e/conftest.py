"""Shared fixtures of the end-to-end tests: the built ornat-cli binary
(ORNAT_CLI, default <repo>/build/ornat-cli) run against the controller
simulator (sim/ornat_sim, under ORNAT_SOURCE_DIR, default two folders above
this file) on loopback.

start_simulator and simulator come from the simulator's pytest plugin
(sim/ornat_sim/pytest_plugin.py). cli(*args, env=None, timeout=120, cwd=None)
runs the binary with HOME at cli_home (which has "Downloads"); env adds to,
or with None values removes from, its clean environment; the output is
decoded as it is (CRLF kept). out is an empty folder for the tool's output. backup_of(sim, cli, folder, kind)
runs get_backup into folder and returns the archive (or, for a directory,
the folder). tool_version() is the binary's version as --version prints it,
tool_txt() the tool.txt that get_backup writes with it, newer_tool_txt() a
bare one of the next revision.
"""

import collections
import functools
import os
import pathlib
import re
import socket
import subprocess
import sys
import threading

import pytest

SOURCE_DIR = pathlib.Path(
    os.environ.get("ORNAT_SOURCE_DIR") or pathlib.Path(__file__).resolve().parents[2])
CLI_PATH = pathlib.Path(os.environ.get("ORNAT_CLI") or SOURCE_DIR / "build" / "ornat-cli")
sys.path.insert(0, str(SOURCE_DIR / "sim"))

from ornat_sim import pytest_plugin  # noqa: E402  (needs the path above)
from ornat_sim.pytest_plugin import simulator, start_simulator  # noqa: E402,F401


def pytest_configure(config):
    pytest_plugin.pytest_configure(config)
    config.addinivalue_line("markers", "windows: run through the Windows build under Wine by scripts/test-windows.sh too")


@pytest.fixture
def refusing_ip():
    """127.0.0.1:PORT where nothing listens on TCP, so connections are
    refused at once, and every TFTP request gets an error packet at once. A
    closed UDP port alone would not do: the tool's TFTP client does not see
    the port-unreachable answer and waits out its 30 s connect timeout."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", 0))
        udp.settimeout(0.1)
        stop = threading.Event()

        def refuse():
            while not stop.is_set():
                try:
                    udp.sendto(b"\0\x05\0\x02Access violation\0", udp.recvfrom(65536)[1])
                except socket.timeout:
                    pass

        thread = threading.Thread(target=refuse, daemon=True)
        thread.start()
        yield "127.0.0.1:%d" % udp.getsockname()[1]
        stop.set()
        thread.join()


@pytest.fixture
def ornat_cli():
    if not CLI_PATH.is_file() or not os.access(CLI_PATH, os.X_OK):
        pytest.fail("ornat-cli binary not found at %s (set ORNAT_CLI)" % CLI_PATH)
    return CLI_PATH


@pytest.fixture
def cli_home(tmp_path):
    home = tmp_path / "home"
    (home / "Downloads").mkdir(parents=True, exist_ok=True)
    return home


CliResult = collections.namedtuple("CliResult", "returncode stdout stderr")

_XDG_FOLDERS = {"XDG_CONFIG_HOME": ".config", "XDG_DATA_HOME": ".local/share", "XDG_CACHE_HOME": ".cache",
                "XDG_STATE_HOME": ".local/state", "XDG_RUNTIME_DIR": "runtime", "XDG_DOWNLOAD_DIR": "Downloads"}


def cli_environment(home, extra=None):
    """The environment of a tool run: the caller's, minus proxies and
    option-parser switches, with HOME and the XDG folders under `home`."""
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy", "posixly_correct")
           and not k.startswith("XDG_")}
    for key, sub in _XDG_FOLDERS.items():
        (home / sub).mkdir(parents=True, exist_ok=True)
        env[key] = str(home / sub)
    os.chmod(home / "runtime", 0o700)
    env.update(HOME=str(home), USERPROFILE=str(home), NO_PROXY="*")
    for key, value in (extra or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = str(value)
    return env


@pytest.fixture
def cli(ornat_cli, cli_home, tmp_path):
    """Runs the tool with the output decoded exactly as written: the tool
    ends its log lines with CRLF, which text mode would fold into LF."""
    def run(*args, env=None, timeout=120, cwd=None):
        completed = subprocess.run(
            [str(ornat_cli)] + [str(a) for a in args], env=cli_environment(cli_home, env),
            cwd=str(cwd or tmp_path), capture_output=True, timeout=timeout)
        return CliResult(completed.returncode, completed.stdout.decode("utf-8", "replace"),
                         completed.stderr.decode("utf-8", "replace"))
    return run


@pytest.fixture
def out(tmp_path):
    """An empty folder for the tool's output files."""
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


@functools.cache
def tool_version():
    """(major, minor, revision) from the binary's "Version X.Y.Z" line."""
    out = subprocess.run([str(CLI_PATH), "--version"], capture_output=True, timeout=120).stdout.decode()
    match = re.search(r"^Version (\d+)\.(\d+)\.(\d+)$", out, re.M)
    assert match, "no version line from %s --version: %r" % (CLI_PATH, out)
    return tuple(int(n) for n in match.groups())


def tool_txt(minor_step=0, revision_step=0):
    """tool.txt as get_backup writes it; the steps raise version_minor or
    version_revision and leave version_string."""
    major, minor, revision = tool_version()
    return ('{\n  "tool_name": "ornat-cli",\n  "version_major": %d,\n  "version_minor": %d,\n'
            '  "version_revision": %d,\n  "version_string": "%d.%d.%d"\n}\n'
            % (major, minor + minor_step, revision + revision_step, major, minor, revision)).encode()


def newer_tool_txt():
    major, minor, revision = tool_version()
    return b'{"tool_name": "ornat-cli", "version_major": %d, "version_minor": %d, "version_revision": %d}' % (
        major, minor, revision + 1)


def backup_of(sim, cli, folder, kind="zip"):
    folder.mkdir(parents=True, exist_ok=True)
    r = cli("--action", "get_backup", "--ip", sim.ip, "--backupfileout", folder, "--backupfileouttype", kind,
            timeout=300)
    assert r.returncode == 0, r.stdout
    if kind != "zip":
        return folder
    (archive,) = folder.glob("*.zip")
    return archive


def run_measured(ornat_cli, cli_home, folder, *args, timeout=120):
    """Runs the tool alone: (exit status, standard output, peak resident set
    in MiB of that run). GNU time starts it: a process started from this one
    would count this process's own memory in its peak."""
    with open(folder / "stdout.txt", "w+b") as out:
        report = folder / "peak.txt"
        process = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), str(ornat_cli)] +
                                 [str(a) for a in args], env=cli_environment(cli_home), cwd=str(folder), stdout=out,
                                 stderr=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        peak_kib = int(report.read_text().split()[-1])
        return process.returncode, out.read().decode("utf-8", "replace"), peak_kib / 1024


_SCHEMA = []


def json_document(result):
    """The one JSON document of a --json run's standard output, checked
    against docs/json-schema.json."""
    import json
    import jsonschema
    if not _SCHEMA:
        schema = json.loads((SOURCE_DIR / "docs" / "json-schema.json").read_text())
        _SCHEMA.append(jsonschema.Draft202012Validator(schema))
    assert result.stdout.endswith("}\n") and result.stdout.count("\n") == 1, result.stdout[-500:]
    document = json.loads(result.stdout)
    _SCHEMA[0].validate(document)
    assert document["exit_status"] == result.returncode
    return document
