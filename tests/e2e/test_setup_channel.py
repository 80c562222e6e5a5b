"""setup_channel against the controller simulator."""

import struct

import pytest

from ornat_sim.files import crc16
from ornat_sim.tar import parse_tar

CHANNEL_HEADER = "#dali-channel-csv-version: 1\n"
GROUPS_HEADER = "#dali-channel-groups-csv-version: 1\n"
INPUTS_HEADER = "#dali-channel-inputs-csv-version: 1\n"
EXAMPLE_ROW = '0,5,7,Lamp,"[0,3]",254,null,1,254,0,20,"[10,20,null]"\n'


def csv_file(tmp_path, name, text, bom=False):
    path = tmp_path / name
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + text.encode())
    return str(path)


def crc_ok(image, size):
    return struct.unpack_from("<I", image, 4)[0] == crc16(image[:4] + bytes(4) + image[8:size])


def uploaded_members(sim):
    """[(name, bytes)] of the tar of the last upload."""
    return [(n, b) for n, _, b in parse_tar(sim.last_upload())]


def fetched_sets(sim):
    return [t.split("config=")[1] for t in sim.http_targets() if "backup.ssi" in t]


@pytest.mark.windows
def test_channel_csv_on_layout_3(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    before = sim.read_device_file("dali1")
    path = csv_file(tmp_path, "ch1.csv", CHANNEL_HEADER + "# a comment row\n" + EXAMPLE_ROW, bom=True)
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "1", "--channelcsvfile", '["%s"]' % path)
    assert r.returncode == 0, r.stdout
    assert "CH=1\nFILE=%s\n" % path in r.stdout
    assert "backup\tbackup file contains: \r\n\t/etc/config/dali/dali1.bin (7072 bytes)\r\n" in r.stdout
    after = sim.read_device_file("dali1")
    assert uploaded_members(sim) == [("/etc/config/dali/dali1.bin", after)]
    assert len(after) == 7072 and crc_ok(after, 7072)
    # The row's fields byte by byte are the unit test's; here the row lands
    # in entry 5 and nothing else changes but the CRC and the channel word.
    entry = 60 + 5 * 100
    assert after[entry + 45:entry + 78] == b"Lamp" + b"\0" * 29
    changed = [i for i in range(7072) if before[i] != after[i]]
    assert all(4 <= i < 8 or 16 <= i < 20 or entry <= i < entry + 100 for i in changed)


@pytest.mark.windows
def test_groups_csv_on_layout_1(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-4", firmware="1.3.0")
    before = sim.read_device_file("dali3")
    path = csv_file(tmp_path, "g.csv", GROUPS_HEADER + "1,15,Corridor\n1,16,Dropped\n")
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "[3]", "--channelgroupscsvfile", '"%s"' % path)
    assert r.returncode == 0
    after = sim.read_device_file("dali3")
    assert uploaded_members(sim)[0][0] == "/etc/config/dali/dali3.bin"
    group = 9788 + 15 * 38
    assert after[group:group + 33] == b"Corridor" + b"\0" * 25
    assert after[group + 36] == 255
    assert len(after) == 11168 and crc_ok(after, 11168)
    assert [i for i in range(11168) if before[i] != after[i] and not 4 <= i < 8 and not group <= i < group + 38] == []


@pytest.mark.windows
def test_inputs_csv_on_layout_3(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    lists = ['"[1,3,4]"', '"[7,8,9]"', '"[42]"'] + ['"[5,6,7]"'] * 6 + ['"[11,12,13]"'] * 3 + ['"[21,22,23]"'] * 2
    row = "9,2,4,Button panel,16,40," + ",".join(lists) + "\n"
    path = csv_file(tmp_path, "in.csv", INPUTS_HEADER + row)
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "2", "--channelinputscsvfile", '["%s"]' % path)
    assert r.returncode == 0, r.stdout
    image = sim.read_device_file("cd2")
    assert uploaded_members(sim) == [("/etc/config/dali/cd2.bin", image)]
    assert len(image) == 9564 and crc_ok(image, 9564)
    assert struct.unpack_from("<IIIII", image, 0)[:4] == (0, struct.unpack_from("<I", image, 4)[0], 3, 0)
    assert struct.unpack_from("<I", image, 16)[0] == 9
    # Built from zeros: the row's entry and block (byte by byte in the unit
    # test) and the header are all that is not 0.
    entry, block = 28 + 2 * 100, 3228 + 2 * 198
    assert image[entry + 80:entry + 97] == b"Button panel" + b"\0" * 5
    assert not any(image[20:entry] + image[entry + 100:block] + image[block + 198:])


