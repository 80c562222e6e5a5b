"""Controllers behind a slow or lossy link (the simulator's latency and loss
switches): TFTP reads and uploads run as long as their blocks move, give up
when the controller falls silent, and ask for the block size of
--tftpblksize.

The first test runs all its cases side by side and takes about 5.5 minutes:
its read and upload each need more than 300 s, the fixed limit a TFTP read
used to have. The other tests take about 30 s together."""

import concurrent.futures
import random
import time
import zipfile

import pytest

from ornat_sim.tar import build_tar

# The run finds no Downloads folder, so put_backup makes no safety backup
# first and only the upload under test goes through the slow link.
NO_DOWNLOADS = {"HOME": None, "USERPROFILE": None, "XDG_CONFIG_HOME": None}


def data(size, seed):
    return random.Random(seed).randbytes(size)


def upload_tar(folder, size, seed):
    """A tar with one member of `size` bytes (the tar is whole records of
    10240 bytes), which put_backup sends unchanged."""
    path = folder / ("upload-%d.tar" % seed)
    path.write_bytes(build_tar([("etc/remote/data.bin", data(size, seed))]))
    return path


def tftp_done(sim, op):
    return sim.wait_for_log(lambda e: e["kind"] == "tftp_done" and e["op"] == op, timeout=10)


# ---- long, lossy and stalled transfers -----------------------------------------

# (name, action, simulator faults, flashfs.bin size or size of the uploaded
# tar's member, exit status, least and most seconds). Over a 2 s round trip
# 128-byte blocks move at 64 bytes/s: the read's 156 blocks take 312 s, the
# upload's tar of 20,480 bytes 162 blocks, 324 s. A silent controller ends the
# transfer 60 to 65 s after its last block with libcurl 7.88 (no block for
# 60 s), after about 20 s with libcurl 8 (its own retries).
REMOTE = [
    ("read over a 2 s round trip", "read", {"latency": 1.0}, 155 * 128 + 60, 0, 305, 400),
    ("upload over a 2 s round trip", "upload", {"latency": 1.0}, 17000, 0, 305, 400),
    ("backup over a 20 ms round trip", "backup", {"latency": 0.01}, 256 * 1024, 0, 30, 300),
    ("read with 1% loss", "read", {"tftp_loss": 0.01, "tftp_loss_seed": 1}, 256 * 1024, 0, 0, 330),
    ("upload with 1% loss", "upload", {"tftp_loss": 0.01, "tftp_loss_seed": 2}, 120000, 0, 0, 330),
    ("read from a controller that falls silent", "read", {"tftp_stop_after": 6400}, 64 * 1024, 1, 15, 90),
    ("upload to a controller that falls silent", "upload", {"tftp_stop_after": 6400}, 60000, 1, 15, 90),
]


@pytest.mark.slow
def test_transfers_run_while_blocks_move_and_end_when_none_does(start_simulator, cli, tmp_path):
    runs = []
    for i, (name, kind, faults, size, _, _, _) in enumerate(REMOTE):
        sim = start_simulator(name="case%d" % i, faults=faults)
        out = tmp_path / ("out%d" % i)
        out.mkdir()
        if kind == "upload":
            sent = upload_tar(tmp_path, size, i)
            args = ["--action", "put_backup", "--ip", sim.ip, "--backupfilein", sent]
            expected = sent.read_bytes()
        else:
            expected = data(size, i)
            (sim.state / "flashfs.bin").write_bytes(expected)
            action = "read_file_flashfs" if kind == "read" else "get_backup"
            args = ["--action", action, "--ip", sim.ip, "--backupfileout", out, "--backupfileouttype",
                    "bin" if kind == "read" else "zip"]
        runs.append((sim, out, expected, args))

    def timed(args):
        started = time.monotonic()
        result = cli(*args, env=NO_DOWNLOADS, timeout=600)
        return result, time.monotonic() - started

    with concurrent.futures.ThreadPoolExecutor(len(runs)) as pool:
        results = list(pool.map(timed, [args for _, _, _, args in runs]))
    for (name, kind, faults, _, code, least, most), (sim, out, expected, _), (r, seconds) in zip(
            REMOTE, runs, results):
        assert r.returncode == code, (name, r.stdout[-2000:], r.stderr)
        assert least <= seconds <= most, (name, seconds)
        if code != 0:
            assert "curl_easy_perform() failed: Timeout was reached" in r.stderr, name
            continue
        if kind == "upload":
            assert sim.last_upload() == expected, name
            done = tftp_done(sim, "write")
        elif kind == "read":
            assert (out / "flashfs.bin").read_bytes() == expected, name
            done = tftp_done(sim, "read")
        else:
            [archive] = out.glob("*.zip")
            with zipfile.ZipFile(archive) as z:
                assert z.read("flashfs.bin") == expected, name
            done = tftp_done(sim, "read")
        assert done["ok"] and done["blksize"] == 128, (name, done)
        if "tftp_loss" in faults:
            assert done["lost"] > 0, (name, done)


# ---- block size ------------------------------------------------------------------

# (--tftpblksize value or None, simulator faults, size asked for, size used):
# a controller that grants less is read and written at its size, one that
# ignores the option at TFTP's 512 bytes.
BLOCK_SIZES = [
    (None, {}, 128, 128),
    ("512", {}, 512, 512),
    ("1428", {}, 1428, 1428),
    ("1428", {"tftp_max_blksize": 512}, 1428, 512),
    ("1428", {"tftp_no_oack": True}, 1428, 512),
    ("65464", {}, 65464, 65464),
]


@pytest.mark.parametrize("option, faults, asked, used", BLOCK_SIZES)
def test_block_size_asked_and_used(simulator, cli, tmp_path, option, faults, asked, used):
    simulator.set_faults(faults)
    image = data(512 * 1024 + 77, asked)
    (simulator.state / "flashfs.bin").write_bytes(image)
    sent = upload_tar(tmp_path, 60000, asked)
    extra = [] if option is None else ["--tftpblksize", option]

    r = cli("--action", "read_file_flashfs", "--ip", simulator.ip, "--backupfileout", tmp_path,
            "--backupfileouttype", "bin", *extra)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr
    assert (tmp_path / "flashfs.bin").read_bytes() == image
    r = cli("--action", "put_backup", "--ip", simulator.ip, "--backupfilein", sent, *extra, env=NO_DOWNLOADS)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr
    assert simulator.last_upload() == sent.read_bytes()
    for op in ("read", "write"):
        done = tftp_done(simulator, op)
        assert (done["ok"], done["asked_blksize"], done["blksize"]) == (True, asked, used), done


@pytest.mark.parametrize("value", ["7", "65465", "0", "", "abc", "-128", "512x", "1e3", "99999999999999999999"])
def test_block_size_out_of_range_or_not_a_number_is_a_usage_error(simulator, cli, value):
    r = cli("--action", "read_file_flashfs", "--ip", simulator.ip, "--backupfileout", ".",
            "--backupfileouttype", "bin", "--tftpblksize", value)
    assert r.returncode == 2
    assert "TftpBlksize%s\n" % value in r.stdout
    assert ("Invalid --tftpblksize value '%s' (a whole number of bytes from 8 to 65464)." % value) in r.stdout
    assert simulator.log_entries("tftp") == []
