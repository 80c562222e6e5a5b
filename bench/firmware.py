#!/usr/bin/env python3
"""Validation of a 16 MB firmware package (AES-256, deflate) and of the same
image as a raw file by the tool, compared in one run with 7-Zip extracting
and sha256sum hashing the image from the package (Info-ZIP's unzip -P cannot
decrypt AES entries), and with sha256sum hashing the raw file. Also prints
the tool's peak memory against the image size: raw, and less the peak of
`ornat-cli --version` (the process with its libraries, before any work).

The tool runs push_firmware on files whose image names an unknown model: it
reads (for the package: decrypts and inflates) and hashes the image,
compares the digest, checks the information block and stops there, before
any transfer."""

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
MIB = 1024 * 1024


def main():
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        image = build_firmware_image("TARNEL-9", "9.9.9", size=IMAGE_SIZE)
        (work / "ornat.binary").write_bytes(image)
        (work / "ornat.bh").write_text(hashlib.sha256(image).hexdigest())
        subprocess.run(["7z", "a", "-tzip", "-p" + PASSWORD, "-mem=AES256", "-mm=Deflate", "package.bin",
                        "ornat.bh", "ornat.binary"], cwd=work, check=True, stdout=subprocess.DEVNULL)
        env = benchlib.without_downloads_folder()

        def tool(name):
            return [benchlib.CLI, "--action", "push_firmware", "--ip", "127.0.0.1:9", "--firmwarefile", work / name]

        cases = [
            ("package validation (16 MB image)", tool("package.bin"),
             "7z x -so -p%s %s ornat.binary | sha256sum" % (PASSWORD, work / "package.bin"), "7z + sha256sum"),
            ("raw image validation (16 MB)", tool("ornat.binary"), "sha256sum %s" % (work / "ornat.binary"),
             "sha256sum"),
        ]
        baseline = benchlib.peak_kib([benchlib.CLI, "--version"], env=env) * 1024
        print("best of %d runs each; image %d bytes, package %d bytes" %
              (ROUNDS, IMAGE_SIZE, (work / "package.bin").stat().st_size))
        peaks = []
        for name, command, reference, reference_name in cases:
            tool_seconds = benchlib.best_of(ROUNDS, command, env=env, status=1)
            reference_seconds = benchlib.best_of(ROUNDS, reference, shell=True)
            benchlib.report(name, tool_seconds, reference_seconds, reference_name)
            peaks.append(benchlib.peak_kib(command, env=env) * 1024)
        print("ornat-cli peak memory (baseline: --version peaks at %.1f MiB):" % (baseline / MIB))
        for (name, *_), peak in zip(cases, peaks):
            print("  %-34s %6.1f MiB   %.2fx the image, %.2fx above the baseline" %
                  (name, peak / MIB, peak / IMAGE_SIZE, (peak - baseline) / IMAGE_SIZE))


if __name__ == "__main__":
    sys.exit(main())
