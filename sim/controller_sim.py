#!/usr/bin/env python3
"""Simulated TARNEL DALI controller for ornat-cli.

Stands in for the controller hardware: it answers every exchange the tool
makes, over real HTTP and TFTP on one port number (TCP for HTTP, UDP for
TFTP), and keeps the controller's files in a state folder on disk.

Usage:
    python3 sim/controller_sim.py [--address 127.0.0.1] [--port 0]
        [--model TARNEL-2] [--firmware 1.3.0] [--state DIR] [--log FILE]
        [--verbose] [fault options]

    ornat-cli --action get_status --ip 127.0.0.1:PORT

--port 0 picks a port number that is free for both TCP and UDP. The first
line on standard output is always "listening on ADDRESS:PORT" (flushed), so a
script can read the port from it. The simulator runs until SIGTERM or SIGINT
and then exits with status 0.

State folder (--state; a temporary folder, removed at exit, when omitted):
    etc/config/...          the controller's configuration files, under their
                            device paths (etc/config/dali/dali1.bin, ...)
    flashfs.bin             flash file system image (TFTP read)
    flashraw.bin            raw flash image (TFTP read); carries the firmware
                            information block of the running firmware
    controller.json         identity: model_name, firmware_version,
                            serial_number, mac, hostname, ...
    last_upload.bin         the bytes of the most recent TFTP upload
    faults.json             optional fault switches (see below)
An empty (or missing) folder is filled with the default state of a controller
of the given model and firmware: TARNEL-N has N DALI channels, channel files
in the layout that firmware selects. A folder that already holds anything
other than faults.json is used as it is, so tests can prepare or inspect
files. Identity: built-in defaults, overridden by controller.json, overridden
by --model / --firmware when given. Device files are read from disk on every
request, so they can be changed while the simulator runs.

HTTP (all replies carry Content-Length; keep-alive and "Connection: close"):
    GET /api/v100/backup.ssi?config=NAME
        a tar with the set's file under its device path (for example
        "/etc/config/dali/dali1.bin") and "status.txt" (JSON with model_name,
        firmware_version, serial_number, mac); a set the controller lacks
        gives a tar holding only "status.txt".
    GET /api/v100/status.ssi
        flat JSON status object, 22 string values.
    GET /api/v100/status.ssi?action=restoreconfig
        takes the pending upload as a tar and writes every member whose name
        is the device path of a known configuration set into the state
        folder; other members are ignored. Consumes the pending upload.
    GET /api/v100/status.ssi?action=firmwareupgrade&hash=H&size=N
        accepts the pending upload when its lowercase SHA-256 is H, its size N
        and its information block (184 bytes at 0x1C0000) names a TARNEL-1..4
        model; then the block's version string becomes the firmware version
        (persisted in controller.json). Consumes the pending upload.
    anything else: 404 with an HTML page.

TFTP (UDP, same port number; RFC 1350 with option negotiation: blksize,
tsize, timeout; one thread and one ephemeral port per transfer; 16-bit block
numbers wrap from 65535 to 0):
    read  "flashfs.bin", "flashraw.bin"
    write "flashraw.bin" (becomes the pending upload); other names refused.

Fault switches: a JSON object, given at start with --faults JSON and the
--fault-* options, and changeable while running by writing DIR/faults.json
(re-read whenever it changes; its keys override the start values; write it
atomically, e.g. to a temporary name and then rename; an unreadable file or
an unknown key is logged as "faults_error" and leaves only the start values
in force). Keys:
    set_404         list of set names answered with HTTP 404 and an HTML page
    set_html        list of set names answered with HTTP 200 and an HTML page
    set_truncated   list of set names whose tar is cut in the middle of its
                    members
    set_corrupt     list of set names whose tar has a bad header checksum
    set_without_file    list of set names whose tar holds "status.txt" and
                    another member, but not the set's file
    status_txt_body text served as "status.txt" in every set's tar
                    (in the set lists "*" stands for every set)
    drop            true (every request) or a list of substrings of the
                    request target: matching HTTP requests are answered by
                    closing the connection without a reply
    delay           seconds to wait before every HTTP reply
    delay_match     optional list of target substrings the delay applies to
    status_body     text served instead of the JSON status object
    tftp_refuse_read    true: TFTP reads get an error packet
    tftp_refuse_write   true: TFTP writes get an error packet
    tftp_no_tsize   true: the OACK never carries tsize
    tftp_no_oack    true: options are ignored (no OACK, 512-byte blocks)
    tftp_silent     true: TFTP requests get no answer at all
    tftp_abort_after    number of bytes after which a transfer is ended with
                        an error packet

Request log (--log FILE, JSON lines, appended, flushed per line). Kinds:
    {"kind": "start", "address", "port", "model_name", "firmware_version"}
    {"kind": "http", "method", "target"[, "fault"]}     on receipt, in order
    {"kind": "tftp", "op": "read"|"write", "file", "mode", "options"}
    {"kind": "tftp_done", "op", "file", "ok", "bytes", "blksize",
     "blocks"[, "error"]}
    {"kind": "upload", "file", "bytes", "sha256"}
    {"kind": "restore", "ok", "applied": [paths], "ignored": [names]
     [, "reason"]}
    {"kind": "firmware", "accepted", "version" | "reason"}
    {"kind": "faults_error", "error"}                   unreadable faults.json
    {"kind": "stop"}

The module can also be imported (tests do): it offers the configuration set
table (CONFIG_SETS, SET_PATHS), crc16, the channel layout lookups, builders
of channel files, tars and firmware images, and parse_tar.
"""

import argparse
import hashlib
import http.server
import io
import json
import os
import pathlib
import random
import shutil
import signal
import socket
import socketserver
import struct
import sys
import tarfile
import tempfile
import threading
import time
import urllib.parse

# --------------------------------------------------------------------------
# Configuration sets
# --------------------------------------------------------------------------

_SINGLE_SETS_FETCH_ORDER = (
    [
        ("systemconfig", "/etc/config/system/systemconfig.bin"),
        ("bastimeout", "/etc/config/bastimeout/bastimeout.bin"),
        ("schedules", "/etc/config/schedule/schedule.bin"),
        ("schedulesastro", "/etc/config/schedule/scheduleastro.bin"),
        ("rlc", "/etc/config/rlc/rlc.bin"),
        ("commanders", "/etc/config/cmdr/cmdr.bin"),
    ]
    + [("dali%d" % c, "/etc/config/dali/dali%d.bin" % c) for c in range(1, 5)]
    + [("cd%d" % c, "/etc/config/dali/cd%d.bin" % c) for c in range(1, 5)]
    + [("daincd%d" % c, "/etc/config/nvp/daincd%d.bin" % c) for c in range(1, 5)]
    + [
        (name, "/etc/config/nvp/%s.bin" % name)
        for name in (
            "system_ui32",
            "dalv",
            "daeu",
            "daeutr",
            "daeutc",
            "dacdlcm",
            "dacdlcr",
            "rlcnamenvp",
            "cmdrnamenvp",
        )
    ]
)


