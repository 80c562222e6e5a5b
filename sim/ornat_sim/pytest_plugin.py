"""The pytest fixtures of the simulator, for its own tests (sim/tests) and the
end-to-end tests (tests/e2e), whose conftest.py files import them (and
pytest_configure, which registers the slow marker). It is the one module of
the package that needs pytest.

start_simulator(model=None, firmware=None, faults=None, state=None, args=(),
name=None) starts an ornat_sim.launcher.Simulator (ip, state folder, request
log, faults, direct requests) with its state folder and request log under the
test's tmp_path; all are stopped at teardown. simulator is one with TARNEL-2,
firmware 1.3.0.
"""

import pytest

from ornat_sim import launcher


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that runs for several seconds")


@pytest.fixture
def start_simulator(tmp_path):
    with launcher.Simulators(tmp_path) as sims:
        yield sims.start


@pytest.fixture
def simulator(start_simulator):
    return start_simulator(model="TARNEL-2", firmware="1.3.0")
