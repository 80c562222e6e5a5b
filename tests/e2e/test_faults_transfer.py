"""Exchanges with a misbehaving controller: answers that never come or
crawl, refused restore and firmware apply requests, replies too large to
hold, TFTP reads that break the size they announced, and redirects that lead
away from HTTP (addresses that do are usage errors: test_faults_inputs)."""

import concurrent.futures
import os
import socket
import time
import zipfile

import pytest

from conftest import run_measured
from ornat_sim.firmware import build_firmware_image
from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar

FLASH_SIZE = 2 * 1024 * 1024
CSV = "#dali-channel-csv-version: 1\n" + '0,5,7,Lamp,"[0,3]",254,null,1,254,0,20,"[10,20,null]"\n'


def one_set_archive(folder):
    path = folder / "rlc.zip"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("rlc.tar", build_tar([(SET_PATHS["rlc"], b"restored rlc")]))
    return path


def raw_image(folder):
    path = folder / "image.binary"
    path.write_bytes(build_firmware_image("TARNEL-2", "1.5.0"))
    return path


def csv_file(folder):
    path = folder / "ch1.csv"
    path.write_text(CSV)
    return '["%s"]' % path


@pytest.fixture
def unaccepting_ip():
    """127.0.0.1:PORT of a listening socket whose accept queue is full, so a
    further connection attempt is never answered."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        fillers = []
        for _ in range(3):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", port))
            fillers.append(filler)
        time.sleep(0.2)
        yield "127.0.0.1:%d" % port
        for filler in fillers:
            filler.close()


# ---- time limits ---------------------------------------------------------------

# (name, action and its arguments, simulator faults, exit status, least and
# most seconds). A reading exchange gives up after 60 s without a byte, a
# connection after 30 s; the restore trigger and the firmware apply request
# may take up to 600 s.
SLOW = [
    ("status read never answered", ["get_status"], {"http_stall": ["status.ssi"]}, 1, 58, 95),
    ("set fetch stalls after the headers",
     ["get_backup", "--backupfileout", "OUT", "--backupfileouttype", "zip", "--backupconfig", '["rlc"]'],
     {"http_headers_stall": ["config=rlc"]}, 1, 58, 95),
    ("set fetch drips a byte every 2 s", ["setup_channel", "--channel", "1", "--channelcsvfile", "CSV"],
     {"http_drip": ["config=dali1"]}, 1, 58, 95),
    ("no connection", ["get_status"], None, 1, 28, 55),
    ("restore trigger answers after 66 s", ["put_backup", "--backupfilein", "ARCHIVE"],
     {"delay": 66, "delay_match": ["restoreconfig"]}, 0, 66, 150),
    ("firmware apply answers after 66 s", ["push_firmware", "--firmwarefile", "IMAGE"],
     {"delay": 66, "delay_match": ["firmwareupgrade"]}, 0, 66, 150),
]


@pytest.mark.slow
def test_stalled_exchanges_give_up_and_slow_work_is_waited_for(start_simulator, cli, tmp_path, unaccepting_ip, out):
    """All cases run side by side: about 70 s in all."""
    values = {"OUT": out, "CSV": csv_file(tmp_path), "ARCHIVE": one_set_archive(tmp_path),
              "IMAGE": raw_image(tmp_path)}
    runs = []
    for name, args, faults, _, _, _ in SLOW:
        ip = unaccepting_ip if faults is None else start_simulator(name=name.replace(" ", "-"), faults=faults).ip
        runs.append(["--action", args[0], "--ip", ip] + [values.get(a, a) for a in args[1:]])

    def timed(args):
        started = time.monotonic()
        result = cli(*args, timeout=200)
        return result, time.monotonic() - started

    with concurrent.futures.ThreadPoolExecutor(len(runs)) as pool:
        results = list(pool.map(timed, runs))
    for (name, _, _, code, least, most), (r, seconds) in zip(SLOW, results):
        assert r.returncode == code, (name, r.stdout[-2000:], r.stderr)
        assert least <= seconds <= most, (name, seconds)
        if code != 0:
            assert "curl_easy_perform() failed: Timeout was reached" in r.stderr, name


# ---- refused requests ----------------------------------------------------------

@pytest.mark.parametrize("action, args, status", [
    ("put_backup", ["--backupfilein", "ARCHIVE"], 500),
    ("setup_channel", ["--channel", "1", "--channelcsvfile", "CSV"], 404),
    ("push_firmware", ["--firmwarefile", "IMAGE"], 500),
])
def test_refused_restore_or_apply_fails_the_action(simulator, cli, tmp_path, action, args, status):
    values = {"CSV": csv_file(tmp_path), "ARCHIVE": one_set_archive(tmp_path), "IMAGE": raw_image(tmp_path)}
    refusal = "<html><body>refused by the controller</body></html>"
    simulator.set_faults({"trigger_status": status, "trigger_body": refusal})
    r = cli("--action", action, "--ip", simulator.ip, *[values.get(a, a) for a in args])
    assert r.returncode == 1, r.stdout[-2000:]
    refused = r.stdout.index("The controller refused the request (HTTP %d).\r\n" % status)
    assert [e["fault"] for e in simulator.log_entries("http") if e.get("fault")] == ["trigger_status"]
    assert "OK\n" not in r.stdout[refused:]
    for success in ("File restored.", "backup file restore started", "backup push completed",
                    "Restore operation completed"):
        assert success not in r.stdout
    if action == "push_firmware":
        # The controller's answer is still shown, and the report starts a line of its own.
        # ... and the verification line follows the refusal, as after any failed apply request.
        assert (refusal + "\nThe controller refused the request (HTTP %d).\r\n" % status
                + "Verifying firmware upgrade... PLEASE WAIT...\r\n") in r.stdout
        assert simulator.status()["firmware_version"] == "1.3.0"


def test_unanswered_apply_request_is_reported_before_the_verification_line(simulator, cli, tmp_path):
    simulator.set_faults({"drop": ["firmwareupgrade"]})
    r = cli("--action", "push_firmware", "--ip", simulator.ip, "--firmwarefile", raw_image(tmp_path))
    assert r.returncode == 1
    why = "Server returned nothing (no headers, no data)"
    assert "curl_easy_perform() failed: %s\n" % why in r.stderr
    assert r.stdout.endswith("Applying firmware upgrade... PLEASE WAIT...\r\nFirmware push failed, %s.\r\n"
                             "Verifying firmware upgrade... PLEASE WAIT...\r\n" % why)


# ---- replies over their cap ----------------------------------------------------

# (action and its arguments, target, cap in bytes, most MiB the run may
# hold, with room for a sanitizer build). Before the caps a 1 GiB status
# reply took 4 GiB, a 1 GiB set 1.1 GiB.
@pytest.mark.parametrize("action, args, match, cap, most", [
    ("get_status", [], "status.ssi", 1 << 20, 64),
    ("get_backup", ["--backupfileout", "OUT", "--backupfileouttype", "zip", "--backupconfig", '["rlc"]'],
     "config=rlc", 64 << 20, 400),
], ids=["status", "set"])
def test_huge_reply_is_cut_off_in_bounded_memory(simulator, ornat_cli, cli_home, tmp_path, action, args, match, cap,
                                                 most, out):
    simulator.set_faults({"huge_reply": 1 << 30, "huge_match": [match]})
    code, stdout, peak = run_measured(ornat_cli, cli_home, tmp_path, "--action", action, "--ip", simulator.ip,
                                      *[out if a == "OUT" else a for a in args])
    assert code == 1
    assert "The reply is larger than %d bytes; it was cut off.\r\n" % cap in stdout
    assert "model_name=" not in stdout
    assert peak < most, peak


# ---- TFTP reads against the size they announced --------------------------------

@pytest.mark.parametrize("faults, sent", [
    ({"tftp_short_after": 1_000_064}, 1_000_064),
    ({"tftp_big_block": 3}, FLASH_SIZE - 128),  # the client keeps 128 of the 256 bytes
], ids=["ends early", "overlong block"])
def test_read_that_breaks_its_announced_size_fails(simulator, cli, tmp_path, faults, sent, out):
    simulator.set_faults(faults)
    message = "The controller announced %d bytes but sent %d.\r\n" % (FLASH_SIZE, sent)
    earlier = b"an earlier image that must survive" * 100
    (out / "flashfs.bin").write_bytes(earlier)
    r = cli("--action", "read_file_flashfs", "--ip", simulator.ip, "--backupfileout", out,
            "--backupfileouttype", "bin")
    assert r.returncode == 1
    assert message in r.stdout
    assert (out / "flashfs.bin").read_bytes() == earlier
    assert os.listdir(out) == ["flashfs.bin"]

    backup = tmp_path / "backup"
    backup.mkdir()
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", backup,
            "--backupfileouttype", "zip", "--backupconfig", '["rlc"]')
    assert r.returncode == 1
    assert message in r.stdout
    (archive,) = backup.glob("*.zip")
    with zipfile.ZipFile(archive) as z:
        assert "flashfs.bin" not in z.namelist()
        assert "rlc.tar" in z.namelist()


# ---- redirects and addresses that lead away from HTTP ---------------------------

@pytest.fixture
def listener():
    """A TCP port that takes connections into its queue without accepting
    them: one made to it can still be accepted afterwards."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        sock.setblocking(False)
        yield sock