def _family_sets():
    out = []
    for kind in ("dt1", "dt8"):
        for c in range(1, 5):
            for n in range(64):
                name = "dali_%s_%d_%d" % (kind, c, n)
                out.append((name, "/etc/config/dali/%s.bin" % name))
    for n in range(64):
        out.append(("views%d" % n, "/etc/config/views/views%d.bin" % n))
    return out


# The 603 configuration sets as (set name, device path), in fetch order.
CONFIG_SETS = tuple(_SINGLE_SETS_FETCH_ORDER + _family_sets())
SET_PATHS = dict(CONFIG_SETS)  # set name -> device path
PATH_SETS = {path: name for name, path in CONFIG_SETS}  # device path -> set name
assert len(CONFIG_SETS) == 603 and len(SET_PATHS) == 603 and len(PATH_SETS) == 603

MODELS = ("TARNEL-1", "TARNEL-2", "TARNEL-3", "TARNEL-4")

# --------------------------------------------------------------------------
# Channel configuration files
# --------------------------------------------------------------------------


def _crc16_table():
    table = []
    for b in range(256):
        crc = b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_CRC16_TABLE = _crc16_table()


def crc16(data):
    """CRC-16/MCRF4XX: reflected polynomial 0x8408, init 0xFFFF, no final xor."""
    crc = 0xFFFF
    table = _CRC16_TABLE
    for b in data:
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]
    return crc


def seal_crc(image):
    """Sets the crc field (u32 at 4) of a configuration image in place: CRC
    over `size` bytes (u32 at 0, capped to the image) with the field at 0."""
    size = min(struct.unpack_from("<I", image, 0)[0], len(image))
    struct.pack_into("<I", image, 4, 0)
    struct.pack_into("<I", image, 4, crc16(memoryview(image)[:size]))
    return image


CHANNEL_LAYOUT_TABLE = (("1.0.0", 0), ("1.3.0", 1), ("1.3.1", 2), ("1.5.0", 3))
INPUTS_LAYOUT_TABLE = (("1.0.0", 0), ("1.3.1", 2), ("2.2.4", 3))


def _layout_code(table, firmware):
    fw = firmware.encode("utf-8", "replace")
    code = 0
    for text, value in table:
        if text.encode() <= fw:  # byte-wise, as strcmp
            code = value
    return code


def channel_layout_for(firmware):
    return _layout_code(CHANNEL_LAYOUT_TABLE, firmware)


def inputs_layout_for(firmware):
    return _layout_code(INPUTS_LAYOUT_TABLE, firmware)


def channel_file_layout(firmware):
    """Channel file layout (1, 2 or 3) the firmware version expects."""
    return {0: 1, 1: 1, 2: 2, 3: 3}[channel_layout_for(firmware)]


def inputs_file_version(firmware):
    """Channel inputs file version (1, 2 or 3) the firmware version expects."""
    return {0: 1, 2: 2, 3: 3}[inputs_layout_for(firmware)]


# layout -> (size, device entry size, offset of device type, offset of name,
#            offset of the group entries)
CHANNEL_LAYOUTS = {
    1: {"size": 11168, "entry": 152, "dtype": 42, "name": 94, "groups": 9788},
    2: {"size": 10912, "entry": 160, "dtype": 44, "name": 106, "groups": 10300},
    3: {"size": 7072, "entry": 100, "dtype": 43, "name": 45, "groups": 6460},
}
CHANNEL_DEVICES_AT = 60
GROUP_ENTRY_SIZE = 38
LAYOUT1_EXTRA_AT = 10396

# inputs version -> (size, instance block size)
INPUTS_LAYOUTS = {1: (9436, 194), 2: (9436, 194), 3: (9564, 198)}
INPUT_ENTRIES_AT = 28
INPUT_ENTRY_SIZE = 100
INSTANCE_BLOCKS_AT = 3228


def _put_text(buf, offset, width, text):
    raw = text.encode("utf-8")[: width - 1]
    buf[offset : offset + width] = raw + bytes(width - len(raw))


def build_channel_file(layout, channel, devices=None, groups=None, revision=1):
    """A channel file image (dali<c>.bin) in layout 1, 2 or 3.

    devices: {index: {"address": a, "name": s, "type": t, "groups": mask}}
    groups:  {group number: name}
    """
    if devices is None:
        devices = default_channel_devices(channel)
    if groups is None:
        groups = default_channel_groups(channel)
    lay = CHANNEL_LAYOUTS[layout]
    buf = bytearray(lay["size"])
    struct.pack_into("<IIII", buf, 0, lay["size"], 0, layout, revision)
    struct.pack_into("<I", buf, 16, channel)  # channel word
    _put_text(buf, 24, 32, "DALI line %d" % channel)
    buf[56] = 1  # line enabled
    for index in range(64):
        at = CHANNEL_DEVICES_AT + index * lay["entry"]
        dev = devices.get(index)
        buf[at + 20 : at + 36] = b"\xff" * 16  # scenes not set
        if dev is None:
            buf[at + 11] = 255 if layout == 3 else 0
            if layout in (2, 3):
                buf[at + lay["dtype"]] = 255
                buf[at + lay["dtype"] + 1] = 255
            else:
                buf[at + 42] = 255
            continue
        dtype = dev.get("type", 6)
        struct.pack_into("<I", buf, at, 0x1 | 0x2)  # has address, from CSV
        buf[at + 5] = 254  # power-on level
        buf[at + 6] = 254  # system failure level
        buf[at + 7] = 1  # min level
        buf[at + 8] = 254  # max level
        buf[at + 9] = 7  # fade rate
        buf[at + 10] = 0  # fade time
        buf[at + 11] = 2 * dev["address"] + 1
        struct.pack_into("<H", buf, at + 18, dev.get("groups", 0))
        buf[at + 20] = 254  # scene 0: full
        buf[at + 21] = 128  # scene 1: half
        buf[at + 36] = 255  # entry marker
        if layout == 1:
            buf[at + 42] = dtype
            if dtype == 8:
                struct.pack_into("<H", buf, at + 92, 2700)
            elif dtype == 6:
                buf[at + 44 : at + 51] = bytes((1, 0, 3, 0, 0, 0, 0))
        elif layout == 2:
            buf[at + 42] = dtype
            buf[at + 44] = dtype
            buf[at + 45] = 255
            if dtype == 8:
                struct.pack_into("<H", buf, at + 104, 2700)
            elif dtype == 6:
                buf[at + 49 : at + 56] = bytes((1, 0, 3, 0, 0, 0, 0))
        else:
            buf[at + 42] = dtype
            buf[at + 43] = dtype
            buf[at + 44] = 255
        _put_text(buf, at + lay["name"], 33, dev["name"])
        if layout == 1:
            extra = LAYOUT1_EXTRA_AT + 12 * index
            buf[extra : extra + 12] = hashlib.sha256(dev["name"].encode()).digest()[:12]
    for number, name in groups.items():
        at = lay["groups"] + number * GROUP_ENTRY_SIZE
        _put_text(buf, at, 33, name)
        buf[at + 36] = 255
    return bytes(seal_crc(buf))


