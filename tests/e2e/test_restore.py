"""put_backup against the controller simulator: round trips across firmware
versions, the version gate, single tars and damaged archives."""

import struct
import zipfile

import pytest

from ornat_sim.files import (CHANNEL_DEVICES_AT, CHANNEL_LAYOUTS, GROUP_ENTRY_SIZE, INPUT_ENTRIES_AT,
                             INPUT_ENTRY_SIZE, channel_file_layout, crc16, inputs_file_version)
from ornat_sim.firmware import build_firmware_image
from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar, parse_tar
from conftest import backup_of, tool_txt


def check_restored(name, original, restored, firmware):
    """A set comes back unchanged unless the target firmware takes another
    layout of it. A converted file (the unit test traces it byte by byte)
    has the target's size, layout and a valid CRC, and keeps every entry's
    leading bytes and name where the simulator's own tables put them."""
    source = struct.unpack_from("<I", original, 8)[0]
    channel, inputs = [name.startswith(p) and name[len(p):].isdigit() for p in ("dali", "cd")]
    if channel:
        source, target = source or 1, channel_file_layout(firmware)
    else:
        target = 3 if inputs and source == 2 and inputs_file_version(firmware) == 3 else source
    if source == target:
        assert restored == original, name
        return
    size, crc, version = struct.unpack_from("<III", restored)
    assert (len(restored), version) == (size, target), name
    assert crc == crc16(restored[:4] + bytes(4) + restored[8:]), name
    if inputs:
        entries = [(INPUT_ENTRIES_AT + INPUT_ENTRY_SIZE * j,) * 2 + (97,) for j in range(32)]
    else:
        f, t = CHANNEL_LAYOUTS[source], CHANNEL_LAYOUTS[target]
        entries = [(CHANNEL_DEVICES_AT + f["entry"] * i, CHANNEL_DEVICES_AT + t["entry"] * i, 43) for i in range(64)]
        entries += [(f["name"] + s, t["name"] + d, 33) for s, d, _ in list(entries)]
        entries += [(f["groups"] + GROUP_ENTRY_SIZE * g, t["groups"] + GROUP_ENTRY_SIZE * g, 38) for g in range(16)]
    for s, d, n in entries:
        assert restored[d:d + n] == original[s:s + n], (name, s, d)


# ---- helpers -------------------------------------------------------------------

def set_files(archive):
    """{set name: file bytes} of the configuration sets in an archive."""
    files = {}
    with zipfile.ZipFile(archive) as z:
        for member in z.namelist():
            if not member.endswith(".tar"):
                continue
            name = member[:-4]
            path = SET_PATHS[name]
            (body,) = [b for n, _, b in parse_tar(z.read(member)) if n == path]
            files[name] = body
    return files


def write_zip(path, members):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return path


def set_tar(name, body):
    return build_tar([(SET_PATHS[name], body)])


# ---- round trips ---------------------------------------------------------------

@pytest.mark.parametrize("source_fw, target_fw", [
    ("1.3.0", "1.3.1"), ("1.3.0", "1.5.0"), ("1.3.0", "2.2.4"), ("1.3.1", "2.2.4"), ("1.5.0", "1.5.0"),
])
def test_round_trip_converts_every_set(start_simulator, cli, tmp_path, source_fw, target_fw):
    source = start_simulator(model="TARNEL-4", firmware=source_fw, name="source")
    archive = backup_of(source, cli, tmp_path / "backup")
    originals = set_files(archive)
    assert {"dali1", "dali4", "cd1", "systemconfig"} <= set(originals)

    target = start_simulator(model="TARNEL-4", firmware=target_fw, name="target")
    r = cli("--action", "put_backup", "--ip", target.ip, "--backupfilein", archive, timeout=600)
    assert r.returncode == 0, r.stdout[-2000:]
    assert r.stdout.endswith("100% Restore operation completed.\r\n")
    restores = target.log_entries("restore")
    assert len(restores) == len(originals) and all(e["ok"] for e in restores)
    # Restored in archive order, each by its own upload and trigger.
    assert [e["applied"] for e in restores] == [[SET_PATHS[n]] for n in originals]
    for name, original in originals.items():
        check_restored(name, original, target.read_device_file(name), target_fw)
    # flashfs.bin is never written back.
    assert not any(e.get("file") == "flashfs.bin" for e in target.log_entries("tftp") if e["op"] == "write")


# ---- inputs other than get_backup archives -------------------------------------------

