"""The simulator's exchange faults, through urllib, curl and raw UDP: huge
replies, redirects, refused triggers, answers that stall or drip, and TFTP
reads that break the size they announce."""

import json
import struct

from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar

from conftest import curl, tftp_upload
from test_tftp import end_transfer, oack_options, tftp_socket

HUGE = 3_000_000


def test_huge_replies_are_well_formed(simulator):
    simulator.set_faults({"huge_reply": HUGE, "huge_match": ["status.ssi", "config=dali1"]})
    code, body = simulator.http_get("/api/v100/status.ssi")
    assert code == 200 and len(body) == HUGE
    status = json.loads(body)
    assert status["model_name"] == "TARNEL-2" and set(status["padding"]) == {"x"}
    code, body = simulator.http_get("/api/v100/backup.ssi?config=dali1")
    assert HUGE - 512 < len(body) <= HUGE
    members = simulator.fetch_set("dali1")
    assert [name for name, _, _ in members] == [SET_PATHS["dali1"], "padding.bin", "status.txt"]
    assert members[0][2] == simulator.read_device_file("dali1")
    assert set(members[1][2]) == {0}
    assert len(simulator.fetch_set("dali2")) == 2  # not matched
    assert [e.get("fault") for e in simulator.log_entries("http")] == ["huge_reply"] * 3 + [None]


def test_redirect_loop_counts_its_hops(simulator):
    url = "http://%s/api/v100/status.ssi" % simulator.ip
    simulator.set_faults({"redirect_loop": ["status.ssi"], "redirect_hops": 2})
    r = curl("-L", "-o", "/dev/null", "-w", "%{http_code} %{num_redirects}", url)
    assert r.stdout == b"200 2"
    simulator.set_faults({"redirect_loop": True})
    assert curl("-L", "--max-redirs", "3", "-o", "/dev/null", url).returncode == 47  # too many redirects
    assert simulator.http_targets()[3:] == ["/api/v100/status.ssi"] + [
        "/api/v100/status.ssi?hop=%d" % n for n in range(1, 4)]
    r = curl("-i", url + "?action=restoreconfig")
    assert b"\r\nLocation: %s?action=restoreconfig&hop=1\r\n" % url.encode() in r.stdout
    assert simulator.log_entries("restore") == []
    simulator.set_faults({"redirect_to": "file:///etc/passwd", "redirect_match": ["status.ssi"]})
    r = curl("-i", url)
    assert r.stdout.startswith(b"HTTP/1.1 302 Found\r\n") and b"\r\nLocation: file:///etc/passwd\r\n" in r.stdout


def test_refused_trigger_takes_no_action(simulator, tmp_path):
    before = simulator.read_device_file("rlc")
    path = tmp_path / "rlc.tar"
    path.write_bytes(build_tar([(SET_PATHS["rlc"], b"new rlc")]))
    assert tftp_upload(simulator, path).returncode == 0
    simulator.set_faults({"trigger_status": 404, "trigger_body": "<html>no</html>"})
    assert simulator.http_get("/api/v100/status.ssi?action=restoreconfig") == (404, b"<html>no</html>")
    assert simulator.read_device_file("rlc") == before
    simulator.set_faults({"trigger_status": 500})
    code, body = simulator.http_get("/api/v100/status.ssi?action=firmwareupgrade&hash=0&size=1")
    assert code == 500 and json.loads(body)["result"] == "error"
    simulator.clear_faults()  # the upload stayed pending
    assert simulator.http_get("/api/v100/status.ssi?action=restoreconfig")[0] == 200
    assert simulator.read_device_file("rlc") == b"new rlc"


def test_answers_that_stall_or_drip(simulator):
    url = "http://%s/api/v100/status.ssi" % simulator.ip
    simulator.set_faults({"http_stall": True})
    r = curl("-i", "--max-time", "1", url)
    assert (r.returncode, r.stdout) == (28, b"")
    simulator.set_faults({"http_headers_stall": ["status.ssi"]})
    r = curl("-i", "--max-time", "1", url)
    assert r.returncode == 28 and r.stdout.startswith(b"HTTP/1.1 200 OK\r\n") and r.stdout.endswith(b"\r\n\r\n")
    simulator.set_faults({"http_drip": True, "http_drip_interval": 0.25})
    r = curl("--max-time", "1.6", url)
    assert r.returncode == 28 and 3 <= len(r.stdout) <= 7 and b'{\n "model'.startswith(r.stdout)
    assert [e["fault"] for e in simulator.log_entries("http")] == ["http_stall", "http_headers_stall", "http_drip"]


def test_tftp_reads_that_break_their_size(simulator, tmp_path):
    simulator.set_faults({"tftp_short_after": 1000})
    out = tmp_path / "short.bin"
    sock = tftp_socket(simulator.port, 1, "flashfs.bin", {"blksize": "128", "tsize": "0"})
    packet, peer = sock.recvfrom(65536)
    assert oack_options(packet)["tsize"] == str(2 * 1024 * 1024)  # the whole size is announced
    end_transfer(sock, peer)
    assert curl("--tftp-blksize", "128", "tftp://%s/flashfs.bin" % simulator.ip, "-o", out).returncode == 0
    assert out.read_bytes() == (simulator.state / "flashfs.bin").read_bytes()[:1000]

    simulator.set_faults({"tftp_big_block": 2})
    sock = tftp_socket(simulator.port, 1, "flashfs.bin", {"blksize": "128"})
    packet, peer = sock.recvfrom(65536)
    sizes = []
    for block in range(4):
        sock.sendto(struct.pack("!HH", 4, block), peer)
        packet, _ = sock.recvfrom(65536)
        sizes.append(len(packet) - 4)
    end_transfer(sock, peer)
    assert sizes == [128, 256, 128, 128]
