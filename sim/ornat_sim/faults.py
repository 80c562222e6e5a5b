"""Fault switches: the start values overlaid by the state folder's
faults.json, which is re-read whenever it changes."""

import json
import os
import threading

# Keys naming lists of sets ("*": every set), in the order a set is checked.
SET_FAULTS = ("set_404", "set_html", "set_truncated", "set_corrupt", "set_without_file",
              "set_http_500", "set_without_status")
# Keys that are true or false.
TFTP_FLAGS = ("tftp_refuse_read", "tftp_refuse_write", "tftp_no_tsize", "tftp_no_oack",
              "tftp_silent")
FAULT_KEYS = SET_FAULTS + ("status_txt_body", "drop", "delay", "delay_match", "status_body") \
    + TFTP_FLAGS + ("tftp_abort_after", "tftp_block_delay")


def _patterns(value):
    """Target substrings: true matches every target, "*" as well."""
    if value is True:
        return ("",)
    if not value:
        return ()
    if isinstance(value, str):
        value = [value]
    return tuple("" if v == "*" else str(v) for v in value)


def _text(value):
    return None if value is None else str(value)


class Faults:
    """The fault switches in effect for one request."""

    def __init__(self, raw):
        unknown = sorted(set(raw) - set(FAULT_KEYS))
        if unknown:
            raise ValueError("unknown fault keys: %s" % ", ".join(unknown))
        self.sets = {}
        for key in SET_FAULTS:
            value = raw.get(key) or []
            self.sets[key] = frozenset(str(v) for v in ([value] if isinstance(value, str) else value))
        txt = _text(raw.get("status_txt_body"))
        self.status_txt_body = None if txt is None else txt.encode()
        self.drop = _patterns(raw.get("drop"))
        self.delay = float(raw.get("delay") or 0)
        self.delay_match = _patterns(raw.get("delay_match")) or ("",)
        self.status_body = _text(raw.get("status_body"))
        for key in TFTP_FLAGS:
            setattr(self, key, bool(raw.get(key)))
        abort = raw.get("tftp_abort_after")
        self.tftp_abort_after = None if abort is None or abort is False else int(abort)
        self.tftp_block_delay = float(raw.get("tftp_block_delay") or 0)

    def set_fault(self, set_name):
        """The first set fault that names the set, or None."""
        for key, names in self.sets.items():
            if set_name in names or "*" in names:
                return key
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
