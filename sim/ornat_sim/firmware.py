"""Raw firmware images and their 184-byte information block at 0x1C0000."""

import random
import struct

from .files import cstr, put_text
from .sets import model_channels

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
    put_text(block, 12, 33, model)
    put_text(block, 45, 33, description)
    put_text(block, 78, 33, version)
    struct.pack_into("<I", block, 112, number & 0xFFFFFFFF)
    put_text(block, 116, 33, date)
    put_text(block, 149, 33, clock)
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


def read_firmware_info(image):
    """(model, version) from an image's information block, or None."""
    if len(image) < FIRMWARE_INFO_AT + FIRMWARE_INFO_SIZE:
        return None
    block = image[FIRMWARE_INFO_AT : FIRMWARE_INFO_AT + FIRMWARE_INFO_SIZE]
    return cstr(block[12:45]).decode("latin-1"), cstr(block[78:111]).decode("latin-1")
