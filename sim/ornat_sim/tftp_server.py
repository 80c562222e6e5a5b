"""The controller's TFTP interface (RFC 1350 with the blksize, tsize and
timeout options): reads of the flash images, the write of an upload. One
thread and one ephemeral port per transfer; 16-bit block numbers wrap from
65535 to 0."""

import itertools
import random
import socket
import struct
import threading
import time

from .controller import MAX_UPLOAD
from .files import cstr

OP_RRQ, OP_WRQ, OP_DATA, OP_ACK, OP_ERROR, OP_OACK = 1, 2, 3, 4, 5, 6
TFTP_READABLE = ("flashfs.bin", "flashraw.bin")
TFTP_WRITABLE = ("flashraw.bin",)
TFTP_RETRIES = 5
TFTP_MAX_BLKSIZE = 65464
_HEADER = struct.Struct("!HH")


class TransferFailed(Exception):
    pass


def _error_packet(code, message):
    return _HEADER.pack(OP_ERROR, code) + message.encode() + b"\0"


def parse_request(packet):
    """(opcode, file name, mode, options) of an RRQ/WRQ; options keep the
    client's order, names lower-cased. Raises ValueError when malformed."""
    if len(packet) < 4:
        raise ValueError("short packet")
    opcode = struct.unpack("!H", packet[:2])[0]
    if opcode not in (OP_RRQ, OP_WRQ):
        raise ValueError("not a request")
    fields = packet[2:].split(b"\0")
    if len(fields) < 3 or fields[-1] != b"":
        raise ValueError("unterminated request")
    fields = [f.decode("latin-1") for f in fields[:-1]]
    name, mode, rest = fields[0], fields[1].lower(), fields[2:]
    options = {}
    for i in range(0, len(rest) - 1, 2):
        options[rest[i].lower()] = rest[i + 1]
    return opcode, name, mode, options


def _negotiate(options, faults, tsize):
    """(block size, retransmission interval, OACK options or None)."""
    if faults.tftp_no_oack:
        return 512, 1.0, None
    oack = {}
    blksize, interval = 512, 1.0
    for key, value in options.items():
        try:
            number = int(value)
        except ValueError:
            continue
        if key == "blksize" and number >= 8:
            blksize = min(number, faults.tftp_max_blksize or TFTP_MAX_BLKSIZE, TFTP_MAX_BLKSIZE)
            oack["blksize"] = str(blksize)
        elif key == "timeout" and 1 <= number <= 255:
            interval = min(float(number), 3.0)
            oack["timeout"] = str(number)
        elif key == "tsize" and not faults.tftp_no_tsize:
            size = tsize if tsize is not None else number
            if size > 0:  # a 0 tsize is refused by some clients
                oack["tsize"] = str(size)
    return blksize, interval, (oack or None)


def _oack_packet(oack):
    body = b"".join(k.encode() + b"\0" + v.encode() + b"\0" for k, v in oack.items())
    return struct.pack("!H", OP_OACK) + body


def _refuse(sock, code, message):
    sock.send(_error_packet(code, message))
    raise TransferFailed("refused: %s" % message)


def _abort(sock, count):
    sock.send(_error_packet(0, "Transfer aborted"))
    raise TransferFailed("aborted after %d bytes (fault tftp_abort_after)" % count)


def _await(sock, packet, want_op, want_block, interval, on_dup=None):
    """Sends `packet` and waits for (want_op, want_block); resends on
    timeout only. Returns the payload of the awaited packet."""
    sock.send(packet)
    sock.settimeout(interval)
    waiting_since = None  # set by the first stray packet only
    tries = 0
    while True:
        try:
            reply = sock.recv(65536)
        except socket.timeout:
            tries += 1
            if tries > TFTP_RETRIES:
                raise TransferFailed("timeout waiting for block %d" % want_block) from None
            sock.send(packet)
            sock.settimeout(interval)
            waiting_since = None
            continue
        except ConnectionRefusedError:
            raise TransferFailed("client went away") from None
        if len(reply) >= 4:
            opcode, block = _HEADER.unpack_from(reply)
            if opcode == want_op and block == want_block:
                return reply[4:]
            if opcode == OP_ERROR:
                raise TransferFailed("client error %d: %s" % (block, cstr(reply[4:]).decode("latin-1")))
            if on_dup is not None and opcode == OP_DATA:
                on_dup(block)
        # A duplicate ACK is ignored: resending on it would double every
        # later packet (the sorcerer's apprentice). Wait out the rest of
        # the interval instead.
        now = time.monotonic()
        if waiting_since is None:
            waiting_since = now
        sock.settimeout(max(interval - (now - waiting_since), 0.001))


