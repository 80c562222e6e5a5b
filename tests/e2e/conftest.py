"""Shared fixtures of the end-to-end tests: the built ornat-cli binary run
against the controller simulator (sim/controller_sim.py) on loopback.

Environment:
    ORNAT_CLI         path of the built binary (default <repo>/build/ornat-cli)
    ORNAT_SOURCE_DIR  repository root (default: two folders above this file)

Fixtures:
    ornat_cli        Path of the binary; skips the test when it does not exist.
    start_simulator  factory: start_simulator(model=None, firmware=None,
                     faults=None, state=None, args=(), name="sim") starts a
                     simulator and returns a Simulator; every simulator
                     started is stopped at teardown.
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
import json
import os
import pathlib
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

SOURCE_DIR = pathlib.Path(
    os.environ.get("ORNAT_SOURCE_DIR") or pathlib.Path(__file__).resolve().parents[2])
CLI_PATH = pathlib.Path(os.environ.get("ORNAT_CLI") or SOURCE_DIR / "build" / "ornat-cli")
SIM_SCRIPT = SOURCE_DIR / "sim" / "controller_sim.py"
PYTHON = sys.executable or "/usr/bin/python3"

if str(SIM_SCRIPT.parent) not in sys.path:
    sys.path.insert(0, str(SIM_SCRIPT.parent))

from ornat_sim.faults import FAULT_KEYS  # noqa: E402  (needs the path above)
from ornat_sim.sets import SET_PATHS  # noqa: E402
from ornat_sim.tar import parse_tar  # noqa: E402

STARTUP_TIMEOUT = 20.0


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that runs for several seconds")


class Simulator:
    """A running controller simulator.

    Attributes: port (int), address ("127.0.0.1"), ip ("127.0.0.1:PORT", the
    --ip value for the tool), state (Path of the state folder), log_path
    (Path of its JSON-lines request log), process (subprocess.Popen).
    """

    def __init__(self, process, port, state, log_path, address="127.0.0.1"):
        self.process = process
        self.port = port
        self.address = address
        self.ip = "%s:%d" % (address, port)
        self.state = state
        self.log_path = log_path

    # -- request log ----------------------------------------------------------

    def log_entries(self, kind=None):
        """The request log as a list of dicts (only `kind` entries when given)."""
        try:
            text = self.log_path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        entries = [json.loads(line) for line in text.splitlines() if line.strip()]
        if kind is not None:
            entries = [e for e in entries if e.get("kind") == kind]
        return entries

    def http_targets(self):
        """The HTTP request targets in arrival order."""
        return [e["target"] for e in self.log_entries("http")]

    def wait_for_log(self, predicate, timeout=5.0):
        """The first log entry for which predicate(entry) is true, waiting up
        to `timeout` seconds for it (a TFTP read logs its end a moment after
        the client has finished). A string predicate matches the kind."""
        if isinstance(predicate, str):
            kind = predicate
            predicate = lambda e: e.get("kind") == kind  # noqa: E731
        deadline = time.monotonic() + timeout
        while True:
            for entry in self.log_entries():
                if predicate(entry):
                    return entry
            if time.monotonic() > deadline:
                raise AssertionError("no matching log entry within %.1f s" % timeout)
            time.sleep(0.02)

    # -- faults ---------------------------------------------------------------

    def set_faults(self, faults):
        """Replaces the run-time fault switches (DIR/faults.json, written
        atomically); takes effect with the next request. {} clears them
        (start-time faults from options stay in force)."""
        unknown = set(faults) - set(FAULT_KEYS)
        if unknown:
            raise ValueError("unknown fault keys: %s" % sorted(unknown))
        path = self.state / "faults.json"
        tmp = self.state / ".faults.json.tmp"
        tmp.write_text(json.dumps(faults), encoding="utf-8")
        os.replace(tmp, path)

    def clear_faults(self):
        try:
            (self.state / "faults.json").unlink()
        except FileNotFoundError:
            pass

    # -- files ----------------------------------------------------------------

    def device_path(self, path):
        """Path in the state folder of a device path ("/etc/config/dali/dali1.bin")
        or a configuration set name ("dali1")."""
        if "/" not in path:
            path = SET_PATHS[path]
        full = (self.state / path.lstrip("/")).resolve()
        if self.state.resolve() not in full.parents:
            raise ValueError("path outside the state folder: %r" % path)
        return full

    def read_device_file(self, path):
        """Bytes of a controller file, or None when it does not exist."""
        try:
            return self.device_path(path).read_bytes()
        except FileNotFoundError:
            return None

    def write_device_file(self, path, data):
        full = self.device_path(path)
        full.parent.mkdir(parents=True, exist_ok=True)
        full.write_bytes(data)

    def remove_device_file(self, path):
        try:
            self.device_path(path).unlink()
        except FileNotFoundError:
            pass

    def last_upload(self):
        """Bytes of the most recent TFTP upload, or None."""
        try:
            return (self.state / "last_upload.bin").read_bytes()
        except FileNotFoundError:
            return None

    # -- direct requests --------------------------------------------------------

    def http_get(self, target, timeout=10):
        """(status code, body bytes) of GET target; HTTP errors included."""
        url = "http://%s%s" % (self.ip, target)
        try:
            with urllib.request.urlopen(url, timeout=timeout) as reply:
                return reply.status, reply.read()
        except urllib.error.HTTPError as err:
            return err.code, err.read()

    def status(self):
        """The status object as a dict."""
        code, body = self.http_get("/api/v100/status.ssi")
        assert code == 200, body
        return json.loads(body)

    def fetch_set(self, name):
        """[(name, type, bytes)] of the tar the simulator serves for a set."""
        code, body = self.http_get("/api/v100/backup.ssi?config=" + name)
        assert code == 200, body
        return parse_tar(body)

    # -- life cycle -------------------------------------------------------------

    def stop(self, timeout=10):
        """Stops the simulator (SIGTERM, then SIGKILL); returns its exit status."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream:
                stream.close()
        return self.process.returncode


