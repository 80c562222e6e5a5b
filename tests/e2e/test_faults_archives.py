"""Backups that are damaged or hostile, as verify_backup, diff_backup and
put_backup meet them: members listed twice, archives cut short, set tars cut
inside a member, names with control characters, and backups too large to
hold whole."""

import io
import tarfile
import warnings
import zipfile

import pytest

from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar
from conftest import backup_of, run_measured

STATUS = b'{"model_name": "TARNEL-2", "firmware_version": "1.3.0", "serial_number": "1", "mac": "m"}'


def set_tar(name, body=b"set data"):
    return build_tar([(SET_PATHS[name], body), ("status.txt", STATUS)])


def write_zip(path, members):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zipfile warns about a duplicate name, and writes it
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in members:
                z.writestr(name, data)
    return path


def no_uploads(sim):
    return sim.log_entries("upload") == [] and not any("restoreconfig" in t for t in sim.http_targets())


def test_member_listed_twice(simulator, cli, tmp_path):
    twice = write_zip(tmp_path / "twice.zip", [("rlc.tar", set_tar("rlc", b"first")),
                                               ("dali1.tar", set_tar("dali1")),
                                               ("rlc.tar", set_tar("rlc", b"second"))])
    good = write_zip(tmp_path / "good.zip", [("rlc.tar", set_tar("rlc", b"first"))])
    r = cli("--action", "verify_backup", "--backupfilein", twice)
    assert r.returncode == 1
    assert "rlc.tar: more than once in the backup\r\n" in r.stdout
    r = cli("--action", "diff_backup", "--backupfilein", good, "--comparewith", twice)
    assert r.returncode == 2
    assert "%s holds rlc.tar more than once.\r\n" % twice in r.stdout
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", twice)
    assert r.returncode == 1
    assert r.stdout.endswith("%s holds rlc.tar more than once.\r\nNothing was restored.\r\n" % twice)
    assert no_uploads(simulator)