_DEFAULT_TYPES = (6, 6, 1, 8, 6, 1, 8, 6)


def default_channel_devices(channel):
    devices = {}
    for i, dtype in enumerate(_DEFAULT_TYPES):
        devices[i] = {
            "address": i,
            "name": "C%d Luminaire %02d" % (channel, i + 1),
            "type": dtype,
            "groups": (1 << (i % 2)) | (1 << 2 if i < 4 else 0),
        }
    return devices


def default_channel_groups(channel):
    return {0: "C%d Hall" % channel, 1: "C%d Office" % channel, 2: "C%d Entrance" % channel}


def build_inputs_file(version, channel, inputs=None, revision=1):
    """A channel inputs file image (cd<c>.bin) of version 1, 2 or 3.

    inputs: {index: {"address": a, "name": s, "instances": [type, ...]}}
    """
    if inputs is None:
        inputs = default_channel_inputs(channel)
    size, block = INPUTS_LAYOUTS[version]
    buf = bytearray(size)
    struct.pack_into("<IIII", buf, 0, size, 0, version, revision)
    struct.pack_into("<I", buf, 16, channel)  # channel word
    for index in range(32):
        at = INPUT_ENTRIES_AT + index * INPUT_ENTRY_SIZE
        dev = inputs.get(index)
        buf[at + 16 : at + 80] = b"\xff" * 64  # no instances
        if dev is None:
            buf[at + 8] = 255
            continue
        struct.pack_into("<I", buf, at, 0x1 | 0x2)
        buf[at + 8] = 2 * dev["address"] + 1
        buf[at + 10] = len(dev["instances"])  # input parameter
        buf[at + 13] = 255  # entry marker
        blk = INSTANCE_BLOCKS_AT + index * block
        for k, itype in enumerate(dev["instances"]):
            buf[at + 16 + 2 * k] = itype
            buf[at + 17 + 2 * k] = 1
            if version == 3:
                rec = blk + 6 + 6 * k
                if itype == 1:
                    buf[rec : rec + 6] = bytes((1, 2, 3, 4, 5, 6))
                elif itype == 3:
                    buf[rec + 1 : rec + 4] = bytes((30, 1, 0))
                elif itype == 4:
                    buf[rec + 1 : rec + 3] = bytes((100, 5))
            else:
                if itype == 1:
                    buf[blk + 6 * k : blk + 6 * k + 6] = bytes((1, 2, 3, 4, 5, 6))
                elif itype == 3:
                    struct.pack_into("<I", buf, blk + 4 * k, 30)
                elif itype == 4:
                    struct.pack_into("<HB", buf, blk + 3 * k, 100, 5)
        if version == 3:
            buf[blk + 1] = 4  # block parameter
        else:
            buf[blk + 192] = 4
        _put_text(buf, at + 80, 17, dev["name"])
    return bytes(seal_crc(buf))


def default_channel_inputs(channel):
    return {
        0: {"address": 0, "name": "C%d Buttons" % channel, "instances": [1, 1, 1, 1]},
        1: {"address": 1, "name": "C%d Presence" % channel, "instances": [3, 4]},
        2: {"address": 2, "name": "C%d Daylight" % channel, "instances": [4]},
    }


def build_generic_file(name, size, version=1):
    """A plausible small configuration file: 16-byte header (size, crc,
    version, revision) and deterministic bytes seeded by the set name."""
    rng = random.Random("ornat-sim:" + name)
    buf = bytearray(16) + bytearray(rng.randbytes(size - 16))
    struct.pack_into("<IIII", buf, 0, size, 0, version, 1)
    return bytes(seal_crc(buf))


# --------------------------------------------------------------------------
# Firmware images
# --------------------------------------------------------------------------

FIRMWARE_INFO_AT = 0x1C0000
FIRMWARE_INFO_SIZE = 184


def build_firmware_info(model, version, channels=None, description=None,
                        date="2024-05-14", clock="10:22:31", number=None):
    """The 184-byte firmware information block."""
    if channels is None:
        channels = model_channels(model)
    if description is None:
        description = "DALI controller, %d line%s" % (channels, "" if channels == 1 else "s")
    if number is None:
        digits = [int(p) for p in version.split(".") if p.isdigit()][:3]
        digits += [0] * (3 - len(digits))
        number = digits[0] * 10000 + digits[1] * 100 + digits[2]
    block = bytearray(FIRMWARE_INFO_SIZE)
    block[0:12] = b"TNFWINFO\x01\x00\x00\x00"
    _put_text(block, 12, 33, model)
    _put_text(block, 45, 33, description)
    _put_text(block, 78, 33, version)
    struct.pack_into("<I", block, 112, number & 0xFFFFFFFF)
    _put_text(block, 116, 33, date)
    _put_text(block, 149, 33, clock)
    block[182] = channels & 0xFF
    return bytes(block)


def build_firmware_image(model, version, size=0x200000, seed="firmware", info=None):
    """A raw firmware image of `size` bytes (at least 0x1C00B8) with the
    information block at 0x1C0000; `info` replaces the generated block."""
    rng = random.Random("ornat-sim:%s:%s:%s" % (seed, model, version))
    image = bytearray(rng.randbytes(size))
    block = info if info is not None else build_firmware_info(model, version)
    image[FIRMWARE_INFO_AT : FIRMWARE_INFO_AT + len(block)] = block
    return bytes(image)


def _cstr(raw):
    return raw.split(b"\0", 1)[0]


