"""Scripts and fleets: the --json result document of every action (in
success, failure, usage error and interruption), NO_COLOR, --check that
changes nothing and --ifchanged that changes only what differs."""

import os
import signal
import subprocess
import zipfile

from ornat_sim.firmware import build_firmware_image
from conftest import backup_of, cli_environment, json_document

CHANNEL_CSV = "#dali-channel-csv-version: 1\n" + '1,5,5,Hall East,"[1]",254,254,1,254,7,0,"[254,128]"\n'


def csv_list(tmp_path, text=CHANNEL_CSV):
    path = tmp_path / "ch1.csv"
    path.write_text(text)
    return '["%s"]' % path


def changes(sim):
    """What reached the controller: uploads, restore triggers, apply requests."""
    return [e for e in sim.log_entries() if e["kind"] in ("upload", "restore", "firmware")]


def image(tmp_path, version="1.5.0"):
    path = tmp_path / ("image-%s.binary" % version)
    path.write_bytes(build_firmware_image("TARNEL-2", version))
    return path


def test_every_action_writes_one_document(simulator, cli, tmp_path, refusing_ip, out):
    archive = backup_of(simulator, cli, tmp_path / "backup")
    runs = {
        "get_status": ["--ip", simulator.ip],
        "get_backup": ["--ip", simulator.ip, "--backupfileout", out, "--backupfileouttype", "zip",
                       "--backupconfig", '["dali1","rlc","dali3"]'],
        "put_backup": ["--ip", simulator.ip, "--backupfilein", archive],
        "push_firmware": ["--ip", simulator.ip, "--firmwarefile", image(tmp_path), "--upgradewait", "0"],
        "setup_channel": ["--ip", simulator.ip, "--channel", "1", "--channelcsvfile", csv_list(tmp_path)],
        "verify_backup": ["--backupfilein", archive],
        "diff_backup": ["--backupfilein", archive, "--ip", simulator.ip],
        "export_channel": ["--ip", simulator.ip, "--channel", "1", "--backupfileout", out],
        "read_file_flashfs": ["--ip", simulator.ip, "--backupfileout", out, "--backupfileouttype", "bin"],
    }
    docs = {}
    for action, args in runs.items():
        r = cli("--json", "--action", action, *args, timeout=300)
        docs[action] = json_document(r)
        assert docs[action]["action"] == action
        assert "ACTION=%s\n" % action in r.stderr  # the usual lines, on standard error
    assert docs["get_status"]["status"]["model_name"] == "TARNEL-2"
    assert docs["get_backup"]["sets"] == {"stored": ["dali1", "rlc"], "damaged": [], "absent": 1}
    assert docs["get_backup"]["messages"] == []  # a set the controller lacks is counted, not reported
    assert os.path.exists(docs["get_backup"]["archive"]) and docs["get_backup"]["flashfs"] == "stored"
    assert docs["put_backup"]["changed"], docs["put_backup"]
    assert os.path.exists(docs["put_backup"]["safety_backup"]), docs["put_backup"]
    assert docs["push_firmware"]["image"] == {"model_name": "TARNEL-2", "version_string": "1.5.0"}
    assert docs["push_firmware"]["uploaded"] and docs["push_firmware"]["firmware_before"] == "1.3.0"
    assert docs["setup_channel"]["channels"] == [{"channel": 1, "changed": True, "pushed": True, "diff": []}]
    assert docs["verify_backup"]["problems"] == [] and docs["verify_backup"]["sets_checked"] > 30
    assert docs["diff_backup"]["outcome"] == "failed" and {"mark": "~", "set": "dali1"}.items() <= \
        docs["diff_backup"]["diff"][0].items()
    assert sorted(os.path.basename(f) for f in docs["export_channel"]["files"]) == ["channel1.csv",
                                                                                   "channel1_groups.csv"]
    assert docs["read_file_flashfs"]["bytes"] == 2 * 1024 * 1024

    # Every action fails against a controller that refuses everything, and
    # is a usage error without its options.
    for action, args in runs.items():
        unreachable = [refusing_ip if a == simulator.ip else a for a in args]
        failed = json_document(cli("--json", "--action", action, *unreachable, timeout=300))
        assert failed["outcome"] in (("ok", "failed") if "--ip" not in args else ("failed", "partial")), action
        usage = json_document(cli("--json", "--action", action))
        assert (usage["outcome"], usage["messages"][0]["level"]) == ("usage", "error"), action
    failed = json_document(cli("--json", "--action", "get_status", "--ip", refusing_ip))
    assert (failed["outcome"], failed["controller"]) == ("failed", None)
    assert failed["messages"][0]["text"].startswith("The controller's status could not be read: ")
    usage = json_document(cli("--json", "--action", "setup_channel", "--ip", simulator.ip, "--dry-run"))
    assert usage["outcome"] == "usage" and "--dry-run" in usage["messages"][0]["text"]
    helped = cli("--json", "--help")
    assert json_document(helped)["outcome"] == "ok" and helped.stderr.startswith("ornat-cli\nHelp\n")