@pytest.mark.parametrize("cut", ["half", "byte 148"])
def test_archive_that_is_no_zip_and_no_whole_tar_is_unusable(simulator, cli, tmp_path, cut):
    archive = backup_of(simulator, cli, tmp_path / "backup")
    data = archive.read_bytes()
    damaged = tmp_path / "damaged.zip"
    damaged.write_bytes(data[:len(data) // 2] if cut == "half" else data[:148] + b"\0" + data[149:4096])
    unusable = "%s: neither a backup archive, a backup folder nor a tar.\r\n" % damaged
    for action, args in (("verify_backup", []), ("diff_backup", ["--comparewith", archive])):
        r = cli("--action", action, "--backupfilein", damaged, *args)
        assert (r.returncode, unusable in r.stdout) == (2, True), (action, r.stdout[-500:])
    uploads_before = len(simulator.log_entries("upload"))
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", damaged)
    assert r.returncode == 1
    assert r.stdout.endswith(unusable)
    assert len(simulator.log_entries("upload")) == uploads_before  # the safety backup uploads nothing


def test_single_tar_cut_inside_its_member_is_not_sent(simulator, cli, tmp_path):
    cut = tmp_path / "rlc.tar"
    cut.write_bytes(build_tar([(SET_PATHS["rlc"], bytes(5000))])[:2048])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", cut)
    assert r.returncode == 1
    assert "%s: neither a backup archive, a backup folder nor a tar.\r\n" % cut in r.stdout
    assert "OK\n" not in r.stdout and no_uploads(simulator)


def test_damaged_member_stops_the_whole_restore(simulator, cli, tmp_path):
    archive = write_zip(tmp_path / "backup.zip", [("rlc.tar", set_tar("rlc")),
                                                  ("dali1.tar", set_tar("dali1", bytes(3000))[:1200]),
                                                  ("schedules.tar", set_tar("schedules"))])
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", archive)
    assert r.returncode == 1
    assert r.stdout.endswith("action_put_backup\terror reading '/etc/config/dali/dali1.bin'\r\n"
                             "Set dali1 was not restored.\r\nNothing was restored.\r\n")
    assert no_uploads(simulator)


def test_folder_backup_is_restored_in_fetch_order(start_simulator, cli, tmp_path):
    source = start_simulator(model="TARNEL-2", firmware="1.3.0", name="source")
    folder = backup_of(source, cli, tmp_path / "folder", "directory")
    target = start_simulator(model="TARNEL-2", firmware="1.3.0", name="target")
    r = cli("--action", "put_backup", "--ip", target.ip, "--backupfilein", folder, timeout=600)
    assert r.returncode == 0, r.stdout[-2000:]
    restored = [e["applied"][0] for e in target.log_entries("restore")]
    assert restored[:4] == [SET_PATHS[n] for n in ("systemconfig", "bastimeout", "schedules", "schedulesastro")]
    assert len(restored) == len(list(folder.glob("*.tar")))
    assert target.read_device_file("dali1") == source.read_device_file("dali1")


def test_names_with_control_characters_are_printed_as_escapes(cli, tmp_path):
    forged = "x\x1b[2K\r603 configuration sets checked, 0 problems.\n.tar"
    archive = write_zip(tmp_path / "forged.zip", [(forged, b"x"), ("rlc.tar", set_tar("rlc"))])
    r = cli("--action", "verify_backup", "--backupfilein", archive)
    assert r.returncode == 1
    assert "\x1b[2K" not in r.stdout and "\n603 configuration sets checked" not in r.stdout
    assert "x\\x1b[2K\\r603 configuration sets checked, 0 problems.\\n.tar: not a member of a backup\r\n" in r.stdout


def test_diff_with_the_controller_stops_at_a_failed_fetch(simulator, cli, tmp_path):
    before = backup_of(simulator, cli, tmp_path / "before")
    simulator.set_faults({"drop": ["config=cd1"]})
    r = cli("--action", "diff_backup", "--backupfilein", before, "--ip", simulator.ip)
    assert r.returncode == 2
    # Sets fetched before it agree; nothing after it is listed as removed.
    assert r.stdout.endswith("Could not fetch cd1 from the controller.\r\n")
    assert "\n- " not in r.stdout and "configuration sets differ" not in r.stdout


class Zeros:
    """A file of `size` zero bytes and then `tail`, made as it is read."""

    def __init__(self, size, tail):
        self.left, self.tail = size, tail

    def read(self, n):
        if self.left == 0:
            data, self.tail = self.tail[:n], self.tail[n:]
            return data
        n = min(n, self.left)
        self.left -= n
        return bytes(n)


def big_sets_archive(path, tail):
    """Four sets of 60 MiB each, streamed into the archive: the tool's
    process starts as a copy of this one, and its peak would count the sets
    if they were held here."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for n in range(4):
            name = "views%d" % n
            with z.open(name + ".tar", "w") as member, tarfile.open(fileobj=member, mode="w|") as tar:
                for member_name, size, source in ((SET_PATHS[name], (60 << 20) + len(tail), Zeros(60 << 20, tail)),
                                                  ("status.txt", len(STATUS), io.BytesIO(STATUS))):
                    info = tarfile.TarInfo(member_name)
                    info.size = size
                    tar.addfile(info, source)
    return path


@pytest.mark.slow
def test_diff_holds_one_set_of_each_side_at_a_time(ornat_cli, cli_home, tmp_path):
    sides = [big_sets_archive(tmp_path / ("%s.zip" % side), side.encode()) for side in ("old", "new")]
    code, out, peak = run_measured(ornat_cli, cli_home, tmp_path, "--action", "diff_backup",
                                   "--backupfilein", sides[0], "--comparewith", sides[1])
    assert code == 1, out[-1000:]
    assert out.count("\n~ views") == 4
    assert peak < 200, peak