def read_firmware_info(image):
    """(model, version) from an image's information block, or None."""
    if len(image) < FIRMWARE_INFO_AT + FIRMWARE_INFO_SIZE:
        return None
    block = image[FIRMWARE_INFO_AT : FIRMWARE_INFO_AT + FIRMWARE_INFO_SIZE]
    model = _cstr(bytes(block[12:45])).decode("latin-1")
    version = _cstr(bytes(block[78:111])).decode("latin-1")
    return model, version


def model_channels(model):
    """TARNEL-N has N DALI channels; any other model text counts as one."""
    tail = model.rsplit("-", 1)[-1]
    if tail.isdigit() and 1 <= int(tail) <= 4:
        return int(tail)
    return 1


# --------------------------------------------------------------------------
# Tar
# --------------------------------------------------------------------------


class TarError(ValueError):
    pass


def build_tar(members, mtime=None):
    """A ustar archive (Python tarfile) of [(name, bytes)]; names are kept
    exactly, also with a leading slash."""
    if mtime is None:
        mtime = int(time.time())
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o644
            info.mtime = mtime
            info.uname = info.gname = "root"
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def _octal(field):
    if field and field[0] & 0x80:  # base-256 number
        return int.from_bytes(field[1:], "big")
    text = field.split(b"\0", 1)[0].strip(b" ")
    if not text:
        return 0
    try:
        return int(text, 8)
    except ValueError:
        raise TarError("bad number field %r" % field) from None


def parse_tar(data):
    """[(name, type character, bytes)] of a tar archive. A record whose
    checksum field starts with NUL ends the archive; a bad checksum or a
    member running past the end raises TarError."""
    data = memoryview(data)
    if len(data) < 512:
        raise TarError("shorter than one header")
    out = []
    pos = 0
    while pos + 512 <= len(data):
        header = bytes(data[pos : pos + 512])
        if header[148] == 0:
            break
        stored = _octal(header[148:156])
        unsigned = 256 + sum(header[:148]) + sum(header[156:])
        signed = 256 + sum(b - 256 if b > 127 else b for b in header[:148] + header[156:])
        if stored not in (unsigned, signed):
            raise TarError("bad checksum at offset %d" % pos)
        name = _cstr(header[0:100]).decode("utf-8", "replace")
        if header[257:262] == b"ustar":
            prefix = _cstr(header[345:500]).decode("utf-8", "replace")
            if prefix:
                name = prefix + "/" + name
        size = _octal(header[124:136])
        kind = chr(header[156]) if header[156] else "0"
        start = pos + 512
        if start + size > len(data):
            raise TarError("member %r runs past the end" % name)
        out.append((name, kind, bytes(data[start : start + size])))
        pos = start + (size + 511) // 512 * 512
    return out


# --------------------------------------------------------------------------
# Faults
# --------------------------------------------------------------------------

FAULT_KEYS = (
    "set_404",
    "set_html",
    "set_truncated",
    "set_corrupt",
    "set_without_file",
    "status_txt_body",
    "drop",
    "delay",
    "delay_match",
    "status_body",
    "tftp_refuse_read",
    "tftp_refuse_write",
    "tftp_no_tsize",
    "tftp_no_oack",
    "tftp_silent",
    "tftp_abort_after",
)


class Faults:
    """The fault switches in effect for one request."""

    def __init__(self, raw):
        unknown = sorted(set(raw) - set(FAULT_KEYS))
        if unknown:
            raise ValueError("unknown fault keys: %s" % ", ".join(unknown))

        def names(key):
            value = raw.get(key) or []
            if isinstance(value, str):
                value = [value]
            return frozenset(str(v) for v in value)

        def patterns(key):
            value = raw.get(key)
            if value is True:
                return ("",)
            if not value:
                return ()
            if isinstance(value, str):
                value = [value]
            return tuple("" if v == "*" else str(v) for v in value)

        self.set_404 = names("set_404")
        self.set_html = names("set_html")
        self.set_truncated = names("set_truncated")
        self.set_corrupt = names("set_corrupt")
        self.set_without_file = names("set_without_file")
        txt = raw.get("status_txt_body")
        self.status_txt_body = None if txt is None else str(txt).encode()
        self.drop = patterns("drop")
        self.delay = float(raw.get("delay") or 0)
        self.delay_match = patterns("delay_match") or ("",)
        body = raw.get("status_body")
        self.status_body = None if body is None else str(body)
        self.tftp_refuse_read = bool(raw.get("tftp_refuse_read"))
        self.tftp_refuse_write = bool(raw.get("tftp_refuse_write"))
        self.tftp_no_tsize = bool(raw.get("tftp_no_tsize"))
        self.tftp_no_oack = bool(raw.get("tftp_no_oack"))
        self.tftp_silent = bool(raw.get("tftp_silent"))
        abort = raw.get("tftp_abort_after")
        self.tftp_abort_after = None if abort is None or abort is False else int(abort)

    @staticmethod
    def _in(names, set_name):
        return set_name in names or "*" in names

    def set_fault(self, set_name):
        for label, names in (("set_404", self.set_404), ("set_html", self.set_html),
                             ("set_truncated", self.set_truncated),
                             ("set_corrupt", self.set_corrupt),
                             ("set_without_file", self.set_without_file)):
            if self._in(names, set_name):
                return label
        return None

    def drops(self, target):
        return any(p in target for p in self.drop)

    def delay_for(self, target):
        if self.delay > 0 and any(p in target for p in self.delay_match):
            return self.delay
        return 0.0


class FaultSource:
    """Start-up fault switches overlaid by DIR/faults.json, re-read whenever
    the file changes (checked on every request by one stat call)."""

    def __init__(self, path, base, log):
        self.path = path
        self.base = dict(base)
        self.log = log
        self.lock = threading.Lock()
        self.stamp = None
        self.current = Faults(self.base)

    def get(self):
        try:
            st = os.stat(self.path)
            stamp = (st.st_ino, st.st_mtime_ns, st.st_size)
        except FileNotFoundError:
            stamp = None
        with self.lock:
            if stamp != self.stamp:
                raw = dict(self.base)
                if stamp is not None:
                    try:
                        with open(self.path, "r", encoding="utf-8") as fh:
                            overlay = json.load(fh)
                        if not isinstance(overlay, dict):
                            raise ValueError("faults.json must hold a JSON object")
                        raw.update(overlay)
                    except (OSError, ValueError) as err:
                        self.log.write({"kind": "faults_error", "error": str(err)})
                try:
                    self.current = Faults(raw)
                except (TypeError, ValueError) as err:
                    self.log.write({"kind": "faults_error", "error": str(err)})
                    self.current = Faults(self.base)
                self.stamp = stamp
            return self.current