def test_inputs_run_on_layout_2_ends_the_run(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.3.1")
    path = csv_file(tmp_path, "in.csv", INPUTS_HEADER + "0,0,1,In,0,0,,,,,,,,,,,,,,\n")
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "[1,2]",
            "--channelinputscsvfile", '["%s","%s"]' % (path, path))
    assert r.returncode == 1
    assert "importcsv_cd\terror version 1.3.1 not supported.\r\n" in r.stdout
    assert sim.log_entries("upload") == []
    assert fetched_sets(sim) == ["dali1"]


def test_channel_and_file_pairing(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-4", firmware="1.5.0")
    first = csv_file(tmp_path, "a.csv", CHANNEL_HEADER + EXAMPLE_ROW)
    second = csv_file(tmp_path, "b.csv", CHANNEL_HEADER + EXAMPLE_ROW.replace("Lamp", "Other"))
    groups = csv_file(tmp_path, "g.csv", GROUPS_HEADER + "1,0,Ignored\n")
    # Two channels, one file: only channel 1.
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "[1,2]", "--channelcsvfile", '["%s"]' % first)
    assert r.returncode == 0
    assert fetched_sets(sim) == ["dali1"]
    # One channel, two files: the first file, for that channel.
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "[2]",
            "--channelcsvfile", '["%s","%s"]' % (first, second), "--channelgroupscsvfile", '["%s"]' % groups)
    assert r.returncode == 0
    assert fetched_sets(sim) == ["dali1", "dali2"]
    dali2 = sim.read_device_file("dali2")
    assert dali2[60 + 5 * 100 + 45:60 + 5 * 100 + 49] == b"Lamp"
    assert b"Ignored" not in dali2  # the channel CSV list takes precedence over the groups list


def test_missing_channel_and_missing_csv_push_nothing(start_simulator, cli, tmp_path):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0")
    good = csv_file(tmp_path, "a.csv", CHANNEL_HEADER + EXAMPLE_ROW)
    missing = str(tmp_path / "missing.csv")
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "[4,1]",
            "--channelcsvfile", '["%s","%s"]' % (good, missing))
    assert r.returncode == 1
    assert "backup\tbackup file contains: \r\n\tstatus.txt" in r.stdout  # channel 4 does not exist
    assert "Cannot open CSV file '%s'.\r\n" % missing in r.stdout
    assert sim.log_entries("upload") == []


@pytest.mark.parametrize("faults, option, csv, message", [
    ({"set_without_file": ["dali1"]}, "--channelcsvfile", CHANNEL_HEADER + EXAMPLE_ROW,
     "Error '/etc/config/dali/dali1.bin' file not found.\r\n"),
    ({"status_txt_body": '{"model_name": "TARNEL-2", "serial_number": "S", "mac": "M"}'}, "--channelcsvfile",
     CHANNEL_HEADER + EXAMPLE_ROW, "Firmware version unknown, channel 1 not set up.\r\n"),
    # A groups run too: a zero image pushed in place of the missing file would wipe the channel.
    ({"set_without_file": ["dali1"]}, "--channelgroupscsvfile", GROUPS_HEADER + "1,2,Hall\n", ""),
])
def test_nothing_is_pushed_without_the_channel_file_or_firmware_version(start_simulator, cli, tmp_path, faults,
                                                                        option, csv, message):
    sim = start_simulator(model="TARNEL-2", firmware="1.5.0", faults=faults)
    r = cli("--action", "setup_channel", "--ip", sim.ip, "--channel", "1", option,
            '["%s"]' % csv_file(tmp_path, "in.csv", csv))
    assert r.returncode == 1
    assert message in r.stdout
    assert sim.log_entries("upload") == []
