"""verify_backup, diff_backup and export_channel against the controller
simulator, and the usage block of --help."""

import re
import struct
import zipfile

import pytest

from ornat_sim.sets import SET_PATHS
from ornat_sim.tar import build_tar, parse_tar
from conftest import backup_of, newer_tool_txt

HEADER = 16  # size, crc, version, revision: what the set-up's writers restamp or leave


def run(cli, action, *args):
    r = cli("--action", action, *args)
    return r.returncode, r.stdout.replace("\r\n", "\n")


def diff_lines(out):
    return [line for line in out.splitlines() if re.match(r"^([-+~] |    )", line)]


def rewrite(archive, target, change):
    """A copy of a backup archive with its members (a dict) changed."""
    with zipfile.ZipFile(archive) as z:
        members = {name: z.read(name) for name in z.namelist()}
    change(members)
    with zipfile.ZipFile(target, "w") as z:
        for name, data in members.items():
            z.writestr(name, data)
    return target


def set_file_change(set_name, change):
    """A change of the set's file inside its tar (status.txt kept)."""
    def apply(members):
        tar = parse_tar(members[set_name + ".tar"])
        members[set_name + ".tar"] = build_tar([(n, change(b) if n == SET_PATHS[set_name] else b) for n, _, b in tar])
    return apply


def flip_byte(data):
    return data[:100] + bytes([data[100] ^ 1]) + data[101:]


def set_layout(version):
    return lambda data: data[:8] + struct.pack("<I", version) + data[12:]


def only_set_file(members):
    members["dali1.tar"] = build_tar([(n, b) for n, _, b in parse_tar(members["dali1.tar"]) if n != "status.txt"])


# ---- verify_backup ------------------------------------------------------------------

FAULTS = [
    ("unknown member", lambda m: m.update({"notes.txt": b"x"}), "notes.txt: not a member of a backup"),
    ("truncated tar", lambda m: m.update({"rlc.tar": m["rlc.tar"][:700]}),
     "rlc.tar: the tar ends inside its member /etc/config/rlc/rlc.bin"),
    ("missing status.txt", only_set_file, "dali1.tar: no status.txt"),
    ("bad CRC", set_file_change("dali1", flip_byte), "dali1.tar: /etc/config/dali/dali1.bin: CRC 0x"),
    ("unknown layout", set_file_change("dali2", set_layout(7)), "dali2.tar: /etc/config/dali/dali2.bin: unknown layout 7"),
    ("wrong size", set_file_change("cd1", lambda b: b[:9000]), "cd1.tar: /etc/config/dali/cd1.bin: 9000 bytes, layout 2 has 9436"),
    ("missing flashfs.bin", lambda m: m.pop("flashfs.bin"), "flashfs.bin: missing"),
    ("newer tool.txt", lambda m: m.update({"tool.txt": newer_tool_txt()}),
     "tool.txt: not written by this tool at this version or an older one"),
]


def test_verify_backup(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.3.1")
    archive = backup_of(sim, cli, tmp_path / "zip")
    folder = backup_of(sim, cli, tmp_path / "folder", "directory")
    sets = len([n for n in zipfile.ZipFile(archive).namelist() if n.endswith(".tar")])
    single = tmp_path / "one.tar"
    single.write_bytes(zipfile.ZipFile(archive).read("dali1.tar"))
    for path, count in ((archive, sets), (folder, sets), (single, 1)):
        code, out = run(cli, "verify_backup", "--backupfilein", path)
        assert (code, out.splitlines()[-1]) == (0, "%d configuration sets checked, 0 problems." % count), out

    for name, change, problem in FAULTS:
        code, out = run(cli, "verify_backup", "--backupfilein", rewrite(archive, tmp_path / "bad.zip", change))
        lines = out.splitlines()
        assert code == 1, name
        assert lines[-2].startswith(problem) and lines[-1].endswith(", 1 problems."), (name, out)

    (tmp_path / "text.txt").write_text("no backup " * 100)
    for args in ((), ("--backupfilein", tmp_path / "text.txt"), ("--backupfilein", tmp_path / "absent.zip")):
        assert run(cli, "verify_backup", *args)[0] == 2, args


# ---- diff_backup --------------------------------------------------------------------

# Device 5 of channel 1 as the simulator makes it, renamed.
RENAME_ROW = '1,5,5,Hall East,"[1]",254,254,1,254,7,0,"[254,128]"\n'
RENAMED = '    device 5 (address 5) name: "C1 Luminaire 06" -> "Hall East"'


def rename_device_5(sim, cli, tmp_path):
    csv = tmp_path / "rename.csv"
    csv.write_text("#dali-channel-csv-version: 1\n" + RENAME_ROW)
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "1", "--channelcsvfile", '["%s"]' % csv)
    assert r.returncode == 0, r.stdout


