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
# Keys of the exchange faults: slow or refusing HTTP answers, redirects,
# huge replies and TFTP reads that break their own size. The first four name
# target substrings (true: every target).
EXCHANGE_FAULTS = ("http_stall", "http_headers_stall", "http_drip", "redirect_loop",
                   "http_drip_interval", "redirect_hops", "redirect_to", "redirect_match",
                   "trigger_status", "trigger_body", "huge_reply", "huge_match",
                   "tftp_short_after", "tftp_big_block")
# Keys of a remote controller's link and TFTP limits: a delay per packet in
# each direction (HTTP and TFTP), TFTP packet loss (a probability, with a
# seed), the largest block size granted and a controller that falls silent.
LINK_FAULTS = ("latency", "tftp_loss", "tftp_loss_seed", "tftp_max_blksize", "tftp_stop_after")
FAULT_KEYS = SET_FAULTS + ("status_txt_body", "drop", "delay", "delay_match", "status_body") \
    + TFTP_FLAGS + ("tftp_abort_after", "tftp_block_delay") + EXCHANGE_FAULTS + LINK_FAULTS

# Keys of the restart that follows an accepted firmware apply request: how
# many seconds the controller is silent (default 3), whether it comes back
# with its old version, or never, and the model its status names afterwards.
RESTART_FAULTS = ("upgrade_quiet", "upgrade_back_old", "upgrade_never_back", "upgrade_back_model")
FAULT_KEYS += RESTART_FAULTS


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


def _number(value):
    """An integer, or None for a missing or false value."""
    return None if value is None or value is False else int(value)


class Faults:
    """The fault switches in effect for one request."""

    def __init__(self, raw):
        unknown = sorted(set(raw) - set(FAULT_KEYS))
        if unknown:
            raise ValueError("unknown fault keys: %s" % ", ".join(unknown))
        self._restart_faults(raw)
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
        self._exchange_faults(raw)
        self._link_faults(raw)

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

    def _link_faults(self, raw):
        self.latency = float(raw.get("latency") or 0)
        self.tftp_loss = float(raw.get("tftp_loss") or 0)
        if not 0 <= self.tftp_loss <= 1 or self.latency < 0:
            raise ValueError("latency must be at least 0 and tftp_loss from 0 to 1")
        self.tftp_loss_seed = int(raw.get("tftp_loss_seed") or 0)
        self.tftp_max_blksize = _number(raw.get("tftp_max_blksize"))
        self.tftp_stop_after = _number(raw.get("tftp_stop_after"))

    def _exchange_faults(self, raw):
        for key in ("http_stall", "http_headers_stall", "http_drip", "redirect_loop"):
            setattr(self, key, _patterns(raw.get(key)))
        self.http_drip_interval = float(raw.get("http_drip_interval") or 2.0)
        self.redirect_hops = _number(raw.get("redirect_hops"))
        self.redirect_to = _text(raw.get("redirect_to"))
        self.redirect_match = _patterns(raw.get("redirect_match")) or ("",)
        self.trigger_status = _number(raw.get("trigger_status"))
        self.trigger_body = _text(raw.get("trigger_body"))
        self.huge_reply = _number(raw.get("huge_reply"))
        self.huge_match = _patterns(raw.get("huge_match")) or ("",)
        self.tftp_short_after = _number(raw.get("tftp_short_after"))
        self.tftp_big_block = _number(raw.get("tftp_big_block"))

    def slow_answer(self, target):
        """"http_stall", "http_headers_stall", "http_drip" or None."""
        for key in ("http_stall", "http_headers_stall", "http_drip"):
            if any(p in target for p in getattr(self, key)):
                return key
        return None

    def redirect_for(self, target):
        """The Location of a redirect to another place, or None."""
        if self.redirect_to is not None and any(p in target for p in self.redirect_match):
            return self.redirect_to
        return None

    def loops(self, target):
        return any(p in target for p in self.redirect_loop)

    def huge_for(self, target):
        """The size of a huge reply for the target, or None."""
        if self.huge_reply is not None and any(p in target for p in self.huge_match):
            return self.huge_reply
        return None

    def _restart_faults(self, raw):
        quiet = raw.get("upgrade_quiet")
        self.upgrade_quiet = 3.0 if quiet is None else float(quiet)
        if self.upgrade_quiet < 0:
            raise ValueError("upgrade_quiet must be at least 0")
        self.upgrade_back_old = bool(raw.get("upgrade_back_old"))
        self.upgrade_back_model = _text(raw.get("upgrade_back_model"))
        self.upgrade_never_back = bool(raw.get("upgrade_never_back"))


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
