#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/seeds/<target>/:
small, valid examples of each input format, so that the fuzzers start from
inputs that reach deep into the parsers. Run again after a format change."""

import io
import json
import pathlib
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "sim"))
from ornat_sim import files, sets, tar  # noqa: E402

SEEDS = ROOT / "fuzz" / "seeds"

TOOL_TXT = (b'{\n  "tool_name": "ornat-cli",\n  "version_major": 1,\n  "version_minor": 3,\n'
            b'  "version_revision": 0,\n  "version_string": "1.3.0"\n}\n')


def write(target, name, data):
    folder = SEEDS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def set_tar(name, body, status=True):
    members = [(sets.SET_PATHS[name], body)]
    if status:
        members.append(("status.txt", json.dumps({"model_name": "TARNEL-2", "firmware_version": "1.3.0",
                                                  "serial_number": "S1", "mac": "00:11"}).encode()))
    return tar.build_tar(members, mtime=0)


def main():
    dali1 = files.build_channel_file(1, 1)
    dali2 = files.build_channel_file(2, 1)
    cd2 = files.build_inputs_file(2, 1)

    for text in ['{"model_name": "TARNEL-2", "firmware_version": "1.3.1"}', '[1,[2,{"a":null}],3]',
                 '"\\ud83d\\ude00 \\u00e9 \\n"', '-0.5e-3', '{"a": [true, false, null, 1e5]}']:
        write("json", "seed%d" % len(list((SEEDS / "json").glob("*")) if (SEEDS / "json").exists() else []),
              text.encode())

    write("tar", "set", set_tar("rlc", b"rlc configuration"))
    write("tar", "only-status", tar.build_tar([("status.txt", b'{"model_name": "X"}')], mtime=0))

    write("config_convert", "dali-layout1", bytes([0x81]) + dali1)
    write("config_convert", "dali-layout2", bytes([0x85]) + dali2)
    write("config_convert", "cd-layout2", bytes([0x8a]) + cd2)

    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
        z.writestr("tool.txt", TOOL_TXT)
        z.writestr("rlc.tar", set_tar("rlc", b"rlc", status=False))
        z.writestr("dali1.tar", set_tar("dali1", dali1[:2048], status=False))
        z.writestr("cd1.tar", set_tar("cd1", cd2[:1024], status=False))
    write("restore_archive", "archive", archive.getvalue())

    # An odd first byte wraps the rest into a valid encrypted package as the image.
    write("firmware_package", "wrapped-image", b"\x01" + bytes(range(256)) * 4)

    write("importcsv", "channel", b"\x00#dali-channel-csv-version: 1\n"
                                  b'0,5,7,Lamp,"[0,3]",254,null,1,254,0,20,"[10,20,null]"\n')
    write("importcsv", "groups", b"\x01#dali-channel-groups-csv-version: 1\n1,15,Corridor\n")
    write("importcsv", "inputs", b"\x02#dali-channel-inputs-csv-version: 1\n"
                                 b'9,2,4,Panel,16,40,"[1,3,4]","[7,8,9]","[42]",' + b'"[5,6,7]",' * 11
                                 + b'"[1,2]"\n')


if __name__ == "__main__":
    main()
