"""Faults of the input a technician gives the tool: CSV files that separate
their fields with semicolons, and option values that would reach URLs and
paths unchecked."""

import pytest

CHANNEL_HEADER = "#dali-channel-csv-version: 1\n"
GOOD_ROW = '0,5,7,Lamp,"[0,3]",254,null,1,254,0,20,"[10,20,null]"\n'
SEMICOLON_ROW = '0;5;7;Lamp;"[0;3]";254;null;1;254;0;20;"[10;20;null]"\n'


def uploads(sim):
    return sim.log_entries("upload")


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
    assert len(uploads(sim)) == 1
    assert [e["applied"] for e in sim.log_entries("restore")] == [["/etc/config/dali/dali2.bin"]]
