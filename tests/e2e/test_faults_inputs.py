"""Faults around what a technician gives the tool and how runs meet and end:
CSV files that separate their fields with semicolons, option values that
would reach URLs and paths unchecked, two runs that change one controller at
the same time, runs ended by a signal."""

import fcntl
import os
import signal
import subprocess
import time

import pytest

from conftest import cli_environment

CHANNEL_HEADER = "#dali-channel-csv-version: 1\n"
GOOD_ROW = '0,5,7,Lamp,"[0,3]",254,null,1,254,0,20,"[10,20,null]"\n'
SEMICOLON_ROW = '0;5;7;Lamp;"[0;3]";254;null;1;254;0;20;"[10;20;null]"\n'


@pytest.mark.parametrize("rows", [
    SEMICOLON_ROW * 2,                          # a whole file written with ';'
    "# only comments\n",                        # no data row at all
    GOOD_ROW + SEMICOLON_ROW,                   # a ';' row after a good one
], ids=["semicolons", "no-data-row", "mixed"])
def test_csv_without_comma_rows_is_refused(start_simulator, cli, tmp_path, rows):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    bad = tmp_path / "bad.csv"
    bad.write_text(CHANNEL_HEADER + rows)
    good = tmp_path / "good.csv"
    good.write_text(CHANNEL_HEADER + GOOD_ROW)
    dali1 = sim.read_device_file("dali1")
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "[1,2]",
            "--channelcsvfile", '["%s","%s"]' % (bad, good))
    assert r.returncode == 1, r.stdout
    assert "No data row read from CSV file '%s' (fields must be separated by commas).\r\n" % bad in r.stdout
    # Channel 1 is left alone; channel 2 still gets its file.
    assert sim.read_device_file("dali1") == dali1
    assert len(sim.log_entries("upload")) == 1
    assert [e["applied"] for e in sim.log_entries("restore")] == [["/etc/config/dali/dali2.bin"]]


UNREAD = "No configuration set name read from --backupconfig '%s'"
INVALID = "Invalid configuration set name '%s' (letters, digits, '_', '.' and '-', not starting with '.')."


@pytest.mark.parametrize("out_type, config, message", [
    ("directory", '["../escaped"]', INVALID % "../escaped"),
    ("zip", '["dali1",".hidden"]', INVALID % ".hidden"),
    ("directory", '["dali1&x=1"]', INVALID % "dali1&x=1"),
    ("zip", '["dali1","a/b"]', INVALID % "a/b"),
    ("directory", "dali1&x=1", UNREAD % "dali1&x=1"),     # not JSON: never a backup of every set
    ("zip", "[]", UNREAD % "[]"),
])
def test_set_name_that_would_change_a_url_or_path_is_a_usage_error(simulator, cli, tmp_path, out_type, config,
                                                                   message):
    out = tmp_path / "out" / "inner"
    out.mkdir(parents=True)
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", out,
            "--backupfileouttype", out_type, "--backupconfig", config, cwd=out)
    assert r.returncode == 2, r.stdout
    assert message in r.stdout
    assert simulator.http_targets() == [] and simulator.log_entries("tftp") == []
    written = [p for p in tmp_path.rglob("*") if p.is_file() and not p.relative_to(tmp_path).parts[0].startswith("sim")]
    assert written == []


@pytest.mark.parametrize("args", [
    ["--actoin", "get_backup", "--ip", "SIM"],
    ["--action", "get_backup", "--ip", "SIM", "--backupfilout", "OUT"],
    ["--action", "setup_channel", "--ip", "SIM", "--channel", "1", "--channelcsvfile", "CSV", "--dry-run"],
    ["--action", "push_firmware", "--ip", "SIM", "--firmwarefile", "x.binary", "--upgradwait", "5"],
    ["--action", "get_status", "--ip", "SIM", "--tftpblocksize", "512"],
    ["--action", "get_status", "--ip", "SIM", "--backupfile", "x"],  # ambiguous
    ["--action", "get_status", "--ip"],                                 # no value
], ids=["--actoin", "--backupfilout", "--dry-run", "--upgradwait", "--tftpblocksize", "ambiguous", "no value"])
def test_mistyped_option_is_a_usage_error_and_nothing_runs(simulator, cli, tmp_path, args, out):
    csv = tmp_path / "ch1.csv"
    csv.write_text(CHANNEL_HEADER + GOOD_ROW)
    values = {"SIM": simulator.ip, "OUT": out, "CSV": '["%s"]' % csv}
    r = cli(*[values.get(a, a) for a in args], cwd=out)
    assert r.returncode == 2, r.stdout
    assert "?? getopt returned character code 077 ??\n" in r.stdout
    assert [e for e in simulator.log_entries() if e["kind"] not in ("start", "faults_error")] == []
    assert os.listdir(out) == [] and os.listdir(tmp_path / "home" / "Downloads") == []


def test_set_name_outside_the_set_table_is_still_fetched(simulator, cli, out):
    # A controller with a newer firmware may have sets the table lacks.
    r = cli("--action", "get_backup", "--ip", simulator.ip, "--backupfileout", out, "--backupfileouttype", "directory",
            "--backupconfig", '["dali1","zone_7.v2"]')
    assert r.returncode == 0, r.stdout
    assert [t for t in simulator.http_targets() if "config=" in t] == [
        "/api/v100/backup.ssi?config=dali1", "/api/v100/backup.ssi?config=zone_7.v2"]


