"""put_backup against the controller simulator: round trips across firmware
versions, the version gate, single tars and damaged archives."""

import os
import struct
import zipfile

import pytest

from ornat_sim.files import channel_file_layout, crc16, inputs_file_version
from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar, parse_tar


# ---- an independent reference of the layout conversions ----------------------

CHANNEL = {
    1: dict(size=11168, entry=152, groups=9788, dt=42, dt2=None, data={5: 44, 6: 44, 8: 44},
            name=94, after=127, ku32=128, k16=136),
    2: dict(size=10912, entry=160, groups=10300, dt=44, dt2=45, data={5: 46, 6: 49, 8: 56},
            name=106, after=139, ku32=140, k16=144),
    3: dict(size=7072, entry=100, groups=6460, dt=43, dt2=44, data={},
            name=45, after=78, ku32=80, k16=84),
}
TYPE_DATA_SIZE = {5: 3, 6: 7, 8: 50}


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def finish(dst, src, version, size):
    struct.pack_into("<IIII", dst, 0, size, 0, version, u32(src, 12) + 1)
    struct.pack_into("<I", dst, 4, crc16(bytes(dst[:size])))
    return bytes(dst)


def convert_channel(src, to_version):
    fv = u32(src, 8) or 1
    f, t = CHANNEL[fv], CHANNEL[to_version]
    dst = bytearray(t["size"])
    dst[0:16] = src[0:16]
    dst[16:24] = src[16:24]
    dst[24:56] = src[24:56]
    dst[56:59] = src[56:59]
    for i in range(64):
        s = 60 + i * f["entry"]
        d = 60 + i * t["entry"]
        dst[d:d + 43] = src[s:s + 43]
        dtype = src[s + f["dt"]]
        if f["dt2"] is None:
            dst[d + t["dt"]] = dtype if dtype in (5, 6, 8) else 255
            dst[d + t["dt2"]] = 255
            if dtype in t["data"]:
                n = TYPE_DATA_SIZE[dtype]
                dst[d + t["data"][dtype]:d + t["data"][dtype] + n] = src[s + 44:s + 44 + n]
        else:
            dst[d + t["dt"]] = dtype
            dst[d + t["dt2"]] = src[s + f["dt2"]]
        dst[d + t["name"]:d + t["name"] + 33] = src[s + f["name"]:s + f["name"] + 33]
        dst[d + t["after"]] = src[s + f["after"]]
        dst[d + t["ku32"]:d + t["ku32"] + 4] = src[s + f["ku32"]:s + f["ku32"] + 4]
        dst[d + t["k16"]:d + t["k16"] + 16] = src[s + f["k16"]:s + f["k16"] + 16]
    dst[t["groups"]:t["groups"] + 16 * 38] = src[f["groups"]:f["groups"] + 16 * 38]
    dst[t["size"] - 4:] = src[f["size"] - 4:f["size"]]
    return finish(dst, src, to_version, t["size"])


def convert_inputs_2_to_3(src):
    dst = bytearray(9564)
    dst[0:28] = src[0:28]
    carried = False
    for j in range(32):
        e = 28 + 100 * j
        dst[e:e + 97] = src[e:e + 97]
        s, d = 3228 + 194 * j, 3228 + 198 * j
        has_button = False
        for k in range(32):
            t = src[e + 16 + 2 * k]
            if t == 1:
                has_button = True
                dst[d + 6 + 6 * k:d + 12 + 6 * k] = src[s + 6 * k:s + 6 * k + 6]
            elif t == 3:
                dst[d + 6 + 6 * k:d + 10 + 6 * k] = src[s + 4 * k:s + 4 * k + 4]
            elif t == 4:
                dst[d + 6 + 6 * k:d + 9 + 6 * k] = src[s + 3 * k:s + 3 * k + 3]
        if has_button and not carried:
            dst[d + 1] = src[s + 192]
            carried = True
    return finish(dst, src, 3, 9564)


def expected_after_restore(set_name, original, firmware):
    if set_name.startswith("dali") and set_name[4:].isdigit():
        target = channel_file_layout(firmware)
        source = u32(original, 8) or 1
        return original if source == target else convert_channel(original, target)
    if set_name.startswith("cd") and set_name[2:].isdigit():
        source = u32(original, 8)
        if source == 2 and inputs_file_version(firmware) == 3:
            return convert_inputs_2_to_3(original)
    return original


# ---- helpers -------------------------------------------------------------------

def backup_of(sim, cli, folder):
    folder.mkdir(exist_ok=True)
    r = cli("--action", "get_backup", "--ip", sim.ip, "--backupfileout", folder, "--backupfileouttype", "zip",
            timeout=300)
    assert r.returncode == 0
    (name,) = [p for p in os.listdir(folder) if p.endswith(".zip")]
    return folder / name


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


