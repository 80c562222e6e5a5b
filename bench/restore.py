#!/usr/bin/env python3
"""A restore of a full 603-set backup archive into the controller simulator,
compared in one run with the raw transfers alone: one curl process making
the same TFTP uploads (the same one-member tars, 128-byte blocks) and the
same restore trigger requests, after the same status read.

The controller runs firmware 1.5.0 and the archive holds its own layouts, so
the tool converts nothing; its safety backup is left out of the timing."""

import io
import pathlib
import sys
import tarfile
import tempfile
import zipfile

import benchlib
from ornat_sim.files import build_channel_file, build_generic_file, build_inputs_file
from ornat_sim.sets import CONFIG_SETS
from ornat_sim.tar import build_tar

ROUNDS = 2
TOOL_TXT = (b'{\n  "tool_name": "ornat-cli",\n  "version_major": 1,\n  "version_minor": 3,\n'
            b'  "version_revision": 0,\n  "version_string": "1.3.0"\n}\n')


def set_file(name):
    if name.startswith("dali") and name[4:].isdigit():
        return build_channel_file(3, int(name[4:]))
    if name.startswith("cd") and name[2:].isdigit():
        return build_inputs_file(3, int(name[2:]))
    return build_generic_file(name, 512)


def one_member_tar(path, data):
    """The tar the tool sends for a set: one header, the data padded to 512
    bytes, and two zero records."""
    info = tarfile.TarInfo(path)
    info.size = len(data)
    info.mode = 0o664
    padding = (512 - len(data) % 512) % 512
    return info.tobuf(format=tarfile.USTAR_FORMAT) + data + b"\0" * padding + b"\0" * 1024


def main():
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        archive = work / "full.zip"
        config = io.StringIO()
        with benchlib.simulator() as sim:
            config.write('url = "http://%s/api/v100/status.ssi"\noutput = "/dev/null"\n' % sim.ip)
            with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("tool.txt", TOOL_TXT)
                for index, (name, path) in enumerate(CONFIG_SETS):
                    data = set_file(name)
                    z.writestr(name + ".tar", build_tar([(path, data), ("status.txt", b"{}")]))
                    upload = work / ("%03d.tar" % index)
                    upload.write_bytes(one_member_tar(path, data))
                    config.write('next\ntftp-blksize = 128\nupload-file = "%s"\nurl = "tftp://%s/flashraw.bin"\n'
                                 % (upload, sim.ip))
                    config.write('next\nurl = "http://%s/api/v100/status.ssi?action=restoreconfig"\n'
                                 'output = "/dev/null"\n' % sim.ip)
            (work / "curl.cfg").write_text(config.getvalue())
            env = benchlib.without_downloads_folder()
            tool = [benchlib.CLI, "--action", "put_backup", "--ip", sim.ip, "--backupfilein", archive]
            tool_seconds = benchlib.best_of(ROUNDS, tool, env=env)
            curl_seconds = benchlib.best_of(ROUNDS, ["curl", "-s", "-K", work / "curl.cfg"])
        print("best of %d runs each" % ROUNDS)
        benchlib.report("put_backup (603 sets)", tool_seconds, curl_seconds, "curl")


if __name__ == "__main__":
    sys.exit(main())
