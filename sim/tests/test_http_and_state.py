"""What the end-to-end tests cannot see of the simulator: the state folder it
makes or takes, the tar members a restore may touch, the fault overlay and
the request log the end-to-end tests rely on when they assert that nothing
was requested. The exchanges themselves are the end-to-end tests'."""

import json
import pathlib
import subprocess
import sys
import struct

import pytest

from ornat_sim.files import crc16
from ornat_sim.firmware import read_firmware_info
from ornat_sim.tar import build_tar

from conftest import curl, tftp_upload


@pytest.mark.parametrize("model, firmware, layout, inputs", [
    ("TARNEL-1", "1.3.0", 1, 1),
    ("TARNEL-2", "1.10.0", 1, 1),  # versions compare byte-wise: below "1.3.0"
    ("TARNEL-3", "1.3.1", 2, 2),
    ("TARNEL-4", "2.2.4", 3, 3),
])
def test_default_state_follows_model_and_firmware(start_simulator, model, firmware, layout, inputs):
    sim = start_simulator(model=model, firmware=firmware)
    for c in range(1, 5):
        images = [sim.read_device_file(name % c) for name in ("dali%d", "cd%d")]
        if c > int(model[-1]):
            assert images == [None, None]
            continue
        for image, version in zip(images, (layout, inputs)):
            size, crc, found = struct.unpack_from("<III", image)
            assert (size, found) == (len(image), version)
            assert crc == crc16(image[:4] + bytes(4) + image[8:])
    assert read_firmware_info((sim.state / "flashraw.bin").read_bytes()) == (model, firmware)


def test_prepared_state_is_used_as_is(start_simulator, tmp_path):
    state = tmp_path / "prepared"
    (state / "etc/config/dali").mkdir(parents=True)
    (state / "etc/config/dali/dali1.bin").write_bytes(b"prepared bytes")
    sim = start_simulator(state=state, firmware="1.5.0")
    assert sim.fetch_set("dali1")[0][2] == b"prepared bytes"
    assert [m[0] for m in sim.fetch_set("dali2")] == ["status.txt"]
    assert not (state / "flashfs.bin").exists()
    assert curl("tftp://%s/flashfs.bin" % sim.ip, "-o", tmp_path / "x").returncode != 0
    # A folder holding only faults.json still gets the default state.
    other = tmp_path / "faults-only"
    other.mkdir()
    (other / "faults.json").write_text("{}")
    assert start_simulator(state=other).read_device_file("dali1") is not None


def test_restore_applies_known_paths_only(simulator, tmp_path):
    """Members outside the known device paths never leave the state folder."""
    before_dali2 = simulator.read_device_file("dali2")
    members = [
        ("/etc/config/dali/dali1.bin", b"new channel file"),
        ("status.txt", b"{}"),
        ("/etc/config/dali/../../../../escape.bin", b"x"),
        ("../escape2.bin", b"x"),
        ("etc/config/dali/dali2.bin", b"no leading slash"),
        ("/etc/config/unknown/x.bin", b"x"),
    ]
    path = tmp_path / "upload.tar"
    path.write_bytes(build_tar(members))
    assert tftp_upload(simulator, path).returncode == 0
    code, body = simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    assert code == 200 and json.loads(body)["result"] == "ok"
    assert simulator.read_device_file("dali1") == b"new channel file"
    assert simulator.read_device_file("dali2") == before_dali2
    assert not list(tmp_path.rglob("escape*.bin"))
    restore = simulator.log_entries("restore")[-1]
    assert restore["applied"] == ["/etc/config/dali/dali1.bin"]
    assert restore["ignored"] == [m[0] for m in members[1:]]


def test_start_time_faults_and_file_overlay(start_simulator):
    sim = start_simulator(args=["--fault-set-404", "dali1"], faults={"set_html": ["cd1"]})
    assert sim.http_get("/api/v100/backup.ssi?config=dali1")[0] == 404
    assert sim.http_get("/api/v100/backup.ssi?config=cd1")[1].startswith(b"<!DOCTYPE")
    sim.set_faults({"set_404": []})  # the file overrides that key only
    assert len(sim.fetch_set("dali1")) == 2
    assert sim.http_get("/api/v100/backup.ssi?config=cd1")[1].startswith(b"<!DOCTYPE")


def test_request_log_records_every_exchange_in_order(simulator, tmp_path):
    path = tmp_path / "set.tar"
    path.write_bytes(simulator.http_get("/api/v100/backup.ssi?config=bastimeout")[1])
    simulator.http_get("/api/v100/status.ssi")
    assert tftp_upload(simulator, path).returncode == 0
    simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    kinds = [e["kind"] for e in simulator.log_entries()]
    assert kinds == ["start", "http", "http", "tftp", "upload", "tftp_done", "http", "restore"]
    assert simulator.http_targets() == [
        "/api/v100/backup.ssi?config=bastimeout", "/api/v100/status.ssi",
        "/api/v100/status.ssi?action=restoreconfig"]
    request = simulator.log_entries("tftp")[0]
    assert (request["op"], request["file"], request["options"]["blksize"]) == ("write", "flashraw.bin", "128")
    assert simulator.last_upload() == path.read_bytes()
    assert simulator.log_entries("restore")[0]["applied"] == ["/etc/config/bastimeout/bastimeout.bin"]


@pytest.mark.parametrize("command", [["-m", "ornat_sim.main"], ["controller_sim.py"]])
def test_command_line_help(command):
    sim_dir = pathlib.Path(__file__).resolve().parents[1]
    r = subprocess.run([sys.executable] + command + ["--help"], cwd=sim_dir, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0 and r.stdout.startswith("usage: ")
