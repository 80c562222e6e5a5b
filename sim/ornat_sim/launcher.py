"""Starts the simulator as a subprocess on a free loopback port and talks to
it: the request log, the fault switches, the state folder's files and plain
HTTP requests. The end-to-end tests, the simulator's own tests and the
benchmarks use it as a library; scripts use its command line:

    PYTHONPATH=sim python3 -m ornat_sim.launcher [simulator options] -- COMMAND [ARG...]

runs COMMAND with ORNAT_SIM_IP=127.0.0.1:PORT in its environment while a
simulator (with a temporary state folder) runs, stops the simulator after
it, and exits with COMMAND's status.
"""

import contextlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from .faults import FAULT_KEYS
from .request_log import read_log
from .sets import SET_PATHS
from .tar import parse_tar

SIM_SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "controller_sim.py"
STARTUP_TIMEOUT = 20.0


class Simulator:
    """A running controller simulator.

    Attributes: port (int), address ("127.0.0.1"), ip ("127.0.0.1:PORT", the
    --ip value for the tool), state (Path of the state folder), log_path
    (Path of its JSON-lines request log, or None), process (subprocess.Popen),
    stderr_lines (what it wrote on standard error so far).
    """

    def __init__(self, process, port, state, log_path, address="127.0.0.1"):
        self.process = process
        self.port = port
        self.address = address
        self.ip = "%s:%d" % (address, port)
        self.state = pathlib.Path(state)
        self.log_path = log_path
        self.stderr_lines = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- request log ----------------------------------------------------------

    def log_entries(self, kind=None):
        """The request log as a list of dicts (only `kind` entries when given)."""
        return read_log(self.log_path, kind) if self.log_path else []

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
        tmp = self.state / ".faults.json.tmp"
        tmp.write_text(json.dumps(faults), encoding="utf-8")
        os.replace(tmp, self.state / "faults.json")

    def clear_faults(self):
        (self.state / "faults.json").unlink(missing_ok=True)

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
        self.device_path(path).unlink(missing_ok=True)

    def last_upload(self):
        """Bytes of the most recent TFTP upload, or None."""
        try:
            return (self.state / "last_upload.bin").read_bytes()
        except FileNotFoundError:
            return None

    # -- direct requests --------------------------------------------------------

    def http_get(self, target, timeout=10):
        """(status code, body bytes) of GET target; HTTP errors included."""
        try:
            with urllib.request.urlopen("http://%s%s" % (self.ip, target), timeout=timeout) as reply:
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
    for chunk in iter(stream.readline, b""):
        sink.append(chunk)


def launch(base, model=None, firmware=None, faults=None, state=None, args=(), name="sim",
           log=True):
    """Starts the simulator on a free port of 127.0.0.1 with its state folder
    (unless `state` is given) and request log (unless `log` is false) under
    `base`; returns a Simulator once it prints its "listening on" line."""
    base = pathlib.Path(base)
    state = pathlib.Path(state) if state is not None else base / (name + "-state")
    log_path = base / (name + ".log.jsonl") if log else None
    command = [sys.executable or "python3", str(SIM_SCRIPT), "--address", "127.0.0.1", "--port", "0",
               "--state", str(state)]
    if log_path:
        command += ["--log", str(log_path)]
    if model is not None:
        command += ["--model", model]
    if firmware is not None:
        command += ["--firmware", firmware]
    if faults:
        command += ["--faults", json.dumps(faults)]
    command += [str(a) for a in args]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    first = []
    reader = threading.Thread(target=lambda: first.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(STARTUP_TIMEOUT)
    line = (first[0] if first else b"").decode("utf-8", "replace").strip()
    if not line.startswith("listening on "):
        process.kill()
        process.wait()
        errors = process.stderr.read().decode("utf-8", "replace")
        raise RuntimeError("simulator did not start: %r\n%s" % (line, errors))
    sim = Simulator(process, int(line.rsplit(":", 1)[1]), state, log_path)
    # Keep the pipes drained so a chatty simulator never blocks on them.
    threading.Thread(target=_drain, args=(process.stderr, sim.stderr_lines), daemon=True).start()
    threading.Thread(target=_drain, args=(process.stdout, []), daemon=True).start()
    return sim


class Simulators:
    """Simulators started under one folder (a temporary one, removed at the
    end, when none is given); every one is stopped at the end."""

    def __init__(self, base=None):
        self.temporary = tempfile.mkdtemp(prefix="ornat-sim-") if base is None else None
        self.base = pathlib.Path(base if base is not None else self.temporary)
        self.started = []

    def start(self, name=None, **options):
        """launch() under the common folder; names default to sim0, sim1, ..."""
        sim = launch(self.base, name=name or "sim%d" % len(self.started), **options)
        self.started.append(sim)
        return sim

    def close(self):
        for sim in self.started:
            sim.stop()
        if self.temporary:
            shutil.rmtree(self.temporary, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@contextlib.contextmanager
def running(**options):
    """One simulator, in a temporary folder, for the length of a with block."""
    with Simulators() as sims:
        yield sims.start(**options)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if "--" not in argv or argv.index("--") == len(argv) - 1:
        sys.stderr.write("usage: python3 -m ornat_sim.launcher [simulator options] -- COMMAND [ARG...]\n")
        return 2
    split = argv.index("--")
    with running(args=argv[:split], log=False) as sim:
        env = dict(os.environ, ORNAT_SIM_IP=sim.ip)
        return subprocess.run(argv[split + 1:], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
