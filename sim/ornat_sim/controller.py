"""The controller's state: its identity, its files in the state folder, and
the pending upload that a restore or a firmware upgrade consumes."""

import hashlib
import json
import math
import os
import pathlib
import random
import threading
import time

from .files import (DEFAULT_TYPES, build_channel_file, build_generic_file, build_inputs_file,
                    channel_file_layout, inputs_file_version)
from .firmware import build_firmware_image, read_firmware_info
from .sets import MODELS, PATH_SETS, SET_PATHS, model_channels
from .tar import TarError, parse_tar

_GENERIC_SIZES = {
    "systemconfig": 1024, "bastimeout": 32, "schedules": 2048, "schedulesastro": 512,
    "rlc": 1024, "commanders": 1536, "system_ui32": 256, "dalv": 128, "daeu": 256,
    "daeutr": 128, "daeutc": 128, "dacdlcm": 256, "dacdlcr": 256, "rlcnamenvp": 512,
    "cmdrnamenvp": 512,
}
FLASH_SIZE = 0x200000
MAX_UPLOAD = 64 * 1024 * 1024


def write_atomic(path, data):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(".%s.tmp%d" % (path.name, threading.get_ident()))
    with open(tmp, "wb") as fh:
        fh.write(data)
    os.replace(tmp, path)


def save_identity(state, identity):
    write_atomic(pathlib.Path(state) / "controller.json",
                 (json.dumps(identity, indent=2) + "\n").encode())


def default_identity(model, firmware, state_dir):
    digest = hashlib.sha256(("%s|%s" % (model, os.path.abspath(state_dir))).encode()).digest()
    serial = "TN%d%08d" % (model_channels(model), int.from_bytes(digest[:4], "big") % 100000000)
    return {
        "model_name": model,
        "firmware_version": firmware,
        "serial_number": serial,
        "mac": "00:1e:c0:%02x:%02x:%02x" % (digest[4], digest[5], digest[6]),
        "hostname": "tarnel-%s" % serial[-4:],
        "build_date": "2024-05-14 10:22:31",
        "license": "standard",
        "license_number": "LN-%s" % serial[-6:],
    }


def load_identity(state, model=None, firmware=None):
    """Built-in defaults, overridden by the state's controller.json,
    overridden by the model and firmware given."""
    identity = default_identity(model or "TARNEL-2", firmware or "1.3.0", state)
    try:
        with open(os.path.join(state, "controller.json"), "r", encoding="utf-8") as fh:
            stored = json.load(fh)
        if isinstance(stored, dict):
            identity.update({k: str(v) for k, v in stored.items()})
    except (FileNotFoundError, ValueError):
        pass
    if model:
        identity["model_name"] = model
    if firmware:
        identity["firmware_version"] = firmware
    return identity


def create_default_state(state, identity):
    """Fills an empty state folder with the files of a controller of the
    identity's model and firmware."""
    state = pathlib.Path(state)
    model = identity["model_name"]
    firmware = identity["firmware_version"]

    def put(set_name, size=None, data=None):
        if data is None:
            data = build_generic_file(set_name, size)
        write_atomic(state / SET_PATHS[set_name].lstrip("/"), data)

    for name, size in _GENERIC_SIZES.items():
        put(name, size)
    layout = channel_file_layout(firmware)
    inputs_version = inputs_file_version(firmware)
    for c in range(1, model_channels(model) + 1):
        put("dali%d" % c, data=build_channel_file(layout, c))
        put("cd%d" % c, data=build_inputs_file(inputs_version, c))
        put("daincd%d" % c, 256)
        for n, dtype in enumerate(DEFAULT_TYPES):
            if dtype in (1, 8):
                put("dali_dt%d_%d_%d" % (dtype, c, n), 48 if dtype == 1 else 96)
    for n in range(3):
        put("views%d" % n, 768)
    rng = random.Random("ornat-sim:flashfs:" + identity["serial_number"])
    write_atomic(state / "flashfs.bin", rng.randbytes(FLASH_SIZE))
    write_atomic(state / "flashraw.bin",
                 build_firmware_image(model, firmware, FLASH_SIZE, seed=identity["serial_number"]))
    save_identity(state, identity)


def state_is_populated(state, ignore=()):
    try:
        entries = os.listdir(state)
    except FileNotFoundError:
        return False
    return any(e not in ignore and e != "faults.json" for e in entries)


