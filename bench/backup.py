#!/usr/bin/env python3
"""A full get_backup (603 configuration sets and the flash file system image)
against the controller simulator, compared in one run with the same requests
made by curl: one curl process given all 603 set URLs with a fresh
connection per request, plus its TFTP read of flashfs.bin. Also prints the
tool's peak memory."""

import pathlib
import sys
import tempfile

import benchlib
from ornat_sim.sets import CONFIG_SETS

ROUNDS = 3


def main():
    with benchlib.simulator() as sim, tempfile.TemporaryDirectory() as out:
        urls = pathlib.Path(out) / "urls.txt"
        urls.write_text("".join('url = "http://%s/api/v100/backup.ssi?config=%s"\noutput = "%s/%s.tar"\n'
                                % (sim.ip, name, out, name) for name, _ in CONFIG_SETS))
        tool = [benchlib.CLI, "--action", "get_backup", "--ip", sim.ip, "--backupfileout", out,
                "--backupfileouttype", "zip"]
        curl_sets = ["curl", "-s", "-H", "Connection: close", "-K", urls]
        curl_flash = ["curl", "-s", "--tftp-blksize", "128", "-o", out + "/flashfs.bin",
                      "tftp://%s/flashfs.bin" % sim.ip]
        tool_seconds = benchlib.best_of(ROUNDS, tool)
        curl_seconds = min(benchlib.run(curl_sets)[0] + benchlib.run(curl_flash)[0] for _ in range(ROUNDS))
        peak = benchlib.peak_kib(tool)
        print("best of %d runs each" % ROUNDS)
        benchlib.report("get_backup (603 sets + flashfs)", tool_seconds, curl_seconds, "curl")
        print("ornat-cli peak memory: %.1f MiB" % (peak / 1024))


if __name__ == "__main__":
    sys.exit(main())
