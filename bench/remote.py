#!/usr/bin/env python3
"""A full get_backup from a controller 20 ms away (the simulator's latency
switch: 10 ms each way for every packet), compared in one run with the same
requests made by curl: the 603 set URLs one after another, each over a fresh
connection, and the TFTP read of flashfs.bin in 128-byte blocks. Then the
same backup with --tftpblksize 1428. Prints the times, the ratio to curl,
the speed-up of the larger blocks and whether each backup completed (exit
status 0 and the controller's flashfs.bin in the archive). Each is run once:
with 128-byte blocks a backup takes about six minutes at this round trip."""

import pathlib
import subprocess
import sys
import tempfile
import time
import zipfile

import benchlib
from ornat_sim.sets import CONFIG_SETS

ROUND_TRIP = 0.020


def timed(command):
    """(seconds, exit status) of one command."""
    start = time.perf_counter()
    completed = subprocess.run([str(c) for c in command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start, completed.returncode


def backup(sim, folder, extra=()):
    """(seconds, completed) of one get_backup into a new folder."""
    folder.mkdir()
    seconds, status = timed([benchlib.CLI, "--action", "get_backup", "--ip", sim.ip, "--backupfileout", folder,
                             "--backupfileouttype", "zip", *extra])
    archives = list(folder.glob("*.zip"))
    completed = False
    if status == 0 and len(archives) == 1:
        with zipfile.ZipFile(archives[0]) as z:
            completed = "flashfs.bin" in z.namelist() and \
                z.read("flashfs.bin") == (sim.state / "flashfs.bin").read_bytes()
    return seconds, completed


def main():
    faults = {"latency": ROUND_TRIP / 2}
    with benchlib.launcher.running(model="TARNEL-4", firmware="1.5.0", log=False, faults=faults) as sim, \
            tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        urls = work / "urls.txt"
        urls.write_text("".join('url = "http://%s/api/v100/backup.ssi?config=%s"\noutput = "%s/%s.tar"\n'
                                % (sim.ip, name, work, name) for name, _ in CONFIG_SETS))
        curl_sets = ["curl", "-s", "-H", "Connection: close", "-K", urls]
        curl_flash = ["curl", "-s", "--tftp-blksize", "128", "-o", work / "flashfs.bin",
                      "tftp://%s/flashfs.bin" % sim.ip]

        tool_seconds, tool_done = backup(sim, work / "tool-128")
        curl_seconds = 0.0
        for command in (curl_sets, curl_flash):
            seconds, status = timed(command)
            if status != 0:
                raise SystemExit("curl failed (%d): %s" % (status, " ".join(map(str, command))))
            curl_seconds += seconds
        big_seconds, big_done = backup(sim, work / "tool-1428", ["--tftpblksize", "1428"])

        print("round trip %.0f ms (simulator latency switch), one run each" % (ROUND_TRIP * 1000))
        benchlib.report("get_backup (603 sets + flashfs)", tool_seconds, curl_seconds, "curl")
        print("%-34s ornat-cli %8.3f s   %.1fx faster than with 128-byte blocks" %
              ("get_backup --tftpblksize 1428", big_seconds, tool_seconds / big_seconds))
        print("backup complete: %s with 128-byte blocks, %s with 1428-byte blocks" %
              ("yes" if tool_done else "NO", "yes" if big_done else "NO"))
        return 0 if tool_done and big_done else 1


if __name__ == "__main__":
    sys.exit(main())