def _fall_silent(sock, count):
    """The controller stops answering: what the client sends is read and
    dropped until it has been quiet for 15 s (at most 10 minutes)."""
    sock.settimeout(15.0)
    deadline = time.monotonic() + 600
    try:
        while time.monotonic() < deadline:
            sock.recv(65536)
    except (socket.timeout, OSError):
        pass
    raise TransferFailed("silent after %d bytes (fault tftp_stop_after)" % count)


class _Link:
    """The socket of one transfer behind a remote controller's link: each
    packet waits `latency` seconds on its way in either direction, and each
    is lost with probability `loss` (drawn from `rng`; the count goes to the
    transfer's log entry as "lost")."""

    def __init__(self, sock, latency, loss, rng, done):
        self.sock, self.latency, self.loss, self.rng, self.done = sock, latency, loss, rng, done
        self.timeout = None
        if loss:
            done["lost"] = 0

    def _lost(self):
        if self.loss and self.rng.random() < self.loss:
            self.done["lost"] += 1
            return True
        return False

    def send(self, packet):
        if self._lost():
            return len(packet)
        if self.latency:
            time.sleep(self.latency)
        return self.sock.send(packet)

    def settimeout(self, seconds):
        self.timeout = seconds
        self.sock.settimeout(seconds)

    def recv(self, size):
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        packet = self.sock.recv(size)
        while self._lost():
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    self.sock.settimeout(self.timeout)
                    raise socket.timeout("timed out")
                self.sock.settimeout(left)
            packet = self.sock.recv(size)
        if deadline is not None:
            self.sock.settimeout(self.timeout)
        if self.latency:
            time.sleep(self.latency)
        return packet

    def close(self):
        self.sock.close()


