"""get_backup and the safety backup against the controller simulator."""

import json
import os
import signal
import subprocess
import zipfile

import pytest

from ornat_sim.sets import CONFIG_SETS
from ornat_sim.tar import build_tar, parse_tar
from conftest import cli_environment, tool_txt

DEFAULT_SETS = [name for name, _ in CONFIG_SETS]


def archives(folder):
    return sorted(p for p in os.listdir(folder) if p.startswith("backup_") and p.endswith(".zip"))


def tar_members(data):
    return [(name, body) for name, _, body in parse_tar(data)]


def same_tar_as_served(stored, sim, set_name):
    """The stored tar is byte for byte the one the simulator serves for the
    set (the simulator stamps its tars with the time of the request, so the
    stored tar's own time is used to rebuild it)."""
    mtime = int(stored[136:148].split(b"\0")[0].strip() or b"0", 8)
    served = build_tar([(n, b) for n, b in tar_members(stored)], mtime=mtime)
    expected_members = [(n, b) for n, _, b in sim.fetch_set(set_name)]
    return stored == served and [n for n, _ in tar_members(stored)] == [n for n, _ in expected_members]


def test_full_backup_to_zip(simulator, cli, out):
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", out, "--backupfileouttype", "zip",
            timeout=300)
    assert r.returncode == 0, r.stderr
    names = archives(out)
    assert len(names) == 1
    assert names[0].startswith("backup_127.0.0.1_%d_TARNEL_" % simulator.port)
    # 603 set fetches, in order.
    targets = [t for t in simulator.http_targets() if t.startswith("/api/v100/backup.ssi")]
    assert targets == ["/api/v100/backup.ssi?config=" + n for n in DEFAULT_SETS]

    with zipfile.ZipFile(out / names[0]) as z:
        assert z.testzip() is None
        members = z.namelist()
        present = [n for n in DEFAULT_SETS if simulator.read_device_file(n) is not None]
        assert members == ["tool.txt", "flashfs.bin"] + [n + ".tar" for n in present] + ["log.txt"]
        assert all(i.compress_type == zipfile.ZIP_DEFLATED for i in z.infolist())
        assert z.read("tool.txt") == tool_txt()
        assert z.read("flashfs.bin") == (simulator.state / "flashfs.bin").read_bytes()
        for name in present:
            assert same_tar_as_served(z.read(name + ".tar"), simulator, name), name
        log = z.read("log.txt").decode()
    assert log.startswith("Downloading flashfs.bin...\nDownload of flashfs.bin completed (")
    assert log.endswith("100%% Completed (%s/%s).\n" % (out, names[0]))
    assert "\r" not in log
    assert "0% Backup file systemconfig.tar...\n" in log
    assert "backup\tbackup file not found for action get_backup.\n" in log  # sets the controller lacks


@pytest.mark.parametrize("out_args, config, listing", [
    (["--backupfileout", "OUT", "--backupfileouttype", "directory"], '["dali1", "dali4", "systemconfig"]',
     ["dali1.tar", "flashfs.bin", "log.txt", "systemconfig.tar", "tool.txt"]),
    ([], '"rlc"', ["flashfs.bin", "log.txt", "rlc.tar", "tool.txt"]),  # default: a directory, the current folder
], ids=["directory", "default"])
def test_output_types_and_set_lists(simulator, cli, out_args, config, listing, out):
    r = cli("--action", "get_backup", "--ip", simulator.ip, *[out if a == "OUT" else a for a in out_args],
            "--backupconfig", config, cwd=out)
    assert r.returncode == 0
    sets = json.loads(config)
    assert simulator.http_targets() == ["/api/v100/backup.ssi?config=" + n
                                        for n in ([sets] if isinstance(sets, str) else sets)]
    assert sorted(os.listdir(out)) == listing
    if "dali1.tar" in listing:
        assert same_tar_as_served((out / "dali1.tar").read_bytes(), simulator, "dali1")
        assert (out / "log.txt").read_text().endswith("100% Completed ((null)).\n")