TOOL_TXT = (b'{\n  "tool_name": "ornat-cli",\n  "version_major": 1,\n  "version_minor": 3,\n'
            b'  "version_revision": 0,\n  "version_string": "1.3.0"\n}\n')


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
        assert target.read_device_file(name) == expected_after_restore(name, original, target_fw), name
    # flashfs.bin is never written back.
    assert not any(e.get("file") == "flashfs.bin" for e in target.log_entries("tftp") if e["op"] == "write")


def test_conversion_to_an_older_layout_stops_the_restore(start_simulator, cli, tmp_path):
    source = start_simulator(model="TARNEL-2", firmware="1.5.0", name="source")
    archive = backup_of(source, cli, tmp_path / "backup")
    target = start_simulator(model="TARNEL-2", firmware="1.3.1", name="target")
    r = cli("--action", "put_backup", "--ip", target.ip, "--backupfilein", archive, timeout=300)
    assert r.returncode == 1
    assert "CONFIGURATION dali CONVERSION VERSION 3 to 2 IS NOT SUPPORTED!" in r.stdout
    assert "Nothing was restored.\r\n" in r.stdout
    assert target.log_entries("restore") == []  # not one set of the archive
    assert "Restore operation completed" not in r.stdout


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


@pytest.mark.parametrize("content, code", [(None, -2), (b"", -3), (b"not a tar at all" * 64, -6)])
def test_unreadable_input(simulator, cli, tmp_path, content, code):
    path = tmp_path / "input.bin"
    if content is not None:
        path.write_bytes(content)
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", path)
    assert r.returncode == 1
    assert r.stdout.endswith("Error %d opening tar file." % code)
    assert simulator.log_entries("upload") == []


def test_member_names_are_matched_exactly_but_tool_record_by_any_case(simulator, cli, tmp_path):
    dali1 = simulator.read_device_file("dali1")
    archive = write_zip(tmp_path / "mixed.zip", [("TOOL.TXT", TOOL_TXT.replace(b"revision\": 0", b"revision\": 1")),
                                                 ("dali1.tar", set_tar("dali1", dali1))])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 2
    assert ("The backup is not supported by the installed tool version. Please upgrade the tool software.\r\n"
            in r.stdout)
    assert simulator.log_entries("upload") == []

    archive = write_zip(tmp_path / "upper.zip", [("TOOL.TXT", TOOL_TXT), ("DALI1.TAR", set_tar("dali1", dali1)),
                                                 ("notes/", b""), ("readme.txt", b"x")])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 1  # DALI1.TAR is no configuration set: the archive holds none
    assert "Backup archive '%s' holds no configuration set.\r\n" % archive in r.stdout
    assert simulator.log_entries("upload") == []


def test_archive_without_tool_record_is_restored(simulator, cli, tmp_path):
    archive = write_zip(tmp_path / "bare.zip", [("rlc.tar", set_tar("rlc", b"rlc data"))])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 0
    assert simulator.read_device_file("rlc") == b"rlc data"


def test_damaged_members_fail_the_restore_but_not_the_others(simulator, cli, tmp_path):
    wrong_path = build_tar([("/etc/config/other.bin", b"x"), ("status.txt", b"{}")])
    empty = build_tar([(SET_PATHS["bastimeout"], b"")])
    archive = write_zip(tmp_path / "damaged.zip", [
        ("tool.txt", TOOL_TXT), ("systemconfig.tar", wrong_path), ("bastimeout.tar", empty),
        ("rlc.tar", set_tar("rlc", b"good")), ("commanders.tar", b"not a tar")])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 1
    assert "action_put_backup\terror '/etc/config/system/systemconfig.bin' file not found.\r\n" in r.stdout
    assert "action_put_backup\terror '/etc/config/bastimeout/bastimeout.bin' file size error\r\n" in r.stdout
    assert simulator.read_device_file("rlc") == b"good"
    assert len(simulator.log_entries("restore")) == 1


def test_version_gate_comes_before_the_status(cli, tmp_path, refusing_ip):
    newer = write_zip(tmp_path / "newer.zip", [("tool.txt", TOOL_TXT.replace(b"minor\": 3", b"minor\": 4"))])
    r = cli("--action", "put_backup", "--ip", refusing_ip, "--backupfilein", newer)
    assert r.returncode == 2
    older = write_zip(tmp_path / "older.zip", [("tool.txt", TOOL_TXT)])
    r = cli("--action", "put_backup", "--ip", refusing_ip, "--backupfilein", older)
    assert r.returncode == 1


def test_refused_upload_fails_that_set(simulator, cli, tmp_path):
    simulator.set_faults({"tftp_refuse_write": True})
    archive = write_zip(tmp_path / "one.zip", [("tool.txt", TOOL_TXT), ("rlc.tar", set_tar("rlc", b"x"))])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 1
    assert "Firmware push failed, " in r.stdout
    assert not any("restoreconfig" in t for t in simulator.http_targets())