def test_diff_backup_after_setup_channel(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    before = backup_of(sim, cli, tmp_path / "before")
    assert run(cli, "diff_backup", "--backupfilein", before, "--comparewith", before)[0] == 0
    code, out = run(cli, "diff_backup", "--backupfilein", before, "--ip", sim.ip)
    assert (code, diff_lines(out)) == (0, [])

    rename_device_5(sim, cli, tmp_path)
    after = backup_of(sim, cli, tmp_path / "after")
    fewer = rewrite(before, tmp_path / "fewer.zip", lambda m: m.pop("views1.tar"))
    cases = [
        (("--comparewith", after), ["~ dali1", RENAMED]),
        (("--ip", sim.ip), ["~ dali1", RENAMED]),
        (("--comparewith", fewer), ["- views1"]),
    ]
    for args, expected in cases:
        code, out = run(cli, "diff_backup", "--backupfilein", before, *args)
        assert (code, diff_lines(out)) == (1, expected), out
    code, out = run(cli, "diff_backup", "--backupfilein", fewer, "--comparewith", after)
    assert (code, diff_lines(out)) == (1, ["~ dali1", RENAMED, "+ views1"])

    # Trouble: a side that cannot be read, or no side to compare with.
    assert run(cli, "diff_backup", "--backupfilein", before)[0] == 2
    assert run(cli, "diff_backup", "--backupfilein", tmp_path / "absent.zip", "--comparewith", before)[0] == 2


def test_diff_backup_across_a_layout_change(start_simulator, cli, tmp_path):
    old = start_simulator(model="TARNEL-2", firmware="1.3.0")
    new = start_simulator(model="TARNEL-2", firmware="2.2.4")
    rename_device_5(new, cli, tmp_path)
    code, out = run(cli, "diff_backup", "--backupfilein", backup_of(old, cli, tmp_path / "old"),
                    "--comparewith", backup_of(new, cli, tmp_path / "new"))
    assert code == 1
    assert diff_lines(out) == ["~ dali1", "    layout 1 -> 3", RENAMED, "~ dali2", "    layout 1 -> 3",
                               "~ cd1", "    layout 1 -> 3", "~ cd2", "    layout 1 -> 3"]


# ---- export_channel -----------------------------------------------------------------

CSV_KINDS = (("channel1.csv", "--channelcsvfile"), ("channel1_groups.csv", "--channelgroupscsvfile"),
             ("channel1_inputs.csv", "--channelinputscsvfile"))


def exported(cli, folder, *source):
    code, out = run(cli, "export_channel", "--channel", "1", "--backupfileout", folder, *source)
    assert code == 0, out
    return {p.name: p.read_bytes() for p in folder.iterdir()}, out.count("[WARN]")


# Firmware, the files exported, and the warnings of the simulator's own files:
# in layout 3 its eight devices carry device types that the channel import
# writes as 0, and its unused input entries are not blank.
@pytest.mark.parametrize("firmware, names, warnings", [
    ("1.3.0", 2, 0), ("1.3.1", 2, 0), ("2.2.4", 3, 17),
])
def test_export_channel_round_trip(start_simulator, cli, tmp_path, firmware, names, warnings):
    sim = start_simulator(model="TARNEL-1", firmware=firmware)
    archive = backup_of(sim, cli, tmp_path / "backup")
    for round_ in (1, 2):
        files, warned = exported(cli, tmp_path / ("live%d" % round_), "--ip", sim.ip)
        assert (files, warned) == exported(cli, tmp_path / ("archive%d" % round_), "--backupfilein", archive)
        assert sorted(files) == sorted(name for name, _ in CSV_KINDS[:names])
        assert all(text.startswith(b"#dali-channel-") for text in files.values())
        before = [sim.read_device_file(s) for s in ("dali1", "cd1")]
        for name, option in CSV_KINDS[:names]:
            r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "1",
                    option, '["%s"]' % (tmp_path / ("live%d" % round_) / name))
            assert r.returncode == 0, r.stdout
        after = [sim.read_device_file(s) for s in ("dali1", "cd1")]
        if warned == 0:
            assert [f[HEADER:] for f in after] == [f[HEADER:] for f in before]
            break
        # What the warnings named is gone after one set-up: the second
        # export warns of nothing and comes back byte for byte.
        assert (round_, warned) == (1, warnings)
        archive = backup_of(sim, cli, tmp_path / "backup2")
    else:
        pytest.fail("the second export still warned")


def test_export_channel_usage_and_missing_channel(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-1", firmware="1.3.0")
    code, out = run(cli, "export_channel", "--channel", "[1,3]", "--backupfileout", tmp_path / "out", "--ip", sim.ip)
    assert code == 1 and "Channel 3: there is no channel file." in out
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["channel1.csv", "channel1_groups.csv"]
    for args in (("--channel", "1", "--ip", sim.ip), ("--backupfileout", tmp_path, "--ip", sim.ip),
                 ("--channel", "1", "--backupfileout", tmp_path),
                 ("--channel", "1", "--backupfileout", tmp_path, "--ip", sim.ip, "--backupfilein", tmp_path)):
        assert run(cli, "export_channel", *args)[0] == 2, args


# ---- --help -------------------------------------------------------------------------

ACTIONS = {"put_backup", "get_backup", "push_firmware", "setup_channel", "get_status", "read_file_flashraw",
           "read_file_flashfs", "write_file_flashraw", "write_file_flashfs", "verify_backup", "diff_backup",
           "export_channel"}
OPTIONS = {"version", "help", "verbose", "action", "channel", "channelcsvfile", "channelgroupscsvfile",
           "channelinputscsvfile", "ip", "backupfileout", "backupfileouttype", "backupconfig", "backupfilein",
           "firmwarefile", "comparewith", "upgradewait", "tftpblksize", "json", "check", "ifchanged", "delete",
           "create", "file"}


def test_help_lists_every_action_and_option(cli):
    options, actions = OPTIONS, ACTIONS
    r = cli("--help")
    out = r.stdout
    assert r.returncode == 0
    assert out.startswith("ornat-cli\nHelp\nversion\t\tShow the command version.\nhelp\t\tShow the command help.\n"
                          "action\t\tsetup_channel|get_backup|put_backup|push_firmware.\nip\t\tIP address of the controller.\n"
                          "channel\t\tChannel number (1-4).\nchannelcsvfile\tChannel CSV file path.\n"
                          "firmwarefile\tFirmware binary file path.\n\n")
    listed = re.findall(r"^  (--)?(\w+)", out, re.M)
    assert {name for dashes, name in listed if dashes} == options
    assert {name for dashes, name in listed if not dashes} == actions
    assert len(listed) == len(options) + len(actions)