def test_interrupted_run_still_writes_its_document(start_simulator, ornat_cli, cli_home, out):
    sim = start_simulator(faults={"tftp_block_delay": 0.01})  # a read of minutes
    run = subprocess.Popen([str(ornat_cli), "--json", "--action", "read_file_flashfs", "--ip", sim.ip,
                            "--backupfileout", str(out), "--backupfileouttype", "bin"],
                           env=cli_environment(cli_home), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           preexec_fn=lambda: signal.signal(signal.SIGTERM, signal.SIG_DFL))
    sim.wait_for_log(lambda e: e.get("kind") == "tftp" and e.get("op") == "read", timeout=30)
    run.send_signal(signal.SIGTERM)
    stdout, _ = run.communicate(timeout=20)
    document = json_document(type("R", (), {"stdout": stdout.decode(), "returncode": run.returncode})())
    assert (run.returncode, document["outcome"], document["action"]) == (143, "interrupted", "read_file_flashfs")


def test_no_color_means_no_escape_at_all(simulator, cli, out):
    args = ["--action", "get_backup", "--ip", simulator.ip, "--backupfileout", out, "--backupconfig", '["dali3"]']
    assert "\x1b[" in cli(*args).stdout  # the set the controller lacks is reported in red
    r = cli(*args, env={"NO_COLOR": "1"})
    assert r.returncode == 0 and "\x1b" not in r.stdout + r.stderr


def test_check_changes_nothing_and_says_what_would_change(start_simulator, cli, cli_home, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.3.0")
    archive = backup_of(sim, cli, tmp_path / "backup")
    csv = csv_list(tmp_path)
    assert cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "1", "--channelcsvfile", csv).returncode == 0
    before = changes(sim)
    runs = [
        (["put_backup", "--backupfilein", archive], "diff", [{"mark": "~", "set": "dali1", "lines": [
            '    device 5 (address 5) name: "Hall East" -> "C1 Luminaire 06"',
            "    device 5 (address 5) fade_rate: 7 -> 7"][:1]}]),
        (["setup_channel", "--channel", "1", "--channelcsvfile", csv], "channels", None),
        (["push_firmware", "--firmwarefile", image(tmp_path), "--upgradewait", "0"], "uploaded", None),
    ]
    for args, key, expected in runs:
        r = cli("--json", "--check", "--action", args[0], "--ip", sim.ip, *args[1:])
        doc = json_document(r)
        assert (doc["outcome"], doc["check"], doc["safety_backup"]) == ("ok", True, None), r.stderr[-1500:]
        if args[0] == "put_backup":
            assert [d["set"] for d in doc["diff"]] == ["dali1"] and doc["changed"]
            assert doc["diff"][0]["lines"][0] == expected[0]["lines"][0]
            assert "~ dali1\n" in r.stderr and "1 configuration sets would change.\r\n" in r.stderr
        elif args[0] == "setup_channel":
            assert doc[key] == [{"channel": 1, "changed": False, "pushed": False, "diff": []}]
            assert not doc["changed"]
        else:
            assert (doc["uploaded"], doc["changed"]) == (False, True)
    assert changes(sim) == before
    assert os.listdir(cli_home / "Downloads") == []


def test_ifchanged_changes_only_what_differs(start_simulator, cli, cli_home, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.3.0")
    # A restore of the controller's own backup, taken just now, restores nothing.
    archive = backup_of(sim, cli, tmp_path / "backup")
    r = cli("--json", "--ifchanged", "--action", "put_backup", "--ip", sim.ip, "--backupfilein", archive)
    doc = json_document(r)
    assert (doc["changed"], doc["sets"]["restored"], doc["safety_backup"]) == (False, [], None)
    assert len(doc["sets"]["unchanged"]) == len([n for n in zipfile.ZipFile(archive).namelist() if n.endswith(".tar")])
    assert "Nothing to restore: the controller holds every set of the backup as it is.\r\n" in r.stderr
    assert changes(sim) == [] and os.listdir(cli_home / "Downloads") == []
    # The same CSV file, and the same firmware, a second time.
    runs = [["setup_channel", "--channel", "1", "--channelcsvfile", csv_list(tmp_path)],
            ["push_firmware", "--firmwarefile", image(tmp_path), "--upgradewait", "30"]]
    for args in runs:
        first = json_document(cli("--json", "--ifchanged", "--action", args[0], "--ip", sim.ip, *args[1:]))
        assert (first["outcome"], first["changed"]) == ("ok", True), first["messages"]
        count = len(changes(sim))
        second = json_document(cli("--json", "--ifchanged", "--action", args[0], "--ip", sim.ip, *args[1:]))
        assert (second["outcome"], second["changed"], second["safety_backup"]) == ("ok", False, None)
        assert len(changes(sim)) == count, args[0]
