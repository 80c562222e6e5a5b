"""The simulator's TFTP side, through raw UDP and curl: option negotiation,
retransmission, block number wrap and the TFTP fault switches."""

import socket
import struct
import time

import pytest

from conftest import curl, tftp_upload


def tftp_socket(port, op, name, options=None):
    """Sends a raw RRQ (op 1) or WRQ (op 2) and returns the client socket."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(2.0)
    packet = struct.pack("!H", op) + name.encode() + b"\0octet\0"
    for key, value in (options or {}).items():
        packet += key.encode() + b"\0" + value.encode() + b"\0"
    sock.sendto(packet, ("127.0.0.1", port))
    return sock


def oack_options(packet):
    assert packet[:2] == b"\0\x06", packet[:4]
    fields = packet[2:].split(b"\0")[:-1]
    return {fields[i].decode(): fields[i + 1].decode() for i in range(0, len(fields), 2)}


def quiet_for(sock, seconds):
    """True when nothing arrives on the socket for `seconds`."""
    sock.settimeout(seconds)
    try:
        sock.recvfrom(65536)
    except socket.timeout:
        return True
    return False


def end_transfer(sock, peer):
    sock.sendto(b"\0\x05\0\0stop\0", peer)
    sock.close()


def test_option_negotiation(simulator):
    sock = tftp_socket(simulator.port, 1, "flashfs.bin",
                       {"blksize": "128", "tsize": "0", "timeout": "1", "windowsize": "4"})
    packet, peer = sock.recvfrom(65536)
    assert peer[1] != simulator.port  # each transfer has its own port
    assert oack_options(packet) == {"blksize": "128", "tsize": str(2 * 1024 * 1024), "timeout": "1"}
    sock.sendto(b"\0\x04\0\0", peer)
    packet, _ = sock.recvfrom(65536)
    assert packet[:4] == b"\0\x03\0\x01" and len(packet) == 4 + 128
    end_transfer(sock, peer)
    # A WRQ of any other file is refused with an error packet.
    sock = tftp_socket(simulator.port, 2, "flashfs.bin")
    packet, _ = sock.recvfrom(65536)
    assert packet[:2] == b"\0\x05"
    sock.close()


def test_no_resend_on_duplicate_ack_but_on_timeout(simulator):
    sock = tftp_socket(simulator.port, 1, "flashraw.bin", {"timeout": "1"})
    packet, peer = sock.recvfrom(65536)
    sock.sendto(b"\0\x04\0\0", peer)
    assert sock.recvfrom(65536)[0][:4] == b"\0\x03\0\x01"
    sock.sendto(b"\0\x04\0\x01", peer)
    assert sock.recvfrom(65536)[0][:4] == b"\0\x03\0\x02"
    sock.sendto(b"\0\x04\0\x01", peer)  # duplicate ACK: no answer
    assert quiet_for(sock, 0.4)
    started = time.monotonic()
    sock.settimeout(3)
    again = sock.recvfrom(65536)[0]  # the unanswered block comes again
    assert again[:4] == b"\0\x03\0\x02" and 0.3 < time.monotonic() - started < 2.0
    end_transfer(sock, peer)


@pytest.mark.slow
def test_block_numbers_wrap_both_ways(simulator, tmp_path):
    data = bytes(range(256)) * (8 * 1024 * 4) + b"tail"  # 65536 blocks of 128 bytes and a short one
    path = tmp_path / "big.bin"
    path.write_bytes(data)
    assert tftp_upload(simulator, path).returncode == 0
    assert simulator.last_upload() == data
    upload = simulator.log_entries("tftp_done")[-1]
    assert upload["blocks"] == 65537 and upload["bytes"] == len(data)
    (simulator.state / "flashraw.bin").write_bytes(data)
    out = tmp_path / "back.bin"
    assert curl("--tftp-blksize", "128", "tftp://%s/flashraw.bin" % simulator.ip, "-o", out).returncode == 0
    assert out.read_bytes() == data


def test_tftp_faults(simulator, tmp_path):
    url = "tftp://%s/flashfs.bin" % simulator.ip
    out = tmp_path / "out.bin"
    simulator.set_faults({"tftp_refuse_read": True})
    assert curl(url, "-o", out).returncode != 0
    simulator.set_faults({"tftp_refuse_write": True})
    assert tftp_upload(simulator, simulator.state / "flashfs.bin").returncode != 0
    assert simulator.last_upload() is None
    simulator.set_faults({"tftp_no_oack": True})
    assert curl("--tftp-blksize", "128", url, "-o", out).returncode == 0
    assert out.read_bytes() == (simulator.state / "flashfs.bin").read_bytes()
    assert simulator.wait_for_log(lambda e: e.get("kind") == "tftp_done" and e["ok"])["blksize"] == 512
    simulator.set_faults({"tftp_no_tsize": True})
    sock = tftp_socket(simulator.port, 1, "flashfs.bin", {"blksize": "128", "tsize": "0"})
    packet, peer = sock.recvfrom(65536)
    assert oack_options(packet) == {"blksize": "128"}
    end_transfer(sock, peer)
    simulator.set_faults({"tftp_silent": True})
    sock = tftp_socket(simulator.port, 1, "flashfs.bin")
    assert quiet_for(sock, 0.5)
    sock.close()
    simulator.set_faults({"tftp_abort_after": 1024})
    result = curl("--tftp-blksize", "128", url, "-o", out)
    assert result.returncode != 0 and out.stat().st_size == 1024
