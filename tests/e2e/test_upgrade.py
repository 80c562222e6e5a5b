"""push_firmware checks the controller's model before it uploads anything,
and after the apply request waits for the controller to come back with the
image's version. The simulator falls silent for 3 s after an accepted apply
request (no HTTP or TFTP answers, no refusals either), then answers again."""

import concurrent.futures
import hashlib
import threading
import time

import pytest

from ornat_sim.firmware import build_firmware_image
from test_firmware import apply_requests, make_package, needs_7z

# Without a download folder the safety backup is skipped: it has no part in
# the upgrade and would only make every run longer.
NO_BACKUP = {"HOME": None, "USERPROFILE": None, "XDG_CONFIG_HOME": None}
STATUS = "/api/v100/status.ssi"
UNREAD_WARNING = "[WARN] Could not read the controller's model; its model is not checked.\r\n"
WAITING = "Waiting for the controller to restart...\r\n"


def image_file(folder, kind, model="TARNEL-2", version="1.5.0"):
    """A raw image (.binary) or a firmware package (.bin) of the model."""
    image = build_firmware_image(model, version)
    if kind == "package":
        return make_package(folder, image)
    path = folder / "image.binary"
    path.write_bytes(image)
    return path


def push(cli, sim, path, *extra, timeout=120):
    """(result, seconds) of push_firmware against the simulator."""
    started = time.monotonic()
    r = cli("--action", "push_firmware", "--ip", sim.ip, "--firmwarefile", path, *extra, env=NO_BACKUP,
            timeout=timeout)
    return r, time.monotonic() - started


def status_reads(entries):
    return [e for e in entries if e["kind"] == "http" and e["target"] == STATUS]


def split_at_apply(sim):
    """The request log before the firmware entry, and from it on."""
    entries = sim.log_entries()
    at = next((i for i, e in enumerate(entries) if e["kind"] == "firmware"), len(entries))
    return entries[:at], entries[at:]


KINDS = ["raw", pytest.param("package", marks=needs_7z)]


@pytest.mark.parametrize("kind", KINDS)
def test_same_model_is_upgraded_and_confirmed(simulator, cli, tmp_path, kind):
    r, _ = push(cli, simulator, image_file(tmp_path, kind))
    assert r.returncode == 0, r.stdout[-2000:]
    assert UNREAD_WARNING not in r.stdout
    applied = r.stdout.index("Verifying firmware upgrade... PLEASE WAIT...\r\nOK\n")
    assert r.stdout.index(WAITING) > applied
    assert r.stdout.endswith("Controller runs firmware 1.5.0.\r\n"), r.stdout[-800:]
    before, after = split_at_apply(simulator)
    # The model was read before the upload ...
    assert status_reads(before[: [e["kind"] for e in before].index("upload")])
    # ... and the read that met the silent controller was answered once it
    # was back, with the new version.
    assert after[0]["back"] == "new" and any(e.get("held", 0) > 0 for e in status_reads(after))
    assert simulator.status()["firmware_version"] == "1.5.0"
    # The image arrives whole, and the apply request names its digest and
    # size: for a raw image the tool computes them itself.
    image = build_firmware_image("TARNEL-2", "1.5.0")
    assert simulator.last_upload() == image
    assert apply_requests(simulator) == ["%s?action=firmwareupgrade&hash=%s&size=%d" % (
        STATUS, hashlib.sha256(image).hexdigest(), len(image))]


@pytest.mark.parametrize("kind", KINDS)
def test_other_model_uploads_nothing(start_simulator, cli, tmp_path, kind):
    sim = start_simulator(model="TARNEL-4", firmware="1.3.0")
    r, _ = push(cli, sim, image_file(tmp_path, kind, model="TARNEL-2"))
    assert r.returncode == 1
    assert r.stdout.endswith("Firmware is for TARNEL-2, but the controller is a TARNEL-4. Nothing was uploaded.\r\n")
    assert [e for e in sim.log_entries() if e["kind"] in ("tftp", "upload", "firmware")] == []
    assert [t for t in sim.http_targets() if t != STATUS] == []  # no apply request either


