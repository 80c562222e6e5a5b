#!/usr/bin/env python3
"""Validation of a 16 MiB firmware package (AES-256, deflate) by the tool,
compared in one run with 7-Zip extracting and sha256sum hashing the same
image (Info-ZIP's unzip -P cannot decrypt AES entries). Also prints the
tool's peak memory against the image size.

The tool runs push_firmware on a package whose image names an unknown
model: it reads, decrypts, inflates and hashes the image, compares the
digest, checks the information block and stops there, before any transfer."""

import hashlib
import pathlib
import subprocess
import sys
import tempfile

import benchlib
from ornat_sim.firmware import build_firmware_image

PASSWORD = "5d0c7a93e1b24f68a07c3e9d52f1b846c09a7e3d"
IMAGE_SIZE = 16_000_000
ROUNDS = 3


def main():
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        image = build_firmware_image("TARNEL-9", "9.9.9", size=IMAGE_SIZE)
        (work / "ornat.binary").write_bytes(image)
        (work / "ornat.bh").write_text(hashlib.sha256(image).hexdigest())
        subprocess.run(["7z", "a", "-tzip", "-p" + PASSWORD, "-mem=AES256", "-mm=Deflate", "package.bin",
                        "ornat.bh", "ornat.binary"], cwd=work, check=True, stdout=subprocess.DEVNULL)
        env = benchlib.without_downloads_folder()
        tool = [benchlib.CLI, "--action", "push_firmware", "--ip", "127.0.0.1:9", "--firmwarefile",
                work / "package.bin"]
        reference = "7z x -so -p%s %s ornat.binary | sha256sum" % (PASSWORD, work / "package.bin")
        tool_seconds = benchlib.best_of(ROUNDS, tool, env=env, status=1)
        reference_seconds = benchlib.best_of(ROUNDS, reference, shell=True)
        peak = benchlib.peak_kib(tool, env=env)
        print("best of %d runs each" % ROUNDS)
        benchlib.report("package validation (16 MB image)", tool_seconds, reference_seconds, "7z + sha256sum")
        print("ornat-cli peak memory: %.1f MiB (%.2fx the image size)" % (peak / 1024, peak * 1024 / IMAGE_SIZE))


if __name__ == "__main__":
    sys.exit(main())
