"""The controller's HTTP interface: set tars, the status object and the
restore and firmware upgrade triggers, and the exchange faults: answers that
never come, stall after the headers or drip, redirects, refused triggers and
huge replies."""

import http
import http.server
import json
import re
import socket
import socketserver
import tarfile
import time
import urllib.parse

from .sets import SET_PATHS
from .tar import build_tar

_HTML = "text/html; charset=utf-8"
_HTML_404 = (b"<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>"
             b"<body><h1>404 Not Found</h1><p>The requested page does not exist."
             b"</p></body></html>\n")
_HTML_PAGE = (b"<!DOCTYPE html>\n<html><head><title>TARNEL controller</title></head>"
              b"<body><h1>TARNEL controller</h1><p>Please log in.</p></body></html>\n")
_HTML_500 = (b"<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>"
             b"<body><h1>500 Internal Server Error</h1></body></html>\n")
_STREAM_CHUNK = 64 * 1024
_HOLD_LIMIT = 3600.0  # seconds an unanswered connection is kept at most


def _reason(code):
    try:
        return http.HTTPStatus(code).phrase
    except ValueError:
        return "Unknown"


class Stream:
    """A reply body sent in pieces, never held whole: `head`, then filler
    bytes, then `tail`, `length` bytes in all."""

    def __init__(self, head, length, tail, fill):
        self.head, self.tail, self.fill = head, tail, fill
        self.length = max(length, len(head) + len(tail))

    def __len__(self):
        return self.length

    def chunks(self):
        yield self.head
        left = self.length - len(self.head) - len(self.tail)
        block = self.fill * _STREAM_CHUNK
        while left > 0:
            n = min(left, _STREAM_CHUNK)
            yield block if n == _STREAM_CHUNK else block[:n]
            left -= n
        yield self.tail


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

    def reply_head(self, code, length, content_type, extra=()):
        lines = [
            "HTTP/1.1 %d %s" % (code, _reason(code)),
            "Server: %s" % self.server_version,
            "Content-Type: %s" % content_type,
            "Content-Length: %d" % length,
        ]
        lines.extend("%s: %s" % header for header in extra)
        if self.close_connection:
            lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def reply(self, code, body, content_type, head=False, extra=()):
        payload = self.reply_head(code, len(body), content_type, extra)
        try:
            if isinstance(body, Stream):
                self.wfile.write(payload)
                for chunk in ([] if head else body.chunks()):
                    self.wfile.write(chunk)
            else:
                self.wfile.write(payload if head else payload + body)
        except OSError:  # the client gave up on a long reply
            self.close_connection = True

    def hold(self):
        """Keeps the connection open and silent until the client closes it."""
        self.close_connection = True
        conn = self.connection
        conn.settimeout(1.0)
        deadline = time.monotonic() + _HOLD_LIMIT
        while time.monotonic() < deadline:
            try:
                if not conn.recv(4096):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def drip(self, code, body, content_type, interval):
        """The headers, then the body one byte per `interval` seconds."""
        self.close_connection = True
        data = bytes(body) if not isinstance(body, Stream) else b"".join(body.chunks())
        try:
            self.wfile.write(self.reply_head(code, len(data), content_type))
            for i in range(len(data)):
                time.sleep(interval)
                self.wfile.write(data[i : i + 1])
        except OSError:
            pass


class HttpServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 64
    controller = None  # set before serving

    def server_bind(self):
        # HTTPServer.server_bind would resolve the host name (slow, pointless).
        socketserver.TCPServer.server_bind(self)
        host, port = self.server_address[:2]
        self.server_name = host
        self.server_port = port

    def controller_http(self, handler, head):
        ctl = self.controller
        target = handler.path
        # While the controller restarts after a firmware upgrade, a request
        # gets neither an answer nor a refusal: it waits until the
        # controller is back, or for good when it never comes back.
        held = ctl.wait_until_back()
        if held is None:
            ctl.log.write({"kind": "http", "method": handler.command, "target": target,
                           "fault": "upgrade_never_back"})
            handler.hold()
            return
        faults = ctl.faults.get()
        if faults.latency:
            # The request's way here and the reply's way back, waited here
            # at once; a new connection first pays the round trip of its
            # TCP handshake.
            trips = 1 if getattr(handler, "latency_paid", False) else 2
            handler.latency_paid = True
            time.sleep(2 * faults.latency * trips)
        entry = {"kind": "http", "method": handler.command, "target": target}
        if held:
            entry["held"] = round(held, 3)
        if faults.drops(target):
            entry["fault"] = "drop"
            ctl.log.write(entry)
            handler.close_connection = True
            return
        slow = faults.slow_answer(target)
        if slow == "http_stall":
            entry["fault"] = slow
            ctl.log.write(entry)
            handler.hold()
            return
        location = faults.redirect_for(target)
        if location is not None:
            entry["fault"] = "redirect_to"
        elif faults.loops(target):
            location = _next_hop(handler, target, faults.redirect_hops)
            entry["fault"] = "redirect_loop"
        if location is not None:
            ctl.log.write(entry)
            handler.reply(302, b"", _HTML, head, extra=[("Location", location)])
            return
        delay = faults.delay_for(target)
        huge = faults.huge_for(target)
        split = urllib.parse.urlsplit(target)
        query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        code, body, ctype = 404, _HTML_404, _HTML
        if split.path == "/api/v100/backup.ssi":
            set_name = query.get("config", [""])[0]
            fault = faults.set_fault(set_name)
            if fault:
                entry["fault"] = fault
            if huge is not None and not fault:
                entry["fault"] = "huge_reply"
                code, body, ctype = 200, _huge_set(ctl, set_name, huge), "application/x-tar"
            else:
                code, body, ctype = _backup(ctl, set_name, fault, faults.status_txt_body)
        elif split.path == "/api/v100/status.ssi":
            action = query.get("action", [None])[0]
            ctype = "application/json"
            if action is None:
                code = 200
                if faults.status_body is not None:
                    entry["fault"] = "status_body"
                    body = faults.status_body.encode("utf-8")
                elif huge is not None:
                    entry["fault"] = "huge_reply"
                    body = _huge_status(ctl, huge)
                else:
                    body = json.dumps(ctl.status(), indent=1).encode()
            elif faults.trigger_status:
                # A refusal: the action is not taken, the upload stays.
                entry["fault"] = "trigger_status"
                code = faults.trigger_status
                text = faults.trigger_body
                if text is None:
                    text = json.dumps({"result": "error", "reason": "refused"}) + "\n"
                body = text.encode("utf-8")
            else:
                # Logged before the action, whose own entry follows it.
                ctl.log.write(entry)
                entry = None
                code, result = _action(ctl, action, query)
                body = (json.dumps(result) + "\n").encode()
        if entry is not None:
            if slow is not None:
                entry["fault"] = slow
            ctl.log.write(entry)
        if delay:
            time.sleep(delay)
        if slow == "http_headers_stall":
            try:
                handler.wfile.write(handler.reply_head(code, len(body), ctype))
            except OSError:
                pass
            handler.hold()
        elif slow == "http_drip":
            handler.drip(code, body, ctype, faults.http_drip_interval)
        else:
            handler.reply(code, body, ctype, head)


def _next_hop(handler, target, hops):
    """The Location that sends a redirect loop one hop further, or None once
    `hops` hops are made (None: never). The hop count travels in the target
    as "hop=N"."""
    found = re.search(r"[?&]hop=(\d+)$", target)
    hop = int(found.group(1)) if found else 0
    if hops is not None and hop >= hops:
        return None
    base = target[: found.start()] if found else target
    host = handler.headers.get("Host") or "%s:%d" % handler.server.server_address[:2]
    return "http://%s%s%shop=%d" % (host, base, "&" if "?" in base else "?", hop + 1)


def _huge_status(ctl, size):
    """A status object of `size` bytes: the model name, then a long padding
    text."""
    status = ctl.status()
    head = ('{"model_name": %s, "firmware_version": %s, "padding": "'
            % (json.dumps(status["model_name"]), json.dumps(status["firmware_version"]))).encode()
    return Stream(head, size, b'"}\n', b"x")


def _tar_header(name, size):
    info = tarfile.TarInfo(name)
    info.size, info.mode, info.mtime = size, 0o644, int(time.time())
    info.uname = info.gname = "root"
    return info.tobuf(format=tarfile.USTAR_FORMAT)


def _tar_member(name, data):
    return _tar_header(name, len(data)) + data + b"\0" * (-len(data) % 512)


def _huge_set(ctl, set_name, size):
    """A set tar of about `size` bytes: the set's file, a member of zero
    bytes that makes up the size, and status.txt."""
    path = SET_PATHS.get(set_name)
    data = ctl.device_file(path) if path else None
    before = _tar_member(path, data) if data is not None else b""
    tail = _tar_member("status.txt", ctl.status_txt()) + b"\0" * 1024
    padding = max(size - len(before) - 512 - len(tail), 0) // 512 * 512
    head = before + _tar_header("padding.bin", padding)
    return Stream(head, len(head) + padding + len(tail), tail, b"\0")


def _backup(ctl, set_name, fault, status_txt_body=None):
    if fault == "set_404":
        return 404, _HTML_404, _HTML
    if fault == "set_html":
        return 200, _HTML_PAGE, _HTML
    if fault == "set_http_500":
        return 500, _HTML_500, _HTML
    members = []
    path = SET_PATHS.get(set_name)
    if path is not None:
        data = ctl.device_file(path)
        if fault == "set_without_file":
            members.append(("/etc/config/readme.txt", b"the set's file is missing\n"))
        elif data is not None:
            members.append((path, data))
    if fault != "set_without_status":
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
