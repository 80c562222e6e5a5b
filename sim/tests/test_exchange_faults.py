"""The simulator's exchange faults that the tool's end-to-end tests do not
pin on their own: refused triggers that keep the upload pending, and answers
that stall or drip (the tool's own stall tests run for minutes)."""

import json

from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar

from conftest import curl, tftp_upload


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
