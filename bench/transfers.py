#!/usr/bin/env python3
"""The tool's 2 MiB flash image read and its status read, against the
controller simulator, compared in one run with curl doing the same work
(TFTP with 128-byte blocks; one HTTP GET of the status)."""

import sys
import tempfile

import benchlib

ROUNDS = 5


def main():
    with benchlib.simulator() as sim, tempfile.TemporaryDirectory() as out:
        tool_read = benchlib.best_of(ROUNDS, [benchlib.CLI, "--action", "read_file_flashfs", "--ip", sim.ip,
                                              "--backupfileout", out, "--backupfileouttype", "bin"])
        curl_read = benchlib.best_of(ROUNDS, ["curl", "-s", "--tftp-blksize", "128", "-o", out + "/curl.bin",
                                              "tftp://%s/flashfs.bin" % sim.ip])
        tool_status = benchlib.best_of(ROUNDS, [benchlib.CLI, "--action", "get_status", "--ip", sim.ip])
        curl_status = benchlib.best_of(ROUNDS, ["curl", "-s", "-o", "/dev/null",
                                                "http://%s/api/v100/status.ssi" % sim.ip])
        print("best of %d runs each" % ROUNDS)
        benchlib.report("flash image read (2 MiB, TFTP)", tool_read, curl_read, "curl")
        benchlib.report("status read (HTTP)", tool_status, curl_status, "curl")


if __name__ == "__main__":
    sys.exit(main())
