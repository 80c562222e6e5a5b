"""Fixtures of the simulator's own tests: simulators started through the
package's launcher, each with its state folder and request log under the
test's tmp_path, all stopped at teardown; curl as the reference client."""

import pathlib
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

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


def curl(*args, timeout=60):
    return subprocess.run(["curl", "-s", "--noproxy", "*"] + [str(a) for a in args],
                          capture_output=True, timeout=timeout)


def tftp_upload(sim, path, blksize=128):
    return curl("--tftp-blksize", str(blksize), "-T", path, "tftp://%s/flashraw.bin" % sim.ip)
