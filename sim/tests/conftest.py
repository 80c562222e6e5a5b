"""Fixtures of the simulator's own tests: start_simulator and simulator
from the package's pytest plugin (ornat_sim/pytest_plugin.py); curl as the
reference client."""

import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from ornat_sim.pytest_plugin import pytest_configure, simulator, start_simulator  # noqa: E402,F401  (path above)


def curl(*args, timeout=60):
    return subprocess.run(["curl", "-s", "--noproxy", "*"] + [str(a) for a in args],
                          capture_output=True, timeout=timeout)


def tftp_upload(sim, path, blksize=128):
    return curl("--tftp-blksize", str(blksize), "-T", path, "tftp://%s/flashraw.bin" % sim.ip)
