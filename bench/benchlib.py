"""Shared pieces of the benchmarks: the controller simulator on a free
loopback port, timing of whole commands and their peak memory. Importing
this puts sim/ on the path, so the benchmarks import ornat_sim after it."""

import os
import pathlib
import resource
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CLI = pathlib.Path(os.environ.get("ORNAT_CLI", ROOT / "build" / "ornat-cli"))
sys.path.insert(0, str(ROOT / "sim"))

from ornat_sim import launcher  # noqa: E402  (needs the path above)


def simulator(model="TARNEL-4", firmware="1.5.0"):
    """A running simulator without a request log, for a with block."""
    return launcher.running(model=model, firmware=firmware, log=False)


def run(command, cwd=None, env=None, status=0, shell=False):
    """(seconds, peak resident KiB) of one command, which must end with `status`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    completed = subprocess.run(command if shell else [str(c) for c in command], cwd=cwd, env=env, shell=shell,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    if completed.returncode != status:
        raise SystemExit("failed (%d): %s" % (completed.returncode, " ".join(map(str, command))))
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return seconds, max(peak, before)


def peak_kib(command, env=None):
    """Peak resident memory of one command, measured alone by GNU time's
    format in a child Python (ru_maxrss of RUSAGE_CHILDREN is a maximum
    over all children, so each measurement gets a fresh parent)."""
    code = ("import resource,subprocess,sys;"
            "subprocess.run(sys.argv[1:],stdout=subprocess.DEVNULL,stderr=subprocess.DEVNULL);"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", code] + [str(c) for c in command], capture_output=True, text=True,
                         env=env)
    return int(out.stdout.strip())


def best_of(n, command, cwd=None, env=None, status=0, shell=False):
    return min(run(command, cwd, env, status, shell)[0] for _ in range(n))


def without_downloads_folder():
    """An environment in which the tool finds no Downloads folder, so that
    restores and firmware pushes skip their safety backup and only the work
    under measurement is timed."""
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "USERPROFILE", "XDG_CONFIG_HOME")}
    return env


def report(name, tool_seconds, reference_seconds, reference_name):
    ratio = tool_seconds / reference_seconds if reference_seconds > 0 else float("inf")
    print("%-34s ornat-cli %8.3f s   %-18s %8.3f s   ratio %.2fx" %
          (name, tool_seconds, reference_name, reference_seconds, ratio))
    return ratio