@pytest.mark.parametrize("location", ["file://JSON", "tftp://SIM/flashfs.bin", "ftp://LISTENER/status.json"])
def test_redirect_to_another_protocol_is_not_followed(simulator, cli, tmp_path, listener, location):
    local = tmp_path / "status.json"
    local.write_text('{"model_name": "LOCALFILE"}')
    location = (location.replace("JSON", str(local)).replace("SIM", simulator.ip)
                .replace("LISTENER", "127.0.0.1:%d" % listener.getsockname()[1]))
    simulator.set_faults({"redirect_to": location, "redirect_match": ["status.ssi"]})
    r = cli("--action", "get_status", "--ip", simulator.ip, timeout=30)
    assert r.returncode == 1
    assert "LOCALFILE" not in r.stdout
    assert "curl_easy_perform() failed: " in r.stderr
    assert simulator.http_targets() == ["/api/v100/status.ssi"]
    assert simulator.log_entries("tftp") == []
    with pytest.raises(BlockingIOError):
        listener.accept()


@pytest.mark.parametrize("hops, code", [(5, 0), (6, 1), (None, 1)])
def test_at_most_five_redirects_are_followed(simulator, cli, hops, code):
    simulator.set_faults({"redirect_loop": ["status.ssi"], "redirect_hops": hops})
    r = cli("--action", "get_status", "--ip", simulator.ip, timeout=30)
    assert r.returncode == code
    targets = simulator.http_targets()
    assert targets == ["/api/v100/status.ssi"] + ["/api/v100/status.ssi?hop=%d" % n for n in range(1, 6)]
    if code == 0:
        assert r.stdout.endswith("model_name=TARNEL-2\r\n")
    else:
        assert "model_name=" not in r.stdout