def test_unreachable_controller_fails(cli, refusing_ip, out):
    r = cli("--action", "get_backup", "--ip", refusing_ip, "--backupfileout", out, "--backupfileouttype", "zip",
            "--backupconfig", '["dali1"]')
    assert r.returncode == 1
    assert "[WARN] Could not fetch flashfs.bin for backup" in r.stdout
    # What was reachable (nothing) is still in a readable archive.
    with zipfile.ZipFile(out / archives(out)[0]) as z:
        assert z.namelist() == ["tool.txt", "log.txt"]


def test_long_output_path_is_named_whole(simulator, cli, tmp_path):
    deep = tmp_path.joinpath(*["f%03d" % i + "x" * 196 for i in range(8)])
    deep.mkdir(parents=True)
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", deep, "--backupfileouttype", "zip",
            "--backupconfig", '["dali1"]')
    assert r.returncode == 0
    (name,) = archives(deep)
    line = "100%% Completed (%s/%s)." % (deep, name)
    assert len(line) > 1500 and r.stdout.endswith(line + "\r\n")
    with zipfile.ZipFile(deep / name) as z:
        assert z.read("log.txt").decode().endswith(line + "\n")


def test_unwritable_folder_fails(simulator, cli, tmp_path):
    missing = tmp_path / "no" / "such"
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", missing, "--backupfileouttype", "zip",
            "--backupconfig", '["dali1"]')
    assert r.returncode == 1
    assert "Could not open zip file for writing: %s/backup_" % missing in r.stdout
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", missing,
            "--backupfileouttype", "directory", "--backupconfig", '["dali1"]')
    assert r.returncode == 1


def test_interrupted_backup_leaves_no_archive(simulator, ornat_cli, cli_home, out):
    simulator.set_faults({"delay": 0.05})
    process = subprocess.Popen([str(ornat_cli), "--action", "get_backup", "--ip", simulator.ip,
                                "--backupfileout", str(out), "--backupfileouttype", "zip"],
                               env=cli_environment(cli_home), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    simulator.wait_for_log(lambda e: e.get("target", "").endswith("config=dali1"), timeout=30)
    process.send_signal(signal.SIGKILL)
    process.wait()
    assert archives(out) == []


@pytest.mark.parametrize("action, extra, message", [
    ("put_backup", ["--backupfilein", "/nonexistent/backup.zip"], "Downloading backup before restoring (%s)..."),
    ("push_firmware", ["--firmwarefile", "/nonexistent/fw.txt"],
     "Downloading backup before firmware upgrade (%s)..."),
])
def test_safety_backup_lands_in_the_downloads_folder(simulator, cli, cli_home, tmp_path, action, extra, message):
    downloads = tmp_path / "xdg-downloads"
    (cli_home / ".config").mkdir(parents=True, exist_ok=True)
    (cli_home / ".config" / "user-dirs.dirs").write_text('XDG_DOWNLOAD_DIR="%s"\n' % downloads)
    r = cli("--action", action, "--ip", simulator.ip, *extra, timeout=300)
    assert (message % downloads) + "\r\n" in r.stdout
    names = archives(downloads)  # created although it did not exist
    assert len(names) == 1
    with zipfile.ZipFile(downloads / names[0]) as z:
        members = z.namelist()
    assert members[:2] == ["tool.txt", "flashfs.bin"] and "log.txt" not in members
    assert r.returncode == 1  # the action itself then fails on its bad input


def test_no_downloads_folder_warns(simulator, cli):
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", "/nonexistent.zip",
            env={"HOME": None, "USERPROFILE": None, "XDG_CONFIG_HOME": None})
    assert "[WARN] Could not determine user download directory, skipping get_backup.\r\n" in r.stdout
    assert not any("backup.ssi" in t for t in simulator.http_targets())
