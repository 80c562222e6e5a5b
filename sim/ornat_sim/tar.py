"""Tar archives: the simulator's own (Python's tarfile, ustar) and a reader
that accepts the tool's header form as well."""

import io
import tarfile
import time

from .files import cstr


class TarError(ValueError):
    pass


def build_tar(members, mtime=None):
    """A ustar archive of [(name, bytes)]; names are kept exactly, also with
    a leading slash."""
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
        name = cstr(header[0:100]).decode("utf-8", "replace")
        if header[257:262] == b"ustar":
            prefix = cstr(header[345:500]).decode("utf-8", "replace")
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