@pytest.mark.parametrize("template", [
    "file:///etc/passwd", "http://{ip}", "{ip}/x", "{ip}?x=1", "{ip}#x", "user@{ip}", "{ip} x", "{ip}\tx", "",
    "[::1", "[]:80", ":80", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:0x50", "127.0.0.1:0", "fe80::1",
    "--backupfileout", "[1::2::3]",
])
def test_address_that_is_not_a_host_is_a_usage_error(simulator, cli, template):
    address = template.format(ip=simulator.ip)
    r = cli("--action", "get_status", "--ip", address)
    assert r.returncode == 2, r.stdout
    assert "Invalid controller address '%s'" % address in r.stdout
    assert "root:" not in r.stdout and "model_name=" not in r.stdout
    assert simulator.http_targets() == []


def test_bracketed_ipv6_address_still_works(start_simulator, cli, tmp_path):
    try:
        sim = start_simulator(args=("--address", "::1"))
    except RuntimeError as err:
        pytest.skip("no IPv6 loopback here: %s" % err)
    address = "[::1]:%d" % sim.port
    r = cli("--action", "get_status", "--ip", address)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "model_name=TARNEL-2" in r.stdout
    r = cli("--action", "read_file_flashfs", "--ip", address, "--backupfileout", tmp_path,
            "--backupfileouttype", "bin")
    assert r.returncode == 0, r.stdout + r.stderr
    assert (tmp_path / "flashfs.bin").stat().st_size == 2 * 1024 * 1024


# ---- one run at a time per controller ------------------------------------------------

def test_second_run_waits_for_the_controller_lock(start_simulator, ornat_cli, cli, cli_home, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    csv = tmp_path / "ch1.csv"
    csv.write_text(CHANNEL_HEADER + GOOD_ROW)
    before = sim.read_device_file("dali1")
    out = tmp_path / "run.out"
    env = cli_environment(cli_home)  # also makes the runtime folder
    with open(cli_home / "runtime" / ("ornat-cli-127.0.0.1-%d.lock" % sim.port), "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)   # another run that is changing the controller
        run = subprocess.Popen([str(ornat_cli), "--action", "setup_channel", "--ip", sim.ip, "--channel", "1",
                                "--channelcsvfile", '["%s"]' % csv], env=env, stdout=open(out, "wb"),
                               stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 30
            while ("Waiting for another run on %s...\r\n" % sim.ip).encode() not in out.read_bytes():
                assert time.monotonic() < deadline, "no waiting message"
                time.sleep(0.05)
            # Reading actions take no lock.
            r = cli("--action", "get_status", "--ip", sim.ip)
            assert r.returncode == 0 and "Waiting" not in r.stdout
            time.sleep(1.0)
            assert run.poll() is None and sim.log_entries("upload") == []
        finally:
            fcntl.flock(held, fcntl.LOCK_UN)
        assert run.wait(timeout=60) == 0, out.read_text()
    assert len(sim.log_entries("upload")) == 1
    assert sim.read_device_file("dali1") != before


@pytest.mark.parametrize("first, second", [("127.0.0.1", "127.0.0.1"), ("localhost", "127.0.0.1")])
def test_concurrent_channel_changes_are_both_kept(start_simulator, ornat_cli, cli_home, tmp_path, first, second):
    """Two set-ups of one channel (devices, then groups) started together: the
    second waits for the first, also when the two name the controller
    differently, and then builds on the first one's file."""
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    sim.set_faults({"delay": 2, "delay_match": ["restoreconfig"]})  # the first run holds on after its fetch
    devices = tmp_path / "devices.csv"
    devices.write_text(CHANNEL_HEADER + '0,5,7,Hall East,"[0,3]",254,null,1,254,0,20,"[10]"\n')
    groups = tmp_path / "groups.csv"
    groups.write_text("#dali-channel-groups-csv-version: 1\n1,4,Night lights\n")
    env = cli_environment(cli_home)

    def start(address, option, csv):
        return subprocess.Popen([str(ornat_cli), "--action", "setup_channel", "--ip", "%s:%d" % (address, sim.port),
                                 "--channel", "1", option, '["%s"]' % csv], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)

    a = start(first, "--channelcsvfile", devices)
    sim.wait_for_log(lambda e: "config=dali1" in e.get("target", ""), timeout=30)
    b = start(second, "--channelgroupscsvfile", groups)
    out_a, out_b = (p.communicate(timeout=60)[0].decode() for p in (a, b))
    assert (a.returncode, b.returncode) == (0, 0), out_a + out_b
    assert "Waiting for another run on %s:%d...\r\n" % (second, sim.port) in out_b
    dali1 = sim.read_device_file("dali1")
    assert b"Hall East" in dali1 and b"Night lights" in dali1


# ---- interrupted runs ------------------------------------------------------------------

def default_signals():
    """In the tool's process: the signals at their defaults, also when the
    tests themselves run with some ignored (nohup, a background job)."""
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["INT", "TERM", "HUP"])
def test_signal_removes_temporary_files_and_keeps_earlier_ones(start_simulator, ornat_cli, cli_home, number, out):
    sim = start_simulator(faults={"tftp_block_delay": 0.01})  # a read of minutes
    (out / "flashfs.bin").write_bytes(b"an earlier image")
    run = subprocess.Popen([str(ornat_cli), "--action", "read_file_flashfs", "--ip", sim.ip,
                            "--backupfileout", str(out), "--backupfileouttype", "bin"],
                           env=cli_environment(cli_home), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           preexec_fn=default_signals)
    try:
        sim.wait_for_log(lambda e: e.get("kind") == "tftp" and e.get("op") == "read", timeout=30)
        time.sleep(0.3)
        assert [n for n in os.listdir(out) if ".part" in n] != []  # the read is under way
        run.send_signal(number)
        assert run.wait(timeout=20) == 128 + number
    finally:
        run.kill()
        run.wait()
    assert os.listdir(out) == ["flashfs.bin"]
    assert (out / "flashfs.bin").read_bytes() == b"an earlier image"