# --------------------------------------------------------------------------
# Request log
# --------------------------------------------------------------------------


class RequestLog:
    def __init__(self, path, echo=False):
        self.lock = threading.Lock()
        self.echo = echo
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, entry):
        line = json.dumps(entry)
        with self.lock:
            if self.file:
                self.file.write(line + "\n")
                self.file.flush()
            if self.echo:
                sys.stderr.write(line + "\n")
                sys.stderr.flush()

    def close(self):
        with self.lock:
            if self.file:
                self.file.close()
                self.file = None


# --------------------------------------------------------------------------
# Controller state
# --------------------------------------------------------------------------

_GENERIC_SIZES = {
    "systemconfig": 1024,
    "bastimeout": 32,
    "schedules": 2048,
    "schedulesastro": 512,
    "rlc": 1024,
    "commanders": 1536,
    "system_ui32": 256,
    "dalv": 128,
    "daeu": 256,
    "daeutr": 128,
    "daeutc": 128,
    "dacdlcm": 256,
    "dacdlcr": 256,
    "rlcnamenvp": 512,
    "cmdrnamenvp": 512,
}
FLASH_SIZE = 0x200000
MAX_UPLOAD = 64 * 1024 * 1024


def _write_atomic(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(".%s.tmp%d" % (path.name, threading.get_ident()))
    with open(tmp, "wb") as fh:
        fh.write(data)
    os.replace(tmp, path)


def default_identity(model, firmware, state_dir):
    digest = hashlib.sha256(("%s|%s" % (model, os.path.abspath(state_dir))).encode()).digest()
    serial = "TN%d%08d" % (model_channels(model), int.from_bytes(digest[:4], "big") % 100000000)
    mac = "00:1e:c0:%02x:%02x:%02x" % (digest[4], digest[5], digest[6])
    return {
        "model_name": model,
        "firmware_version": firmware,
        "serial_number": serial,
        "mac": mac,
        "hostname": "tarnel-%s" % serial[-4:],
        "build_date": "2024-05-14 10:22:31",
        "license": "standard",
        "license_number": "LN-%s" % serial[-6:],
    }


def create_default_state(state, identity):
    """Fills an empty state folder with the files of a controller of the
    identity's model and firmware."""
    state = pathlib.Path(state)
    model = identity["model_name"]
    firmware = identity["firmware_version"]
    channels = model_channels(model)

    def put(set_name, data):
        _write_atomic(state / SET_PATHS[set_name].lstrip("/"), data)

    for name, size in _GENERIC_SIZES.items():
        put(name, build_generic_file(name, size))
    layout = channel_file_layout(firmware)
    inputs_version = inputs_file_version(firmware)
    for c in range(1, channels + 1):
        put("dali%d" % c, build_channel_file(layout, c))
        put("cd%d" % c, build_inputs_file(inputs_version, c))
        put("daincd%d" % c, build_generic_file("daincd%d" % c, 256))
        for n, dtype in enumerate(_DEFAULT_TYPES):
            if dtype == 1:
                put("dali_dt1_%d_%d" % (c, n), build_generic_file("dali_dt1_%d_%d" % (c, n), 48))
            elif dtype == 8:
                put("dali_dt8_%d_%d" % (c, n), build_generic_file("dali_dt8_%d_%d" % (c, n), 96))
    for n in range(3):
        put("views%d" % n, build_generic_file("views%d" % n, 768))
    rng = random.Random("ornat-sim:flashfs:" + identity["serial_number"])
    _write_atomic(state / "flashfs.bin", rng.randbytes(FLASH_SIZE))
    _write_atomic(state / "flashraw.bin",
                  build_firmware_image(model, firmware, FLASH_SIZE, seed=identity["serial_number"]))
    _write_atomic(state / "controller.json", (json.dumps(identity, indent=2) + "\n").encode())


def state_is_populated(state, ignore=()):
    try:
        entries = os.listdir(state)
    except FileNotFoundError:
        return False
    return any(e not in ignore and e != "faults.json" for e in entries)


class Controller:
    """The simulated controller: identity, files, pending upload."""

    def __init__(self, state, identity, log, faults, address):
        self.state = state
        self.identity = identity
        self.log = log
        self.faults = faults
        self.address = address
        self.lock = threading.Lock()
        self.pending = None
        self.started = time.monotonic()
        self.session_id = os.urandom(8).hex()
        self._status_txt = None

    # -- files --------------------------------------------------------------

    def device_file(self, device_path):
        """Bytes of a configuration file, or None. Only known device paths
        reach this, so the path always stays inside the state folder."""
        try:
            with open(os.path.join(self.state, device_path.lstrip("/")), "rb") as fh:
                return fh.read()
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            return None

    def flash_file(self, name):
        try:
            with open(os.path.join(self.state, name), "rb") as fh:
                return fh.read()
        except (FileNotFoundError, IsADirectoryError):
            return None

    # -- identity -----------------------------------------------------------

    def status_txt(self):
        with self.lock:
            if self._status_txt is None:
                self._status_txt = (json.dumps({
                    "model_name": self.identity["model_name"],
                    "firmware_version": self.identity["firmware_version"],
                    "serial_number": self.identity["serial_number"],
                    "mac": self.identity["mac"],
                }, indent=2) + "\n").encode()
            return self._status_txt

    def status(self):
        ident = self.identity
        channels = model_channels(ident["model_name"])
        uptime = int(time.monotonic() - self.started)
        status = {
            "model_name": ident["model_name"],
            "firmware_version": ident["firmware_version"],
            "build_date": ident.get("build_date", ""),
            "license": ident.get("license", ""),
            "license_number": ident.get("license_number", ""),
            "hostname": ident.get("hostname", ""),
            "serial_number": ident["serial_number"],
            "mac": ident["mac"],
            "rtc_temperature": "31.5",
            "ram_memory": "41%",
            "flash_memory": "23%",
            "boot_count": "17",
            "time": time.strftime("%Y-%m-%d %H:%M:%S"),
            "uptime": str(uptime),
        }
        for c in range(1, 5):
            status["dali_channel_%d" % c] = "ok" if c <= channels else "not present"
        status["ip"] = self.address
        status["bacnet_ip"] = "%s:47808" % self.address
        status["session_id"] = self.session_id
        status["username"] = "admin"
        return status

    def adopt_firmware(self, version):
        with self.lock:
            self.identity = dict(self.identity, firmware_version=version)
            self._status_txt = None
            path = os.path.join(self.state, "controller.json")
            data = (json.dumps(self.identity, indent=2) + "\n").encode()
        _write_atomic(pathlib.Path(path), data)

    # -- uploads ------------------------------------------------------------

    def store_upload(self, name, data):
        with self.lock:
            self.pending = data
        _write_atomic(pathlib.Path(self.state) / "last_upload.bin", data)
        self.log.write({"kind": "upload", "file": name, "bytes": len(data),
                        "sha256": hashlib.sha256(data).hexdigest()})

    def take_pending(self):
        with self.lock:
            data, self.pending = self.pending, None
            return data

    def restore(self):
        data = self.take_pending()
        if data is None:
            entry = {"kind": "restore", "ok": False, "reason": "no pending upload",
                     "applied": [], "ignored": []}
            self.log.write(entry)
            return entry
        try:
            members = parse_tar(data)
        except TarError as err:
            entry = {"kind": "restore", "ok": False, "reason": "not a tar: %s" % err,
                     "applied": [], "ignored": []}
            self.log.write(entry)
            return entry
        applied, ignored = [], []
        for name, kind, content in members:
            if kind in ("0", "7") and name in PATH_SETS:
                _write_atomic(pathlib.Path(self.state) / name.lstrip("/"), content)
                applied.append(name)
            else:
                ignored.append(name)
        entry = {"kind": "restore", "ok": True, "applied": applied, "ignored": ignored}
        self.log.write(entry)
        return entry

    def firmware_upgrade(self, digest, size):
        data = self.take_pending()
        reason = None
        version = None
        if data is None:
            reason = "no pending upload"
        elif size is None or size != len(data):
            reason = "size mismatch"
        elif digest != hashlib.sha256(data).hexdigest():
            reason = "hash mismatch"
        else:
            info = read_firmware_info(data)
            if info is None:
                reason = "image too short for the information block"
            elif info[0] not in MODELS:
                reason = "unknown model %r" % info[0]
            elif not info[1] or not info[1].isprintable():
                reason = "no version string"
            else:
                version = info[1]
        if reason is not None:
            entry = {"kind": "firmware", "accepted": False, "reason": reason}
        else:
            self.adopt_firmware(version)
            entry = {"kind": "firmware", "accepted": True, "version": version}
        self.log.write(entry)
        return entry


# --------------------------------------------------------------------------
# HTTP
# --------------------------------------------------------------------------

_HTML_404 = (b"<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>"
             b"<body><h1>404 Not Found</h1><p>The requested page does not exist."
             b"</p></body></html>\n")
_HTML_PAGE = (b"<!DOCTYPE html>\n<html><head><title>TARNEL controller</title></head>"
              b"<body><h1>TARNEL controller</h1><p>Please log in.</p></body></html>\n")
_REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found"}


class HttpHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tarnel-httpd/1.0"
    disable_nagle_algorithm = True
    timeout = 60  # idle keep-alive connections

    def log_message(self, fmt, *args):  # the request log replaces this
        pass

    def do_GET(self):
        self.server.controller_http(self, head=False)

    def do_HEAD(self):
        self.server.controller_http(self, head=True)

    def reply(self, code, body, content_type, head=False):
        lines = [
            "HTTP/1.1 %d %s" % (code, _REASONS.get(code, "OK")),
            "Server: %s" % self.server_version,
            "Content-Type: %s" % content_type,
            "Content-Length: %d" % len(body),
        ]
        if self.close_connection:
            lines.append("Connection: close")
        payload = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        self.wfile.write(payload if head else payload + body)


class HttpServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 64

    def server_bind(self):
        # HTTPServer.server_bind would resolve the host name (slow, pointless).
        socketserver.TCPServer.server_bind(self)
        host, port = self.server_address[:2]
        self.server_name = host
        self.server_port = port

    def controller_http(self, handler, head):
        ctl = self.controller
        target = handler.path
        faults = ctl.faults.get()
        entry = {"kind": "http", "method": handler.command, "target": target}
        if faults.drops(target):
            entry["fault"] = "drop"
            ctl.log.write(entry)
            handler.close_connection = True
            return
        delay = faults.delay_for(target)
        split = urllib.parse.urlsplit(target)
        query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        code, body, ctype = 404, _HTML_404, "text/html; charset=utf-8"
        if split.path == "/api/v100/backup.ssi":
            set_name = query.get("config", [""])[0]
            fault = faults.set_fault(set_name)
            if fault:
                entry["fault"] = fault
            code, body, ctype = self._backup(ctl, set_name, fault, faults.status_txt_body)
        elif split.path == "/api/v100/status.ssi":
            action = query.get("action", [None])[0]
            ctype = "application/json"
            if action is None:
                code = 200
                if faults.status_body is not None:
                    entry["fault"] = "status_body"
                    body = faults.status_body.encode("utf-8")
                else:
                    body = json.dumps(ctl.status(), indent=1).encode()
            else:
                ctl.log.write(entry)
                entry = None
                code, result = self._action(ctl, action, query)
                body = (json.dumps(result) + "\n").encode()
        if entry is not None:
            ctl.log.write(entry)
        if delay:
            time.sleep(delay)
        handler.reply(code, body, ctype, head)

    @staticmethod
    def _backup(ctl, set_name, fault, status_txt_body=None):
        if fault == "set_404":
            return 404, _HTML_404, "text/html; charset=utf-8"
        if fault == "set_html":
            return 200, _HTML_PAGE, "text/html; charset=utf-8"
        members = []
        path = SET_PATHS.get(set_name)
        if path is not None:
            data = ctl.device_file(path)
            if fault == "set_without_file":
                members.append(("/etc/config/readme.txt", b"the set's file is missing\n"))
            elif data is not None:
                members.append((path, data))
        members.append(("status.txt", status_txt_body if status_txt_body is not None else ctl.status_txt()))
        tar = build_tar(members)
        if fault == "set_truncated":
            # Half of the members' records, so the cut falls inside a member.
            used = sum(512 + (len(data) + 511) // 512 * 512 for _, data in members)
            tar = tar[: used // 2]
        elif fault == "set_corrupt":
            tar = bytearray(tar)
            tar[0] ^= 0x20  # the name changes, the stored checksum does not
            tar = bytes(tar)
        return 200, tar, "application/x-tar"

    @staticmethod
    def _action(ctl, action, query):
        if action == "restoreconfig":
            entry = ctl.restore()
            result = {"result": "ok" if entry["ok"] else "error",
                      "applied": len(entry["applied"]), "ignored": len(entry["ignored"])}
            if not entry["ok"]:
                result["reason"] = entry["reason"]
            return 200, result
        if action == "firmwareupgrade":
            digest = query.get("hash", [""])[0]
            try:
                size = int(query.get("size", [""])[0])
            except ValueError:
                size = None
            entry = ctl.firmware_upgrade(digest, size)
            if entry["accepted"]:
                return 200, {"result": "ok", "firmware_version": entry["version"]}
            return 200, {"result": "error", "reason": entry["reason"]}
        return 400, {"result": "error", "reason": "unknown action"}


# --------------------------------------------------------------------------
# TFTP
# --------------------------------------------------------------------------

OP_RRQ, OP_WRQ, OP_DATA, OP_ACK, OP_ERROR, OP_OACK = 1, 2, 3, 4, 5, 6
TFTP_READABLE = ("flashfs.bin", "flashraw.bin")
TFTP_WRITABLE = ("flashraw.bin",)
TFTP_RETRIES = 5
TFTP_MAX_BLKSIZE = 65464
_TFTP_HEADER = struct.Struct("!HH")


class TransferFailed(Exception):
    pass


def _error_packet(code, message):
    return struct.pack("!HH", OP_ERROR, code) + message.encode() + b"\0"


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


class TftpServer:
    def __init__(self, controller, sock, family, address):
        self.ctl = controller
        self.sock = sock
        self.family = family
        self.address = address

    def serve(self):
        while True:
            try:
                packet, peer = self.sock.recvfrom(65536)
            except OSError:
                return
            threading.Thread(target=self._transfer, args=(packet, peer), daemon=True).start()

    def _transfer(self, packet, peer):
        ctl = self.ctl
        try:
            opcode, name, mode, options = parse_request(packet)
        except ValueError:
            self._reply_once(peer, _error_packet(4, "Illegal TFTP operation"))
            return
        op = "read" if opcode == OP_RRQ else "write"
        name = name.lstrip("/")
        ctl.log.write({"kind": "tftp", "op": op, "file": name, "mode": mode, "options": options})
        faults = ctl.faults.get()
        done = {"kind": "tftp_done", "op": op, "file": name, "ok": False, "bytes": 0,
                "blksize": 512, "blocks": 0}
        if faults.tftp_silent:
            done["error"] = "no answer (fault tftp_silent)"
            ctl.log.write(done)
            return
        sock = socket.socket(self.family, socket.SOCK_DGRAM)
        try:
            sock.bind((self.address, 0))
            sock.connect(peer)
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

    def _reply_once(self, peer, packet):
        with socket.socket(self.family, socket.SOCK_DGRAM) as sock:
            sock.bind((self.address, 0))
            sock.sendto(packet, peer)

    @staticmethod
    def _refuse(sock, code, message):
        sock.send(_error_packet(code, message))
        raise TransferFailed("refused: %s" % message)

    @staticmethod
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
                blksize = min(number, TFTP_MAX_BLKSIZE)
                oack["blksize"] = str(blksize)
            elif key == "timeout" and 1 <= number <= 255:
                interval = min(float(number), 3.0)
                oack["timeout"] = str(number)
            elif key == "tsize" and not faults.tftp_no_tsize:
                size = tsize if tsize is not None else number
                if size > 0:  # a 0 tsize is refused by some clients
                    oack["tsize"] = str(size)
        return blksize, interval, (oack or None)

    @staticmethod
    def _oack_packet(oack):
        body = b"".join(k.encode() + b"\0" + v.encode() + b"\0" for k, v in oack.items())
        return struct.pack("!H", OP_OACK) + body

    @staticmethod
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
                opcode, block = _TFTP_HEADER.unpack_from(reply)
                if opcode == want_op and block == want_block:
                    return reply[4:]
                if opcode == OP_ERROR:
                    raise TransferFailed("client error %d: %s" % (
                        block, _cstr(reply[4:]).decode("latin-1")))
                if on_dup is not None and opcode == OP_DATA:
                    on_dup(block)
            # A duplicate ACK is ignored: resending on it would double every
            # later packet (the sorcerer's apprentice). Wait out the rest of
            # the interval instead.
            now = time.monotonic()
            if waiting_since is None:
                waiting_since = now
            sock.settimeout(max(interval - (now - waiting_since), 0.001))

    def _read(self, sock, name, options, faults, done):
        if faults.tftp_refuse_read:
            self._refuse(sock, 2, "Access violation")
        data = self.ctl.flash_file(name) if name in TFTP_READABLE else None
        if data is None:
            self._refuse(sock, 1, "File not found")
        blksize, interval, oack = self._negotiate(options, faults, len(data))
        done["blksize"] = blksize
        if oack:
            self._await(sock, self._oack_packet(oack), OP_ACK, 0, interval)
        view = memoryview(data)
        abort_after = faults.tftp_abort_after
        offset, block = 0, 1
        while True:
            if abort_after is not None and offset >= abort_after:
                sock.send(_error_packet(0, "Transfer aborted"))
                raise TransferFailed("aborted after %d bytes (fault tftp_abort_after)" % offset)
            chunk = view[offset : offset + blksize]
            number = block & 0xFFFF
            self._await(sock, _TFTP_HEADER.pack(OP_DATA, number) + chunk, OP_ACK, number, interval)
            offset += len(chunk)
            done["bytes"], done["blocks"] = offset, block
            if len(chunk) < blksize:
                break
            block += 1
        done["ok"] = True

    def _write(self, sock, name, options, faults, done):
        if faults.tftp_refuse_write:
            self._refuse(sock, 2, "Access violation")
        if name not in TFTP_WRITABLE:
            self._refuse(sock, 2, "Access violation")
        announced = None
        if "tsize" in options:
            try:
                announced = int(options["tsize"])
            except ValueError:
                announced = None
            if announced is not None and announced > MAX_UPLOAD:
                self._refuse(sock, 3, "Disk full or allocation exceeded")
        blksize, interval, oack = self._negotiate(options, faults, None)
        done["blksize"] = blksize
        received = bytearray()
        abort_after = faults.tftp_abort_after
        last = self._oack_packet(oack) if oack else _TFTP_HEADER.pack(OP_ACK, 0)
        block = 1

        def resend(dup_block):
            if dup_block == (block - 1) & 0xFFFF:
                sock.send(last)  # our ACK of that block was lost

        while True:
            payload = self._await(sock, last, OP_DATA, block & 0xFFFF, interval, resend)
            received += payload
            done["bytes"], done["blocks"] = len(received), block
            if len(received) > MAX_UPLOAD:
                self._refuse(sock, 3, "Disk full or allocation exceeded")
            if abort_after is not None and len(received) >= abort_after:
                sock.send(_error_packet(0, "Transfer aborted"))
                raise TransferFailed("aborted after %d bytes (fault tftp_abort_after)"
                                     % len(received))
            last = _TFTP_HEADER.pack(OP_ACK, block & 0xFFFF)
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


# --------------------------------------------------------------------------
# Start-up
# --------------------------------------------------------------------------


def bind_servers(address, port):
    """An HTTP server on TCP and a UDP socket on one port number; port 0
    picks a number that is free for both."""
    family = socket.AF_INET6 if ":" in address else socket.AF_INET

    class Server(HttpServer):
        address_family = family

    last_error = None
    for _ in range(200):
        httpd = Server((address, port), HttpHandler, bind_and_activate=False)
        try:
            httpd.server_bind()
            httpd.server_activate()
        except OSError as err:
            httpd.server_close()
            if port:
                raise
            last_error = err
            continue
        actual = httpd.server_address[1]
        udp = socket.socket(family, socket.SOCK_DGRAM)
        try:
            udp.bind((address, actual))
        except OSError as err:
            udp.close()
            httpd.server_close()
            if port:
                raise
            last_error = err
            continue
        return httpd, udp, actual, family
    raise OSError("no port free for both TCP and UDP: %s" % last_error)


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Simulated TARNEL DALI controller (HTTP and TFTP on one port).",
        epilog="See the module docstring for the fault keys and the request log.")
    p.add_argument("--address", default="127.0.0.1", help="address to listen on")
    p.add_argument("--port", type=int, default=0, help="TCP and UDP port (0: pick a free one)")
    p.add_argument("--model", help="model name (default TARNEL-2)")
    p.add_argument("--firmware", help="firmware version (default 1.3.0)")
    p.add_argument("--state", help="state folder (default: a temporary folder)")
    p.add_argument("--log", help="request log file (JSON lines, appended)")
    p.add_argument("--verbose", action="store_true", help="echo the request log to stderr")
    p.add_argument("--faults", help="fault switches as a JSON object")
    p.add_argument("--fault-set-404", action="append", default=[], metavar="SET")
    p.add_argument("--fault-set-html", action="append", default=[], metavar="SET")
    p.add_argument("--fault-set-truncated", action="append", default=[], metavar="SET")
    p.add_argument("--fault-set-corrupt", action="append", default=[], metavar="SET")
    p.add_argument("--fault-drop", action="append", default=[], metavar="SUBSTRING",
                   help="drop HTTP requests whose target contains it ('*': all)")
    p.add_argument("--fault-delay", type=float, metavar="SECONDS")
    p.add_argument("--fault-status-body", metavar="TEXT")
    p.add_argument("--fault-tftp-refuse-read", action="store_true")
    p.add_argument("--fault-tftp-refuse-write", action="store_true")
    p.add_argument("--fault-tftp-no-tsize", action="store_true")
    p.add_argument("--fault-tftp-no-oack", action="store_true")
    p.add_argument("--fault-tftp-silent", action="store_true")
    p.add_argument("--fault-tftp-abort-after", type=int, metavar="BYTES")
    return p.parse_args(argv)


def start_faults(args):
    faults = {}
    for key in ("set_404", "set_html", "set_truncated", "set_corrupt", "drop"):
        values = getattr(args, "fault_" + key)
        if values:
            faults[key] = values
    if args.fault_delay is not None:
        faults["delay"] = args.fault_delay
    if args.fault_status_body is not None:
        faults["status_body"] = args.fault_status_body
    for key in ("tftp_refuse_read", "tftp_refuse_write", "tftp_no_tsize", "tftp_no_oack",
                "tftp_silent"):
        if getattr(args, "fault_" + key):
            faults[key] = True
    if args.fault_tftp_abort_after is not None:
        faults["tftp_abort_after"] = args.fault_tftp_abort_after
    if args.faults:
        overlay = json.loads(args.faults)
        if not isinstance(overlay, dict):
            raise SystemExit("--faults must be a JSON object")
        faults.update(overlay)
    try:
        Faults(faults)  # reject bad keys and values now
    except (TypeError, ValueError) as err:
        raise SystemExit("bad fault switches: %s" % err) from None
    return faults


def load_identity(args, state):
    model = args.model or "TARNEL-2"
    firmware = args.firmware or "1.3.0"
    identity = default_identity(model, firmware, state)
    try:
        with open(os.path.join(state, "controller.json"), "r", encoding="utf-8") as fh:
            stored = json.load(fh)
        if isinstance(stored, dict):
            identity.update({k: str(v) for k, v in stored.items()})
    except (FileNotFoundError, ValueError):
        pass
    if args.model:
        identity["model_name"] = args.model
    if args.firmware:
        identity["firmware_version"] = args.firmware
    return identity


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    faults = start_faults(args)
    temporary = args.state is None
    state = tempfile.mkdtemp(prefix="tarnel-sim-") if temporary else os.path.abspath(args.state)
    os.makedirs(state, exist_ok=True)
    log_name = os.path.basename(args.log) if args.log else None
    populated = state_is_populated(state, ignore=(log_name,) if log_name else ())
    if not populated:
        identity = load_identity(args, state)
        create_default_state(pathlib.Path(state), identity)
    identity = load_identity(args, state)

    log = RequestLog(args.log, echo=args.verbose)
    fault_source = FaultSource(os.path.join(state, "faults.json"), faults, log)
    try:
        httpd, udp, port, family = bind_servers(args.address, args.port)
    except OSError as err:
        sys.stderr.write("cannot listen on %s:%d: %s\n" % (args.address, args.port, err))
        return 1
    controller = Controller(state, identity, log, fault_source, args.address)
    httpd.controller = controller

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    shown = "[%s]" % args.address if family == socket.AF_INET6 else args.address
    log.write({"kind": "start", "address": args.address, "port": port, "state": state,
               "model_name": identity["model_name"],
               "firmware_version": identity["firmware_version"]})
    sys.stdout.write("listening on %s:%d\n" % (shown, port))
    sys.stdout.flush()
    if temporary:
        sys.stderr.write("state folder: %s (removed at exit)\n" % state)
        sys.stderr.flush()

    http_thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.2},
                                   daemon=True)
    http_thread.start()
    tftp = TftpServer(controller, udp, family, args.address)
    threading.Thread(target=tftp.serve, daemon=True).start()

    while not stop.wait(1.0):
        pass

    httpd.shutdown()
    httpd.server_close()
    udp.close()
    log.write({"kind": "stop"})
    log.close()
    if temporary:
        shutil.rmtree(state, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