def test_unreadable_status_warns_and_upgrades(simulator, cli, tmp_path):
    simulator.set_faults({"status_body": "<html><body>Please log in.</body></html>"})

    def readable_again():  # once the image is up, so that the upgrade can be confirmed
        simulator.wait_for_log("upload", timeout=60)
        simulator.clear_faults()

    restorer = threading.Thread(target=readable_again)
    restorer.start()
    r, _ = push(cli, simulator, image_file(tmp_path, "raw"))
    restorer.join()
    assert r.returncode == 0, r.stdout[-2000:]
    assert r.stdout.index(UNREAD_WARNING) < r.stdout.index("Transferring... PLEASE WAIT...")
    assert r.stdout.endswith("Controller runs firmware 1.5.0.\r\n")


def test_no_wait_ends_after_the_apply_request(simulator, cli, tmp_path):
    r, _ = push(cli, simulator, image_file(tmp_path, "raw"), "--upgradewait", "0")
    assert r.returncode == 0
    assert "UpgradeWait0\n" in r.stdout
    assert r.stdout.endswith("Verifying firmware upgrade... PLEASE WAIT...\r\nOK\n")
    assert status_reads(split_at_apply(simulator)[1]) == []


# (name, simulator faults, message, least and most seconds). The wait is 6 s;
# a read that meets a controller that never comes back gives up only after
# the 60 s of its own time limit, so the deadline is noticed after it.
DEADLINE = [
    ("back with the old version", {"upgrade_back_old": True},
     "The controller answers with firmware 1.3.0, not 1.5.0.\r\n", 6, 20),
    ("never back", {"upgrade_never_back": True},
     "The controller did not answer within 6 seconds after the upgrade.\r\n", 60, 90),
    ("back without a model", {"upgrade_back_model": ""},
     "The controller's status names no model; firmware 1.5.0 is not confirmed.\r\n", 6, 20),
]


@pytest.mark.slow
def test_deadline_without_the_new_version(start_simulator, cli, tmp_path):
    """Both cases side by side: about 65 s."""
    sims = [start_simulator(name=name.replace(" ", "-"), faults=faults) for name, faults, *_ in DEADLINE]
    image = image_file(tmp_path, "raw")
    with concurrent.futures.ThreadPoolExecutor(len(DEADLINE)) as pool:
        runs = list(pool.map(lambda s: push(cli, s, image, "--upgradewait", "6"), sims))
    for (name, _, message, least, most), sim, (r, seconds) in zip(DEADLINE, sims, runs):
        assert r.returncode == 1, (name, r.stdout[-2000:])
        assert r.stdout.endswith(message), (name, r.stdout[-800:])
        reads = status_reads(split_at_apply(sim)[1])
        assert reads, name
        # The whole run includes the upload (about 2 s) before the wait.
        assert least <= seconds <= most, (name, seconds)
    # An old version before the deadline is no failure yet: the status was
    # read again until the wait was over.
    assert len(status_reads(split_at_apply(sims[0])[1])) >= 3


def test_controller_of_another_model_after_the_restart_ends_the_wait(simulator, cli, tmp_path):
    simulator.set_faults({"upgrade_back_model": "TARNEL-4"})
    r, seconds = push(cli, simulator, image_file(tmp_path, "raw"), "--upgradewait", "120")
    assert r.returncode == 1
    assert r.stdout.endswith("The controller now reports model TARNEL-4, not TARNEL-2.\r\n")
    assert seconds < 60 and len(status_reads(split_at_apply(simulator)[1])) == 1


@pytest.mark.parametrize("value", ["", "abc", "-1", "1.5", "4294967296", "5 "])
def test_wait_must_be_whole_seconds(cli, value):
    r = cli("--action", "push_firmware", "--ip", "127.0.0.1:9", "--firmwarefile", "x.binary", "--upgradewait",
            value, env=NO_BACKUP)
    assert r.returncode == 2
    assert "UpgradeWait%s\n" % value in r.stdout
    assert r.stdout.endswith("Invalid --upgradewait value '%s' (whole seconds from 0 to 4294967295).\r\n" % value)
