"""push_firmware against the controller simulator."""

import hashlib
import os
import shutil
import subprocess
import sys

import pytest

from ornat_sim.firmware import build_firmware_image
from conftest import SOURCE_DIR, run_measured

PASSWORD = "5d0c7a93e1b24f68a07c3e9d52f1b846c09a7e3d"

needs_7z = pytest.mark.skipif(shutil.which("7z") is None, reason="7z (p7zip-full) not installed")


def make_package(folder, image, digest_text=None, method="Deflate", password=PASSWORD):
    """A firmware package as a maker would build it with 7-Zip: AES-256
    entries "ornat.bh" (the image's SHA-256 in hex) and "ornat.binary"."""
    work = folder / "pkg-src"
    work.mkdir(exist_ok=True)
    (work / "ornat.bh").write_text(digest_text if digest_text is not None else hashlib.sha256(image).hexdigest())
    (work / "ornat.binary").write_bytes(image)
    package = folder / "firmware.bin"
    package.unlink(missing_ok=True)
    subprocess.run(["7z", "a", "-tzip", "-p" + password, "-mem=AES256", "-mm=" + method, str(package),
                    "ornat.bh", "ornat.binary"], cwd=work, check=True, stdout=subprocess.DEVNULL)
    return package


def apply_requests(sim):
    return [t for t in sim.http_targets() if "firmwareupgrade" in t]


@needs_7z
@pytest.mark.parametrize("size, method", [(0x200000, "Deflate"), (9_000_000, "Copy")])
def test_valid_package_is_uploaded_and_applied(start_simulator, cli, cli_home, tmp_path, size, method):
    sim = start_simulator(model="TARNEL-4", firmware="1.5.0")
    image = build_firmware_image("TARNEL-4", "2.2.4", size=size)
    package = make_package(tmp_path, image, hashlib.sha256(image).hexdigest().upper(), method)
    r = cli("--action", "push_firmware", "--ip", sim.ip, "--firmwarefile", package, timeout=600)
    assert r.returncode == 0, r.stdout[-3000:]
    assert sim.last_upload() == image  # byte-identical, also past the 16-bit block number wrap
    digest = hashlib.sha256(image).hexdigest()
    assert apply_requests(sim) == ["/api/v100/status.ssi?action=firmwareupgrade&hash=%s&size=%d" % (digest, size)]
    assert sim.log_entries("firmware")[-1]["accepted"]
    out = r.stdout
    order = ["Preparing file...\n", "== Firmware Info ==\r\n", "model_name=TARNEL-4\r\n",
             "version_string=2.2.4\r\n", "== ==\r\n", "Transferring... PLEASE WAIT...\r\n", "OK\n",
             "Applying firmware upgrade... PLEASE WAIT...\r\n", "Verifying firmware upgrade... PLEASE WAIT...\r\n",
             "OK\n"]
    position = out.index("Downloading backup before firmware upgrade")
    for piece in order:
        position = out.index(piece, position) + len(piece)
    assert sim.status()["firmware_version"] == "2.2.4"
    # The image waited for its upload in a temporary file, which is gone.
    assert [n for n in os.listdir(cli_home / "runtime") if n.startswith("ornat-cli-firmware")] == []


@needs_7z
@pytest.mark.parametrize("make, message", [
    pytest.param(lambda d, image: make_package(d, image, "0" * 64), "File is invalid (h).\n", id="wrong digest"),
    pytest.param(lambda d, image: make_package(d, image, password="not the password"),
                 "File format is invalid (pbh).\n", id="wrong password"),
    pytest.param(lambda d, image: make_package(d, build_firmware_image("TARNEL-5", "1.5.0")), "", id="unknown model"),
    pytest.param(lambda d, image: make_package(d, image[:0x1C00B7]), "", id="short image"),
    pytest.param(lambda d, image: make_package(d, image).rename(d / "firmware.BIN"), "File format not supported.\n",
                 id="extension"),
    pytest.param(lambda d, image: d / "absent.bin", "File format is invalid (open).\n", id="missing file"),
])
def test_invalid_files_upload_nothing(simulator, cli, tmp_path, make, message):
    path = make(tmp_path, build_firmware_image("TARNEL-2", "1.5.0"))
    r = cli("--action", "push_firmware", "--ip", simulator.ip, "--firmwarefile", path)
    assert r.returncode == 1
    assert message + "FIRMWARE FILE IS NOT VALID!" in r.stdout
    assert r.stdout.endswith("FIRMWARE FILE IS NOT VALID!")
    assert simulator.log_entries("upload") == []
    assert apply_requests(simulator) == []


@needs_7z
@pytest.mark.slow
def test_validation_holds_less_than_one_and_a_half_images(ornat_cli, cli_home, tmp_path):
    """A 16 MB image of an unknown model: read, decrypted, inflated and
    hashed, then refused before any transfer."""
    # Made by another process: the tool's process starts as a copy of this
    # one, and its peak would count an image held here.
    work = tmp_path / "pkg-src"
    work.mkdir()
    subprocess.run([sys.executable, "-c", "import hashlib, sys; from ornat_sim.firmware import build_firmware_image; "
                    "image = build_firmware_image('TARNEL-9', '9.9.9', size=16_000_000); "
                    "open('ornat.binary', 'wb').write(image); open('ornat.bh', 'w').write(hashlib.sha256(image).hexdigest())"],
                   cwd=work, env=dict(os.environ, PYTHONPATH=str(SOURCE_DIR / "sim")), check=True)
    package = tmp_path / "firmware.bin"
    subprocess.run(["7z", "a", "-tzip", "-p" + PASSWORD, "-mem=AES256", str(package), "ornat.bh", "ornat.binary"],
                   cwd=work, check=True, stdout=subprocess.DEVNULL)
    code, out, peak = run_measured(ornat_cli, cli_home, tmp_path, "--action", "push_firmware", "--ip", "127.0.0.1:9",
                                   "--firmwarefile", package, "--check")
    assert code == 1 and out.endswith("FIRMWARE FILE IS NOT VALID!")
    assert peak < 1.5 * 16_000_000 / (1 << 20), peak


def test_refused_upload_sends_no_apply_request(simulator, cli, tmp_path):
    raw = tmp_path / "image.binary"
    raw.write_bytes(build_firmware_image("TARNEL-2", "1.5.0"))
    simulator.set_faults({"tftp_refuse_write": True})
    r = cli("--action", "push_firmware", "--ip", simulator.ip, "--firmwarefile", raw)
    assert r.returncode == 1
    assert "Firmware push failed, " in r.stdout
    assert "OK\n" not in r.stdout
    assert apply_requests(simulator) == []