def _read(path):
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
        return None


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
        # While a firmware upgrade restarts the controller: the monotonic
        # time it answers again (math.inf: never).
        self.back_at = None
        self.reported_model = None  # the model the status names after a restart, when another

    def device_file(self, device_path):
        """Bytes of a configuration file, or None. Only known device paths
        reach this, so the path always stays inside the state folder."""
        return _read(os.path.join(self.state, device_path.lstrip("/")))

    def flash_file(self, name):
        return _read(os.path.join(self.state, name))

    def status_txt(self):
        with self.lock:
            if self._status_txt is None:
                ident = self.identity
                self._status_txt = (json.dumps(
                    {k: ident[k] for k in ("model_name", "firmware_version", "serial_number", "mac")},
                    indent=2) + "\n").encode()
            return self._status_txt

    def status(self):
        ident = self.identity
        channels = model_channels(ident["model_name"])
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
            "uptime": str(int(time.monotonic() - self.started)),
        }
        for c in range(1, 5):
            status["dali_channel_%d" % c] = "ok" if c <= channels else "not present"
        status["ip"] = self.address
        status["bacnet_ip"] = "%s:47808" % self.address
        status["session_id"] = self.session_id
        status["username"] = "admin"
        if self.reported_model is not None:
            status["model_name"] = self.reported_model
            if not self.reported_model:
                del status["model_name"]
        return status

    def store_upload(self, name, data):
        with self.lock:
            self.pending = data
        write_atomic(pathlib.Path(self.state) / "last_upload.bin", data)
        self.log.write({"kind": "upload", "file": name, "bytes": len(data),
                        "sha256": hashlib.sha256(data).hexdigest()})

    def take_pending(self):
        with self.lock:
            data, self.pending = self.pending, None
            return data

    def restore(self):
        """Writes every member of the pending upload that is named by a
        known device path; returns the logged entry."""
        data = self.take_pending()
        entry = {"kind": "restore", "ok": False, "reason": "no pending upload", "applied": [], "ignored": []}
        if data is not None:
            try:
                members = parse_tar(data)
            except TarError as err:
                entry["reason"] = "not a tar: %s" % err
            else:
                entry = {"kind": "restore", "ok": True, "applied": [], "ignored": []}
                for name, kind, content in members:
                    if kind in ("0", "7") and name in PATH_SETS:
                        write_atomic(pathlib.Path(self.state) / name.lstrip("/"), content)
                        entry["applied"].append(name)
                    else:
                        entry["ignored"].append(name)
        self.log.write(entry)
        return entry

    def restarting(self):
        back_at = self.back_at
        return back_at is not None and time.monotonic() < back_at

    def wait_until_back(self):
        """Blocks while the controller restarts: the seconds waited (0 when
        it was not restarting), or None when it never comes back."""
        started = None
        while True:
            back_at = self.back_at
            if back_at == math.inf:
                return None
            now = time.monotonic()
            if back_at is None or now >= back_at:
                return 0.0 if started is None else now - started
            if started is None:
                started = now
            time.sleep(min(back_at - now, 0.05))

    def firmware_upgrade(self, digest, size):
        """Adopts the pending upload's firmware version when the upload
        matches the digest and size and names a known model, and restarts:
        silent for the upgrade_quiet seconds, then back with the new version
        (with the old one under upgrade_back_old, never under
        upgrade_never_back). Returns the logged entry."""
        data = self.take_pending()
        reason = None
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
        if reason is not None:
            entry = {"kind": "firmware", "accepted": False, "reason": reason}
        else:
            faults = self.faults.get()
            back = "never" if faults.upgrade_never_back else "old" if faults.upgrade_back_old else "new"
            with self.lock:
                self.reported_model = faults.upgrade_back_model
                if back == "new":
                    self.identity = dict(self.identity, firmware_version=info[1])
                    self._status_txt = None
                identity = self.identity
                # Silent from now on: the reply to the apply request is the
                # last word before the restart.
                self.back_at = math.inf if back == "never" else time.monotonic() + faults.upgrade_quiet
            save_identity(self.state, identity)
            entry = {"kind": "firmware", "accepted": True, "version": info[1],
                     "quiet": faults.upgrade_quiet, "back": back}
        self.log.write(entry)
        return entry
