"""Builders of the controller's configuration files: the CRC, the channel
file layouts and channel inputs file versions the firmware selects, and
plausible default contents."""

import hashlib
import random
import struct


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


def put_text(buf, offset, width, text):
    """A NUL-padded text field of `width` bytes, always NUL-terminated."""
    raw = text.encode("utf-8")[: width - 1]
    buf[offset : offset + width] = raw + bytes(width - len(raw))


def cstr(raw):
    """The bytes of a NUL-terminated field up to its NUL."""
    return bytes(raw).split(b"\0", 1)[0]


# The first firmware version of each newer layout; older versions use 1.
# Versions compare byte-wise, as strcmp does ("1.10.0" is below "1.3.0").
_CHANNEL_LAYOUT_FROM = (("1.3.1", 2), ("1.5.0", 3))
_INPUTS_VERSION_FROM = (("1.3.1", 2), ("2.2.4", 3))


def _pick(table, firmware):
    fw = firmware.encode("utf-8", "replace")
    chosen = 1
    for text, value in table:
        if text.encode() <= fw:
            chosen = value
    return chosen


def channel_file_layout(firmware):
    """Channel file layout (1, 2 or 3) the firmware version expects."""
    return _pick(_CHANNEL_LAYOUT_FROM, firmware)


def inputs_file_version(firmware):
    """Channel inputs file version (1, 2 or 3) the firmware version expects."""
    return _pick(_INPUTS_VERSION_FROM, firmware)


# layout -> size, device entry size, offsets of the device type, the name
# and the group entries
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

# Device types of the default devices of a channel (6: LED, 1: emergency, 8: colour).
DEFAULT_TYPES = (6, 6, 1, 8, 6, 1, 8, 6)


def default_channel_devices(channel):
    return {
        i: {"address": i, "name": "C%d Luminaire %02d" % (channel, i + 1), "type": dtype,
            "groups": (1 << (i % 2)) | (1 << 2 if i < 4 else 0)}
        for i, dtype in enumerate(DEFAULT_TYPES)
    }


def default_channel_groups(channel):
    return {0: "C%d Hall" % channel, 1: "C%d Office" % channel, 2: "C%d Entrance" % channel}


def default_channel_inputs(channel):
    return {
        0: {"address": 0, "name": "C%d Buttons" % channel, "instances": [1, 1, 1, 1]},
        1: {"address": 1, "name": "C%d Presence" % channel, "instances": [3, 4]},
        2: {"address": 2, "name": "C%d Daylight" % channel, "instances": [4]},
    }


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
    put_text(buf, 24, 32, "DALI line %d" % channel)
    buf[56] = 1  # line enabled
    for index in range(64):
        at = CHANNEL_DEVICES_AT + index * lay["entry"]
        dev = devices.get(index)
        buf[at + 20 : at + 36] = b"\xff" * 16  # scenes not set
        if dev is None:
            buf[at + 11] = 255 if layout == 3 else 0
            buf[at + lay["dtype"]] = 255
            if layout != 1:
                buf[at + lay["dtype"] + 1] = 255
            continue
        dtype = dev.get("type", 6)
        struct.pack_into("<I", buf, at, 0x1 | 0x2)  # has address, from CSV
        buf[at + 5 : at + 11] = bytes((254, 254, 1, 254, 7, 0))  # power-on, failure, min, max, fade rate, time
        buf[at + 11] = 2 * dev["address"] + 1
        struct.pack_into("<H", buf, at + 18, dev.get("groups", 0))
        buf[at + 20] = 254  # scene 0: full
        buf[at + 21] = 128  # scene 1: half
        buf[at + 36] = 255  # entry marker
        buf[at + 42] = dtype
        if layout == 1:
            if dtype == 8:
                struct.pack_into("<H", buf, at + 92, 2700)
            elif dtype == 6:
                buf[at + 44 : at + 51] = bytes((1, 0, 3, 0, 0, 0, 0))
        elif layout == 2:
            buf[at + 44] = dtype
            buf[at + 45] = 255
            if dtype == 8:
                struct.pack_into("<H", buf, at + 104, 2700)
            elif dtype == 6:
                buf[at + 49 : at + 56] = bytes((1, 0, 3, 0, 0, 0, 0))
        else:
            buf[at + 43] = dtype
            buf[at + 44] = 255
        put_text(buf, at + lay["name"], 33, dev["name"])
        if layout == 1:
            extra = LAYOUT1_EXTRA_AT + 12 * index
            buf[extra : extra + 12] = hashlib.sha256(dev["name"].encode()).digest()[:12]
    for number, name in groups.items():
        at = lay["groups"] + number * GROUP_ENTRY_SIZE
        put_text(buf, at, 33, name)
        buf[at + 36] = 255
    return bytes(seal_crc(buf))


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
            elif itype == 1:
                buf[blk + 6 * k : blk + 6 * k + 6] = bytes((1, 2, 3, 4, 5, 6))
            elif itype == 3:
                struct.pack_into("<I", buf, blk + 4 * k, 30)
            elif itype == 4:
                struct.pack_into("<HB", buf, blk + 3 * k, 100, 5)
        buf[blk + 1 if version == 3 else blk + 192] = 4  # block parameter
        put_text(buf, at + 80, 17, dev["name"])
    return bytes(seal_crc(buf))


def build_generic_file(name, size, version=1):
    """A plausible small configuration file: 16-byte header (size, crc,
    version, revision) and deterministic bytes seeded by the set name."""
    rng = random.Random("ornat-sim:" + name)
    buf = bytearray(16) + bytearray(rng.randbytes(size - 16))
    struct.pack_into("<IIII", buf, 0, size, 0, version, 1)
    return bytes(seal_crc(buf))