def test_single_tar_is_sent_unchanged(simulator, cli, tmp_path):
    body = b"\x01\x02schedule" * 50
    tar_path = tmp_path / "schedule.tar"
    tar_path.write_bytes(set_tar("schedules", body))
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", tar_path)
    assert r.returncode == 0
    assert "OK\n" in r.stdout and "Restore operation completed" not in r.stdout
    assert simulator.read_device_file("schedules") == body
    assert [e["bytes"] for e in simulator.log_entries("upload")] == [tar_path.stat().st_size]


@pytest.mark.parametrize("content, code, why", [
    (None, -2, "not found"), (b"", -3, "neither a backup archive, a backup folder nor a tar"),
    (b"not a tar at all" * 64, -6, "neither a backup archive, a backup folder nor a tar")])
def test_unreadable_input(simulator, cli, tmp_path, content, code, why):
    path = tmp_path / "input.bin"
    if content is not None:
        path.write_bytes(content)
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", path)
    assert r.returncode == 1
    assert r.stdout.endswith("Error %d opening tar file.\r\n%s: %s.\r\n" % (code, path, why))
    assert simulator.log_entries("upload") == []


# The tool record is found by any case; set members only by their exact
# names (the set table's lookup test), and an archive without any is the
# fault test's.
def test_tool_record_is_found_by_any_case(simulator, cli, tmp_path):
    newer = tool_txt(revision_step=1)
    dali1 = set_tar("dali1", simulator.read_device_file("dali1"))
    archive = write_zip(tmp_path / "mixed.zip", [("TOOL.TXT", newer), ("dali1.tar", dali1)])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 2
    assert ("The backup is not supported by the installed tool version. Please upgrade the tool software.\r\n"
            in r.stdout)
    assert simulator.log_entries("upload") == []


def test_archive_without_tool_record_is_restored(simulator, cli, tmp_path):
    archive = write_zip(tmp_path / "bare.zip", [("rlc.tar", set_tar("rlc", b"rlc data"))])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 0
    assert simulator.read_device_file("rlc") == b"rlc data"


def test_version_gate_comes_before_the_status(cli, tmp_path, refusing_ip):
    newer = write_zip(tmp_path / "newer.zip", [("tool.txt", tool_txt(minor_step=1))])
    r = cli("--action", "put_backup", "--ip", refusing_ip, "--backupfilein", newer)
    assert r.returncode == 2
    older = write_zip(tmp_path / "older.zip", [("tool.txt", tool_txt())])
    r = cli("--action", "put_backup", "--ip", refusing_ip, "--backupfilein", older)
    assert r.returncode == 1


@pytest.mark.parametrize("action, args", [("put_backup", ["--backupfilein", "ARCHIVE"]),
                                          ("push_firmware", ["--firmwarefile", "IMAGE"])])
def test_no_change_without_a_safety_backup(simulator, cli, cli_home, tmp_path, action, args):
    (cli_home / "blocked").write_text("a file where a folder of the Downloads folder's path should be")
    (cli_home / ".config").mkdir(exist_ok=True)
    (cli_home / ".config" / "user-dirs.dirs").write_text('XDG_DOWNLOAD_DIR="$HOME/blocked/Downloads"\n')
    downloads = cli_home / "blocked" / "Downloads"
    image = tmp_path / "image.binary"
    image.write_bytes(build_firmware_image("TARNEL-2", "1.5.0"))
    archive = write_zip(tmp_path / "one.zip", [("tool.txt", tool_txt()), ("rlc.tar", set_tar("rlc", b"x"))])
    r = cli("--action", action, "--ip", simulator.ip, *[{"ARCHIVE": archive, "IMAGE": image}.get(a, a) for a in args])
    assert r.returncode == 1
    assert r.stdout.endswith("No safety backup could be written into %s; nothing was changed.\r\n" % downloads)
    assert simulator.log_entries("upload") == []
    assert not any("restoreconfig" in t or "firmwareupgrade" in t for t in simulator.http_targets())


def test_refused_upload_fails_that_set(simulator, cli, tmp_path):
    simulator.set_faults({"tftp_refuse_write": True})
    archive = write_zip(tmp_path / "one.zip", [("tool.txt", tool_txt()), ("rlc.tar", set_tar("rlc", b"x"))])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 1
    assert "Firmware push failed, " in r.stdout
    assert not any("restoreconfig" in t for t in simulator.http_targets())
