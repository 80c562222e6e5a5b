"""Tests of the controller simulator alone, through urllib, raw UDP and the
curl command line: what every other end-to-end test relies on."""

import hashlib
import http.client
import io
import json
import socket
import struct
import subprocess
import tarfile
import time
import urllib.error
import urllib.request

import pytest

import controller_sim as sim_mod

STATUS_KEYS = [
    "model_name", "firmware_version", "build_date", "license", "license_number",
    "hostname", "serial_number", "mac", "rtc_temperature", "ram_memory", "flash_memory",
    "boot_count", "time", "uptime", "dali_channel_1", "dali_channel_2", "dali_channel_3",
    "dali_channel_4", "ip", "bacnet_ip", "session_id", "username",
]


def curl(*args, timeout=60):
    return subprocess.run(["curl", "-s", "--noproxy", "*"] + [str(a) for a in args],
                          capture_output=True, timeout=timeout)


def tftp_upload(sim, path, blksize=128):
    options = ["--tftp-blksize", str(blksize)] if blksize else []
    return curl(*options, "-T", path, "tftp://%s/flashraw.bin" % sim.ip)


def tool_style_tar(members):
    """A tar in the tool's own header form: no ustar magic, numbers as
    unpadded octal text, checksum "%06o" + NUL + space."""
    out = bytearray()
    for name, data in members:
        header = bytearray(512)
        header[0:len(name)] = name.encode()            # name
        for offset, value in ((100, 0o664),             # mode
                              (108, 0),                 # owner
                              (124, len(data)),         # size
                              (136, 0)):                # mtime
            text = b"%o" % value
            header[offset:offset + len(text)] = text
        header[156] = ord("0")                          # regular file
        checksum = 256 + sum(header[:148]) + sum(header[156:])
        header[148:156] = b"%06o\0 " % checksum
        out += header + data + bytes(-len(data) % 512)
    return bytes(out + bytes(1024))


