"""The simulator's HTTP side, state folder, restore and firmware upgrade
triggers, fault switches and request log, through urllib and curl."""

import hashlib
import http.client
import json
import struct
import time
import urllib.error
import urllib.request

import pytest

from ornat_sim.files import crc16
from ornat_sim.firmware import build_firmware_image, build_firmware_info, read_firmware_info
from ornat_sim.tar import TarError, build_tar, parse_tar

from conftest import curl, tftp_upload


def test_crc_check_value():
    assert crc16(b"123456789") == 0x6F91


def test_status_and_set_tars(simulator):
    status = simulator.status()
    assert len(status) == 22 and all(isinstance(v, str) for v in status.values())
    assert (status["model_name"], status["firmware_version"]) == ("TARNEL-2", "1.3.0")
    assert [status["dali_channel_%d" % c] for c in range(1, 5)] == ["ok", "ok", "not present", "not present"]
    members = simulator.fetch_set("dali1")
    assert [m[0] for m in members] == ["/etc/config/dali/dali1.bin", "status.txt"]
    assert members[0][2] == simulator.read_device_file("dali1")
    assert json.loads(members[1][2]) == {k: status[k]
                                         for k in ("model_name", "firmware_version", "serial_number", "mac")}
    # A set the controller lacks, or no set at all, gives the status only.
    simulator.remove_device_file("rlc")
    for name in ("dali3", "nosuchset", "rlc", "../../etc/passwd", ""):
        assert [m[0] for m in simulator.fetch_set(name)] == ["status.txt"], name


def test_unknown_path_is_html_404(simulator):
    for target in ("/", "/api/v100/other.ssi", "/api/v100/backup.ssix?config=dali1"):
        code, body = simulator.http_get(target)
        assert code == 404 and b"<html>" in body


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


def test_upload_then_restore_applies_known_paths_only(simulator, tmp_path):
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
    path.write_bytes(build_tar(members))  # the tool's own tar form reaches the simulator end to end
    assert tftp_upload(simulator, path).returncode == 0
    assert simulator.last_upload() == path.read_bytes()
    code, body = simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    assert code == 200 and json.loads(body)["result"] == "ok"
    assert simulator.read_device_file("dali1") == b"new channel file"
    assert simulator.read_device_file("dali2") == before_dali2
    assert not list(tmp_path.rglob("escape*.bin"))
    restore = simulator.log_entries("restore")[-1]
    assert restore["applied"] == ["/etc/config/dali/dali1.bin"]
    assert restore["ignored"] == [m[0] for m in members[1:]]
    # The upload is consumed: a second trigger has nothing to restore.
    code, body = simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    assert json.loads(body)["result"] == "error"


def test_firmware_upgrade_checks_hash_size_and_block(start_simulator, tmp_path):
    sim = start_simulator(model="TARNEL-3", firmware="1.3.0")
    path = tmp_path / "fw.binary"

    def apply(image, hash_text=None, size=None):
        path.write_bytes(image)
        assert tftp_upload(sim, path, blksize=8192).returncode == 0
        code, body = sim.http_get("/api/v100/status.ssi?action=firmwareupgrade&hash=%s&size=%d" % (
            hash_text or hashlib.sha256(image).hexdigest(), size or len(image)))
        assert code == 200
        return json.loads(body)

    image = build_firmware_image("TARNEL-3", "1.5.0", size=0x1C00B8)
    assert apply(image, "0" * 64)["result"] == "error"
    assert apply(image, hashlib.sha256(image).hexdigest().upper())["result"] == "error"
    assert apply(image, size=len(image) + 1)["result"] == "error"
    # An image of an unknown model is refused even with the right digest.
    assert apply(build_firmware_image("TARNEL-5", "9.9.9", size=0x1C00B8,
                                      info=build_firmware_info("TARNEL-5", "9.9.9", channels=5)))["result"] == "error"
    assert sim.status()["firmware_version"] == "1.3.0"
    assert apply(image) == {"result": "ok", "firmware_version": "1.5.0"}
    assert [e["accepted"] for e in sim.log_entries("firmware")] == [False] * 4 + [True]
    assert sim.status()["firmware_version"] == "1.5.0"
    assert json.loads(sim.fetch_set("dali1")[1][2])["firmware_version"] == "1.5.0"
    # The adopted version survives a restart on the same state.
    sim.stop()
    assert start_simulator(state=sim.state).status()["firmware_version"] == "1.5.0"


def test_set_faults_at_run_time(simulator):
    simulator.set_faults({"set_404": ["dali1"], "set_html": ["cd1"],
                          "set_truncated": ["systemconfig"], "set_corrupt": ["rlc"]})
    code, body = simulator.http_get("/api/v100/backup.ssi?config=dali1")
    assert code == 404 and b"<html>" in body
    code, body = simulator.http_get("/api/v100/backup.ssi?config=cd1")
    assert code == 200 and body.startswith(b"<!DOCTYPE html>")
    for name in ("systemconfig", "rlc"):
        code, body = simulator.http_get("/api/v100/backup.ssi?config=" + name)
        with pytest.raises(TarError):
            parse_tar(body)
    assert len(simulator.fetch_set("dali2")) == 2  # other sets unaffected
    assert [e.get("fault") for e in simulator.log_entries("http")] == [
        "set_404", "set_html", "set_truncated", "set_corrupt", None]
    simulator.clear_faults()
    assert len(simulator.fetch_set("dali1")) == 2


def test_drop_delay_and_status_body(simulator):
    simulator.set_faults({"drop": ["action=restoreconfig"], "status_body": "<html>oops</html>",
                          "delay": 0.3, "delay_match": ["status.ssi"]})
    with pytest.raises((http.client.RemoteDisconnected, urllib.error.URLError, ConnectionError)):
        simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    assert curl("http://%s/api/v100/status.ssi?action=restoreconfig" % simulator.ip).returncode == 52  # empty reply
    started = time.monotonic()
    code, body = simulator.http_get("/api/v100/status.ssi")
    assert time.monotonic() - started >= 0.3
    assert (code, body) == (200, b"<html>oops</html>")
    simulator.set_faults({"drop": True})
    assert curl("http://%s/nothing" % simulator.ip).returncode == 52


def test_start_time_faults_and_file_overlay(start_simulator):
    sim = start_simulator(args=["--fault-set-404", "dali1"], faults={"set_html": ["cd1"]})
    assert sim.http_get("/api/v100/backup.ssi?config=dali1")[0] == 404
    assert sim.http_get("/api/v100/backup.ssi?config=cd1")[1].startswith(b"<!DOCTYPE")
    sim.set_faults({"set_404": []})  # the file overrides that key only
    assert len(sim.fetch_set("dali1")) == 2
    assert sim.http_get("/api/v100/backup.ssi?config=cd1")[1].startswith(b"<!DOCTYPE")


def test_request_log_records_exchanges_in_order_then_the_stop(simulator, tmp_path):
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
    assert (request["op"], request["file"]) == ("write", "flashraw.bin")
    assert request["options"]["blksize"] == "128"
    assert request["options"]["tsize"] == str(path.stat().st_size)
    assert simulator.log_entries("upload")[0]["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest()
    assert simulator.log_entries("restore")[0]["applied"] == ["/etc/config/bastimeout/bastimeout.bin"]
    # SIGTERM stops it cleanly, with a last log entry.
    assert simulator.stop() == 0
    assert simulator.log_entries()[-1] == {"kind": "stop"}
    with pytest.raises(OSError):
        urllib.request.urlopen("http://%s/api/v100/status.ssi" % simulator.ip, timeout=2)
