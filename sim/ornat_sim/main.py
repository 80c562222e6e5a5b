"""The simulator's command line: binds HTTP and TFTP on one port number,
prints "listening on ADDRESS:PORT" and serves until SIGTERM or SIGINT."""

import argparse
import json
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading

from .controller import Controller, create_default_state, load_identity, state_is_populated
from .faults import TFTP_FLAGS, FaultSource, Faults
from .http_server import HttpHandler, HttpServer
from .request_log import RequestLog
from .tftp_server import TftpServer

# Fault switches with options of their own, besides --faults JSON.
_SET_LIST_OPTIONS = ("set_404", "set_html", "set_truncated", "set_corrupt")


def bind_servers(address, port):
    """An HTTP server on TCP and a UDP socket on one port number; port 0
    picks a number that is free for both."""
    family = socket.AF_INET6 if ":" in address else socket.AF_INET

    class Server(HttpServer):
        address_family = family

    last_error = None
    for _ in range(200):
        httpd = Server((address, port), HttpHandler, bind_and_activate=False)
        udp = None
        try:
            httpd.server_bind()
            httpd.server_activate()
            udp = socket.socket(family, socket.SOCK_DGRAM)
            udp.bind((address, httpd.server_address[1]))
        except OSError as err:
            if udp is not None:
                udp.close()
            httpd.server_close()
            if port:
                raise
            last_error = err
            continue
        return httpd, udp, httpd.server_address[1], family
    raise OSError("no port free for both TCP and UDP: %s" % last_error)


def _option(key):
    return "--fault-" + key.replace("_", "-")


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Simulated TARNEL DALI controller (HTTP and TFTP on one port).",
        epilog="See sim/README.md and the ornat_sim package docstring for the fault keys "
               "and the request log.")
    p.add_argument("--address", default="127.0.0.1", help="address to listen on")
    p.add_argument("--port", type=int, default=0, help="TCP and UDP port (0: pick a free one)")
    p.add_argument("--model", help="model name (default TARNEL-2)")
    p.add_argument("--firmware", help="firmware version (default 1.3.0)")
    p.add_argument("--state", help="state folder (default: a temporary folder)")
    p.add_argument("--log", help="request log file (JSON lines, appended)")
    p.add_argument("--verbose", action="store_true", help="echo the request log to stderr")
    p.add_argument("--faults", help="fault switches as a JSON object")
    for key in _SET_LIST_OPTIONS:
        p.add_argument(_option(key), action="append", default=[], metavar="SET")
    p.add_argument("--fault-drop", action="append", default=[], metavar="SUBSTRING",
                   help="drop HTTP requests whose target contains it ('*': all)")
    p.add_argument("--fault-delay", type=float, metavar="SECONDS")
    p.add_argument("--fault-status-body", metavar="TEXT")
    for key in TFTP_FLAGS:
        p.add_argument(_option(key), action="store_true")
    p.add_argument("--fault-tftp-abort-after", type=int, metavar="BYTES")
    return p.parse_args(argv)


def start_faults(args):
    """The start-up fault switches: the --fault-* options, overlaid by --faults."""
    faults = {}
    for key in _SET_LIST_OPTIONS + ("drop",):
        if getattr(args, "fault_" + key):
            faults[key] = getattr(args, "fault_" + key)
    for key in ("delay", "status_body", "tftp_abort_after"):
        if getattr(args, "fault_" + key) is not None:
            faults[key] = getattr(args, "fault_" + key)
    for key in TFTP_FLAGS:
        if getattr(args, "fault_" + key):
            faults[key] = True
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


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    faults = start_faults(args)
    temporary = args.state is None
    state = tempfile.mkdtemp(prefix="tarnel-sim-") if temporary else os.path.abspath(args.state)
    os.makedirs(state, exist_ok=True)
    log_name = os.path.basename(args.log) if args.log else None
    if not state_is_populated(state, ignore=(log_name,) if log_name else ()):
        create_default_state(state, load_identity(state, args.model, args.firmware))
    identity = load_identity(state, args.model, args.firmware)

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
    signal.signal(signal.SIGTERM, lambda signum, frame: stop.set())
    signal.signal(signal.SIGINT, lambda signum, frame: stop.set())

    shown = "[%s]" % args.address if family == socket.AF_INET6 else args.address
    log.write({"kind": "start", "address": args.address, "port": port, "state": state,
               "model_name": identity["model_name"],
               "firmware_version": identity["firmware_version"]})
    sys.stdout.write("listening on %s:%d\n" % (shown, port))
    sys.stdout.flush()
    if temporary:
        sys.stderr.write("state folder: %s (removed at exit)\n" % state)
        sys.stderr.flush()

    threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    threading.Thread(target=TftpServer(controller, udp, family, args.address).serve,
                     daemon=True).start()
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