class TftpServer:
    def __init__(self, controller, sock, family, address):
        self.ctl = controller
        self.sock = sock
        self.family = family
        self.address = address
        self.transfers = itertools.count()  # numbers the transfers for the loss seed

    def serve(self):
        while True:
            try:
                packet, peer = self.sock.recvfrom(65536)
            except OSError:
                return
            threading.Thread(target=self._transfer, args=(packet, peer), daemon=True).start()

    def _transfer(self, packet, peer):
        ctl = self.ctl
        # A controller restarting after a firmware upgrade answers nothing;
        # the client's retransmitted request finds it back.
        restarting = ctl.restarting()
        try:
            opcode, name, mode, options = parse_request(packet)
        except ValueError:
            if restarting:
                return
            with socket.socket(self.family, socket.SOCK_DGRAM) as sock:
                sock.bind((self.address, 0))
                sock.sendto(_error_packet(4, "Illegal TFTP operation"), peer)
            return
        op = "read" if opcode == OP_RRQ else "write"
        name = name.lstrip("/")
        ctl.log.write({"kind": "tftp", "op": op, "file": name, "mode": mode, "options": options})
        if restarting:
            ctl.log.write({"kind": "tftp_done", "op": op, "file": name, "ok": False, "bytes": 0,
                           "error": "no answer (restarting after a firmware upgrade)"})
            return
        faults = ctl.faults.get()
        done = {"kind": "tftp_done", "op": op, "file": name, "ok": False, "bytes": 0,
                "blksize": 512, "blocks": 0}
        if "blksize" in options:
            asked = options["blksize"]
            done["asked_blksize"] = int(asked) if asked.isdigit() else asked
        number = next(self.transfers)
        if faults.tftp_silent:
            done["error"] = "no answer (fault tftp_silent)"
            ctl.log.write(done)
            return
        sock = socket.socket(self.family, socket.SOCK_DGRAM)
        try:
            sock.bind((self.address, 0))
            sock.connect(peer)
            if faults.latency or faults.tftp_loss:
                rng = random.Random("%d:%d" % (faults.tftp_loss_seed, number))
                sock = _Link(sock, faults.latency, faults.tftp_loss, rng, done)
                time.sleep(faults.latency)  # the request's own way here
            if opcode == OP_RRQ:
                self._read(sock, name, options, faults, done)
            else:
                self._write(sock, name, options, faults, done)
        except TransferFailed as err:
            done["error"] = str(err)
        except OSError as err:
            done["error"] = "socket error: %s" % err
        finally:
            sock.close()
        if "logged" not in done:
            ctl.log.write(done)

    def _read(self, sock, name, options, faults, done):
        if faults.tftp_refuse_read:
            _refuse(sock, 2, "Access violation")
        data = self.ctl.flash_file(name) if name in TFTP_READABLE else None
        if data is None:
            _refuse(sock, 1, "File not found")
        blksize, interval, oack = _negotiate(options, faults, len(data))
        done["blksize"] = blksize
        if oack:
            _await(sock, _oack_packet(oack), OP_ACK, 0, interval)
        if faults.tftp_short_after is not None:
            # The OACK announced the whole file; the transfer ends early, as
            # a normal end with a short block.
            data = data[: faults.tftp_short_after]
        view = memoryview(data)
        abort_after = faults.tftp_abort_after
        big_block = faults.tftp_big_block
        offset, block = 0, 1
        while True:
            if faults.tftp_stop_after is not None and offset >= faults.tftp_stop_after:
                _fall_silent(sock, offset)
            if abort_after is not None and offset >= abort_after:
                _abort(sock, offset)
            # One block may carry twice the negotiated size.
            chunk = view[offset : offset + blksize * (2 if block == big_block else 1)]
            number = block & 0xFFFF
            if faults.tftp_block_delay:
                time.sleep(faults.tftp_block_delay)
            _await(sock, _HEADER.pack(OP_DATA, number) + chunk, OP_ACK, number, interval)
            offset += len(chunk)
            done["bytes"], done["blocks"] = offset, block
            if len(chunk) < blksize:
                break
            block += 1
        done["ok"] = True

    def _write(self, sock, name, options, faults, done):
        if faults.tftp_refuse_write or name not in TFTP_WRITABLE:
            _refuse(sock, 2, "Access violation")
        announced = None
        if "tsize" in options:
            try:
                announced = int(options["tsize"])
            except ValueError:
                announced = None
            if announced is not None and announced > MAX_UPLOAD:
                _refuse(sock, 3, "Disk full or allocation exceeded")
        blksize, interval, oack = _negotiate(options, faults, None)
        done["blksize"] = blksize
        received = bytearray()
        abort_after = faults.tftp_abort_after
        last = _oack_packet(oack) if oack else _HEADER.pack(OP_ACK, 0)
        block = 1

        def resend(dup_block):
            if dup_block == (block - 1) & 0xFFFF:
                sock.send(last)  # our ACK of that block was lost

        while True:
            payload = _await(sock, last, OP_DATA, block & 0xFFFF, interval, resend)
            received += payload
            done["bytes"], done["blocks"] = len(received), block
            if len(received) > MAX_UPLOAD:
                _refuse(sock, 3, "Disk full or allocation exceeded")
            if faults.tftp_stop_after is not None and len(received) >= faults.tftp_stop_after:
                _fall_silent(sock, len(received))
            if abort_after is not None and len(received) >= abort_after:
                _abort(sock, len(received))
            last = _HEADER.pack(OP_ACK, block & 0xFFFF)
            if len(payload) < blksize:
                break
            block += 1
        # Store and log before the final ACK: the client's next request (the
        # restore trigger) may follow the moment the ACK arrives.
        self.ctl.store_upload(name, bytes(received))
        done["ok"] = True
        if announced is not None and announced != len(received):
            done["announced"] = announced
        self.ctl.log.write(done)
        done["logged"] = True
        sock.send(last)
        # Dally: answer a repeated last block in case the final ACK got lost.
        sock.settimeout(interval)
        try:
            while True:
                again = sock.recv(65536)
                if len(again) >= 4 and struct.unpack_from("!H", again)[0] == OP_DATA:
                    sock.send(last)
        except (socket.timeout, OSError):
            pass