def tftp_socket(port, op, name, options=None):
    """Sends a raw RRQ (op 1) or WRQ (op 2) and returns the client socket."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(2.0)
    packet = struct.pack("!H", op) + name.encode() + b"\0octet\0"
    for key, value in (options or {}).items():
        packet += key.encode() + b"\0" + value.encode() + b"\0"
    sock.sendto(packet, ("127.0.0.1", port))
    return sock


def oack_options(packet):
    assert packet[:2] == b"\0\x06", packet[:4]
    fields = packet[2:].split(b"\0")[:-1]
    return {fields[i].decode(): fields[i + 1].decode() for i in range(0, len(fields), 2)}


def quiet_for(sock, seconds):
    """True when nothing arrives on the socket for `seconds`."""
    sock.settimeout(seconds)
    try:
        sock.recvfrom(65536)
    except socket.timeout:
        return True
    return False


def end_transfer(sock, peer):
    sock.sendto(b"\0\x05\0\0stop\0", peer)
    sock.close()


def test_status_has_every_key_as_string(simulator):
    status = simulator.status()
    assert list(status) == STATUS_KEYS
    assert all(isinstance(v, str) for v in status.values())
    assert status["model_name"] == "TARNEL-2"
    assert status["firmware_version"] == "1.3.0"
    assert [status["dali_channel_%d" % c] for c in range(1, 5)] == [
        "ok", "ok", "not present", "not present"]


def test_set_tar_holds_device_file_and_status_or_status_only(simulator):
    code, body = simulator.http_get("/api/v100/backup.ssi?config=dali1")
    assert code == 200
    members = sim_mod.parse_tar(body)
    assert [m[0] for m in members] == ["/etc/config/dali/dali1.bin", "status.txt"]
    assert members[0][2] == simulator.read_device_file("/etc/config/dali/dali1.bin")
    status = json.loads(members[1][2])
    assert status == {k: simulator.status()[k]
                      for k in ("model_name", "firmware_version", "serial_number", "mac")}
    # Python's own reader sees the leading slash too: the name is stored as is.
    with tarfile.open(fileobj=io.BytesIO(body)) as tar:
        assert tar.getnames() == ["/etc/config/dali/dali1.bin", "status.txt"]
    # The sets with renamed files are served under their device paths.
    assert simulator.fetch_set("commanders")[0][0] == "/etc/config/cmdr/cmdr.bin"
    assert simulator.fetch_set("schedules")[0][0] == "/etc/config/schedule/schedule.bin"
    # A set without its device file gives the status only.
    simulator.remove_device_file("rlc")
    for name in ("dali3", "nosuchset", "rlc", "../../etc/passwd", ""):
        assert [m[0] for m in simulator.fetch_set(name)] == ["status.txt"], name


def test_unknown_path_is_html_404_and_connections_are_kept(simulator):
    for target in ("/", "/api/v100/other.ssi", "/api/v100/backup.ssix?config=dali1"):
        code, body = simulator.http_get(target)
        assert code == 404 and b"<html>" in body
    conn = http.client.HTTPConnection("127.0.0.1", simulator.port, timeout=5)
    for _ in range(2):  # two requests over one connection
        conn.request("GET", "/api/v100/status.ssi")
        reply = conn.getresponse()
        assert reply.status == 200 and int(reply.getheader("Content-Length")) > 0
        json.loads(reply.read())
    conn.request("GET", "/nothing", headers={"Connection": "close"})
    reply = conn.getresponse()
    assert reply.status == 404 and reply.getheader("Connection") == "close"
    reply.read()
    conn.close()


@pytest.mark.parametrize("model,firmware,layout,inputs", [
    ("TARNEL-1", "1.3.0", (11168, 1), (9436, 1)),
    ("TARNEL-2", "1.10.0", (11168, 1), (9436, 1)),   # byte-wise: below "1.3.0"
    ("TARNEL-3", "1.3.1", (10912, 2), (9436, 2)),
    ("TARNEL-4", "2.2.4", (7072, 3), (9564, 3)),
])
def test_default_state_follows_model_and_firmware(start_simulator, model, firmware, layout,
                                                  inputs):
    sim = start_simulator(model=model, firmware=firmware)
    channels = int(model[-1])
    for c in range(1, 5):
        dali = sim.read_device_file("dali%d" % c)
        cd = sim.read_device_file("cd%d" % c)
        if c > channels:
            assert dali is None and cd is None and sim.read_device_file("daincd%d" % c) is None
            continue
        for image, (size, version) in ((dali, layout), (cd, inputs)):
            assert len(image) == size
            assert struct.unpack_from("<III", image, 0)[::2] == (size, version)
            crc = struct.unpack_from("<I", image, 4)[0]
            assert crc == sim_mod.crc16(image[:4] + bytes(4) + image[8:size])
        name_at = {1: 94, 2: 106, 3: 45}[layout[1]]
        entry = {1: 152, 2: 160, 3: 100}[layout[1]]
        first = dali[60:60 + entry]
        assert first[11] == 1  # short address 0, stored as 2a+1
        assert first[name_at:name_at + 16] == b"C%d Luminaire 01\0" % c
        assert dali[60 + entry + 11] == 3
    assert sim.read_device_file("systemconfig") is not None
    assert sim.read_device_file("dali_dt8_1_3") is not None
    assert sim.read_device_file("views0") is not None
    assert (sim.state / "flashfs.bin").stat().st_size == 2 * 1024 * 1024
    raw = (sim.state / "flashraw.bin").read_bytes()
    assert sim_mod.read_firmware_info(raw) == (model, firmware)


def test_crc_and_layout_tables():
    assert sim_mod.crc16(b"123456789") == 0x6F91
    assert [sim_mod.channel_layout_for(v) for v in ("0.9", "1.3.0", "1.4.9", "1.5.0", "2.0")] \
        == [0, 1, 2, 3, 3]
    assert [sim_mod.inputs_layout_for(v) for v in ("1.10.0", "2.2.3", "2.2.4")] == [0, 2, 3]
    assert len(sim_mod.CONFIG_SETS) == 603
    assert sim_mod.CONFIG_SETS[27] == ("dali_dt1_1_0", "/etc/config/dali/dali_dt1_1_0.bin")
    assert sim_mod.CONFIG_SETS[283] == ("dali_dt8_1_0", "/etc/config/dali/dali_dt8_1_0.bin")
    assert sim_mod.CONFIG_SETS[-1] == ("views63", "/etc/config/views/views63.bin")


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


@pytest.mark.parametrize("blksize", [128, None])
def test_tftp_read_with_curl(simulator, tmp_path, blksize):
    out = tmp_path / "flashfs.bin"
    options = ["--tftp-blksize", str(blksize)] if blksize else []
    assert curl(*options, "tftp://%s/flashfs.bin" % simulator.ip, "-o", out).returncode == 0
    assert out.read_bytes() == (simulator.state / "flashfs.bin").read_bytes()
    done = simulator.wait_for_log("tftp_done")
    assert done["ok"] and done["bytes"] == 2 * 1024 * 1024
    assert done["blksize"] == (blksize or 512)


def test_tftp_option_negotiation(simulator):
    sock = tftp_socket(simulator.port, 1, "flashfs.bin",
                       {"blksize": "128", "tsize": "0", "timeout": "1", "windowsize": "4"})
    packet, peer = sock.recvfrom(65536)
    assert peer[1] != simulator.port  # each transfer has its own port
    assert oack_options(packet) == {"blksize": "128", "tsize": str(2 * 1024 * 1024),
                                    "timeout": "1"}
    sock.sendto(b"\0\x04\0\0", peer)
    packet, _ = sock.recvfrom(65536)
    assert packet[:4] == b"\0\x03\0\x01" and len(packet) == 4 + 128
    end_transfer(sock, peer)
    # A WRQ of any other file is refused with an error packet.
    sock = tftp_socket(simulator.port, 2, "flashfs.bin")
    packet, _ = sock.recvfrom(65536)
    assert packet[:2] == b"\0\x05"
    sock.close()


def test_tftp_no_resend_on_duplicate_ack_but_on_timeout(simulator):
    sock = tftp_socket(simulator.port, 1, "flashraw.bin", {"timeout": "1"})
    packet, peer = sock.recvfrom(65536)
    sock.sendto(b"\0\x04\0\0", peer)
    assert sock.recvfrom(65536)[0][:4] == b"\0\x03\0\x01"
    sock.sendto(b"\0\x04\0\x01", peer)
    assert sock.recvfrom(65536)[0][:4] == b"\0\x03\0\x02"
    sock.sendto(b"\0\x04\0\x01", peer)  # duplicate ACK: no answer
    assert quiet_for(sock, 0.4)
    started = time.monotonic()
    sock.settimeout(3)
    again = sock.recvfrom(65536)[0]  # the unanswered block comes again
    assert again[:4] == b"\0\x03\0\x02" and 0.3 < time.monotonic() - started < 2.0
    end_transfer(sock, peer)


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
    path.write_bytes(tool_style_tar(members))
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
    # A served set tar restores as well (its status.txt is ignored).
    path.write_bytes(simulator.http_get("/api/v100/backup.ssi?config=dali2")[1])
    assert tftp_upload(simulator, path, blksize=None).returncode == 0
    simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    assert simulator.log_entries("restore")[-1]["applied"] == ["/etc/config/dali/dali2.bin"]


def test_firmware_upgrade_checks_hash_size_and_block(start_simulator, tmp_path):
    sim = start_simulator(model="TARNEL-3", firmware="1.3.0")
    image = sim_mod.build_firmware_image("TARNEL-3", "1.5.0", size=0x1C00B8)
    path = tmp_path / "fw.binary"
    path.write_bytes(image)
    digest = hashlib.sha256(image).hexdigest()

    def apply(hash_text, size):
        assert tftp_upload(sim, path, blksize=8192).returncode == 0
        code, body = sim.http_get("/api/v100/status.ssi?action=firmwareupgrade&hash=%s&size=%d"
                                  % (hash_text, size))
        assert code == 200
        return json.loads(body)

    assert apply("0" * 64, len(image))["result"] == "error"
    assert apply(digest.upper(), len(image))["result"] == "error"
    assert apply(digest, len(image) + 1)["result"] == "error"
    assert sim.status()["firmware_version"] == "1.3.0"
    assert apply(digest, len(image)) == {"result": "ok", "firmware_version": "1.5.0"}
    assert [e["accepted"] for e in sim.log_entries("firmware")] == [False] * 3 + [True]
    assert sim.status()["firmware_version"] == "1.5.0"
    status_txt = json.loads(sim.fetch_set("dali1")[1][2])
    assert status_txt["firmware_version"] == "1.5.0"
    # An image of an unknown model is refused even with the right digest.
    bad = sim_mod.build_firmware_image(
        "TARNEL-5", "9.9.9", size=0x1C00B8,
        info=sim_mod.build_firmware_info("TARNEL-5", "9.9.9", channels=5))
    path.write_bytes(bad)
    assert apply(hashlib.sha256(bad).hexdigest(), len(bad))["result"] == "error"
    # The adopted version survives a restart on the same state.
    sim.stop()
    again = start_simulator(state=sim.state)
    assert again.status()["firmware_version"] == "1.5.0"


@pytest.mark.slow
def test_tftp_16_mib_wraps_block_numbers(simulator, tmp_path):
    data = bytes(range(256)) * (16 * 1024 * 4) + b"tail"  # 16 MiB + 4 bytes
    path = tmp_path / "big.bin"
    path.write_bytes(data)
    assert tftp_upload(simulator, path).returncode == 0
    assert simulator.last_upload() == data
    upload = simulator.log_entries("tftp_done")[-1]
    assert upload["blocks"] == 131073 and upload["bytes"] == len(data)
    (simulator.state / "flashraw.bin").write_bytes(data)
    out = tmp_path / "back.bin"
    result = curl("--tftp-blksize", "128", "tftp://%s/flashraw.bin" % simulator.ip, "-o", out)
    assert result.returncode == 0
    assert out.read_bytes() == data


def test_set_faults_at_run_time(simulator):
    simulator.set_faults({"set_404": ["dali1"], "set_html": ["cd1"],
                          "set_truncated": ["systemconfig"], "set_corrupt": ["rlc"]})
    code, body = simulator.http_get("/api/v100/backup.ssi?config=dali1")
    assert code == 404 and b"<html>" in body
    code, body = simulator.http_get("/api/v100/backup.ssi?config=cd1")
    assert code == 200 and body.startswith(b"<!DOCTYPE html>")
    for name in ("systemconfig", "rlc"):
        code, body = simulator.http_get("/api/v100/backup.ssi?config=" + name)
        with pytest.raises(sim_mod.TarError):
            sim_mod.parse_tar(body)
    assert len(simulator.fetch_set("dali2")) == 2  # other sets unaffected
    assert [e.get("fault") for e in simulator.log_entries("http")] == [
        "set_404", "set_html", "set_truncated", "set_corrupt", None]
    simulator.clear_faults()
    assert len(simulator.fetch_set("dali1")) == 2


def test_drop_delay_and_status_body(simulator):
    simulator.set_faults({"drop": ["action=restoreconfig"], "status_body": "<html>oops</html>",
                          "delay": 0.3, "delay_match": ["status.ssi"]})
    with pytest.raises((http.client.RemoteDisconnected, urllib.error.URLError,
                        ConnectionError)):
        simulator.http_get("/api/v100/status.ssi?action=restoreconfig")
    assert curl("http://%s/api/v100/status.ssi?action=restoreconfig" % simulator.ip
                ).returncode == 52  # empty reply
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


def test_tftp_faults(simulator, tmp_path):
    url = "tftp://%s/flashfs.bin" % simulator.ip
    out = tmp_path / "out.bin"
    simulator.set_faults({"tftp_refuse_read": True})
    assert curl(url, "-o", out).returncode != 0
    simulator.set_faults({"tftp_refuse_write": True})
    assert curl("-T", simulator.state / "flashfs.bin",
                "tftp://%s/flashraw.bin" % simulator.ip).returncode != 0
    assert simulator.last_upload() is None
    simulator.set_faults({"tftp_no_oack": True})
    assert curl("--tftp-blksize", "128", url, "-o", out).returncode == 0
    assert out.read_bytes() == (simulator.state / "flashfs.bin").read_bytes()
    assert simulator.wait_for_log(lambda e: e.get("kind") == "tftp_done" and e["ok"]
                                  )["blksize"] == 512
    simulator.set_faults({"tftp_no_tsize": True})
    sock = tftp_socket(simulator.port, 1, "flashfs.bin", {"blksize": "128", "tsize": "0"})
    packet, peer = sock.recvfrom(65536)
    assert oack_options(packet) == {"blksize": "128"}
    end_transfer(sock, peer)
    simulator.set_faults({"tftp_silent": True})
    sock = tftp_socket(simulator.port, 1, "flashfs.bin")
    assert quiet_for(sock, 0.5)
    sock.close()
    simulator.set_faults({"tftp_abort_after": 1024})
    result = curl("--tftp-blksize", "128", url, "-o", out)
    assert result.returncode != 0 and out.stat().st_size == 1024


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
    assert request["op"] == "write" and request["file"] == "flashraw.bin"
    assert request["options"]["blksize"] == "128"
    assert request["options"]["tsize"] == str(path.stat().st_size)
    upload = simulator.log_entries("upload")[0]
    assert upload["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest()
    # SIGTERM stops it cleanly, with a last log entry.
    assert simulator.stop() == 0
    assert simulator.log_entries()[-1] == {"kind": "stop"}
    with pytest.raises(OSError):
        urllib.request.urlopen("http://%s/api/v100/status.ssi" % simulator.ip, timeout=2)
