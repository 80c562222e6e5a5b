"""get_backup against a misbehaving controller and unsound input: damaged
sets, archives started in the same second and mistyped output types.
Archives without a set, refused uploads and restores that cannot be
converted are RestoreWalk's in action_put_backup_test.cpp."""

import os
import re
import subprocess
import time
import zipfile

import pytest

from conftest import cli_environment

COMPLETED = re.compile(r"100% Completed \((.*)\)\.\r\n")


def small_flash(sim):
    """A short flash image keeps the TFTP read of every backup quick."""
    (sim.state / "flashfs.bin").write_bytes(bytes(range(256)) * 64)


# ---- damaged sets ------------------------------------------------------------------

# dali3 is a set the TARNEL-2 lacks: its tar holds only status.txt.
SETS = ["systemconfig", "rlc", "dali1", "dali2", "cd1", "dali3"]


@pytest.mark.parametrize("faults, damaged, absent", [
    ({"set_http_500": ["rlc"]}, ["rlc"], []),
    ({"set_truncated": ["dali1", "systemconfig"]}, ["systemconfig", "dali1"], []),
    ({"set_without_status": ["cd1"]}, ["cd1"], []),
    ({"set_corrupt": ["dali2"]}, ["dali2"], []),
    ({"set_without_file": ["systemconfig"]}, ["systemconfig"], []),
    ({"drop": ["config=rlc"]}, ["rlc"], []),
    ({"tftp_refuse_read": True}, ["flashfs.bin"], []),
    ({"set_404": ["rlc"], "set_html": ["dali1"]}, [], ["rlc", "dali1"]),
], ids=["http 500", "truncated", "no status.txt", "bad checksum", "no set file", "no reply", "flash read",
        "absent"])
def test_damaged_sets_fail_the_backup_and_the_rest_is_kept(simulator, cli, faults, damaged, absent, out):
    small_flash(simulator)
    simulator.set_faults(faults)
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", out, "--backupfileouttype", "zip",
            "--backupconfig", '["%s"]' % '","'.join(SETS))
    assert r.returncode == (1 if damaged else 0), r.stdout[-2000:]
    (name,) = os.listdir(out)
    kept = [s + ".tar" for s in SETS if s not in damaged + absent + ["dali3"]]
    with zipfile.ZipFile(out / name) as z:
        flash = [] if "flashfs.bin" in damaged else ["flashfs.bin"]
        assert z.namelist() == ["tool.txt"] + flash + kept + ["log.txt"]
        log = z.read("log.txt").decode()
    reported = re.findall(r"Set (\S+) could not be backed up\.\r\n", r.stdout)
    assert reported == damaged
    # A set the controller lacks (dali3 always) is reported, in red, as not found.
    assert r.stdout.count("\x1b[31mbackup\tbackup file not found for action get_backup.\r\n\r\n\x1b[0m") \
        == len(absent) + 1
    for set_name in damaged:
        assert "Set %s could not be backed up.\n" % set_name in log
    # A failed exchange says why, in the log too, just before the set it cost.
    if "drop" in faults:
        assert "backup\tcurl_easy_perform() failed: Server returned nothing (no headers, no data)\n" \
            "Set rlc could not be backed up.\n" in log
    if "tftp_refuse_read" in faults:
        assert "[ERROR] curl_easy_perform() failed: " in log


# ---- archives of the same second ---------------------------------------------------

def test_backups_started_together_never_replace_each_other(simulator, ornat_cli, cli_home, out):
    small_flash(simulator)
    # All runs start early in one second: their archives get the same name.
    time.sleep(1.05 - time.time() % 1)
    runs = [subprocess.Popen([str(ornat_cli), "--action", "get_backup", "--ip", simulator.ip,
                              "--backupfileout", str(out), "--backupfileouttype", "zip",
                              "--backupconfig", '["rlc","dali1"]'],
                             env=cli_environment(cli_home), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            for _ in range(6)]
    outputs = [run.communicate(timeout=120)[0].decode() for run in runs]
    assert [run.returncode for run in runs] == [0] * 6
    paths = [COMPLETED.search(text).group(1) for text in outputs]
    assert len(set(paths)) == 6
    assert sorted(os.listdir(out)) == sorted(os.path.basename(p) for p in paths)
    for path in paths:
        assert re.fullmatch(r"backup_127\.0\.0\.1_\d+_TARNEL_\d{8}_\d{6}(_[2-9])?\.zip", os.path.basename(path))
        with zipfile.ZipFile(path) as z:
            assert z.namelist() == ["tool.txt", "flashfs.bin", "rlc.tar", "dali1.tar", "log.txt"]
            assert z.read("log.txt").decode().endswith("100%% Completed (%s).\n" % path)


# ---- output types ------------------------------------------------------------------

@pytest.mark.parametrize("output_type", ["ZIP", "folder"])
def test_unknown_output_type_is_a_usage_error(simulator, cli, output_type, out):
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", out,
            "--backupfileouttype", output_type, "--backupconfig", '["rlc"]')
    assert r.returncode == 2
    assert "Unknown backup output type '%s' (zip or directory).\r\n" % output_type in r.stdout
    assert [e["kind"] for e in simulator.log_entries() if e["kind"] not in ("start", "faults_error")] == []
    assert os.listdir(out) == []