def _drain(stream, sink):
    for chunk in iter(lambda: stream.readline(), b""):
        sink.append(chunk)


def launch_simulator(base, model=None, firmware=None, faults=None, state=None, args=(),
                     name="sim"):
    """Starts sim/controller_sim.py with files under `base`; returns a
    Simulator once it prints its "listening on" line."""
    base = pathlib.Path(base)
    state = pathlib.Path(state) if state is not None else base / (name + "-state")
    log_path = base / (name + ".log.jsonl")
    command = [PYTHON, str(SIM_SCRIPT), "--address", "127.0.0.1", "--port", "0",
               "--state", str(state), "--log", str(log_path)]
    if model is not None:
        command += ["--model", model]
    if firmware is not None:
        command += ["--firmware", firmware]
    if faults:
        command += ["--faults", json.dumps(faults)]
    command += [str(a) for a in args]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    result = {}

    def read_first_line():
        result["line"] = process.stdout.readline()

    reader = threading.Thread(target=read_first_line, daemon=True)
    reader.start()
    reader.join(STARTUP_TIMEOUT)
    line = result.get("line", b"").decode("utf-8", "replace").strip()
    if not line.startswith("listening on "):
        process.kill()
        process.wait()
        errors = process.stderr.read().decode("utf-8", "replace")
        raise RuntimeError("simulator did not start: %r\n%s" % (line, errors))
    port = int(line.rsplit(":", 1)[1])
    # Keep the pipes drained so a chatty simulator never blocks on them.
    stderr_lines = []
    threading.Thread(target=_drain, args=(process.stderr, stderr_lines), daemon=True).start()
    threading.Thread(target=_drain, args=(process.stdout, []), daemon=True).start()
    sim = Simulator(process, port, state, log_path)
    sim.stderr_lines = stderr_lines
    return sim


@pytest.fixture
def start_simulator(tmp_path):
    started = []

    def start(model=None, firmware=None, faults=None, state=None, args=(), name=None):
        sim = launch_simulator(tmp_path, model=model, firmware=firmware, faults=faults,
                               state=state, args=args, name=name or "sim%d" % len(started))
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


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
