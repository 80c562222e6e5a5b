"""The controller's HTTP interface: set tars, the status object and the
restore and firmware upgrade triggers."""

import http.server
import json
import socketserver
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
        code, body, ctype = 404, _HTML_404, _HTML
        if split.path == "/api/v100/backup.ssi":
            set_name = query.get("config", [""])[0]
            fault = faults.set_fault(set_name)
            if fault:
                entry["fault"] = fault
            code, body, ctype = _backup(ctl, set_name, fault, faults.status_txt_body)
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
                # Logged before the action, whose own entry follows it.
                ctl.log.write(entry)
                entry = None
                code, result = _action(ctl, action, query)
                body = (json.dumps(result) + "\n").encode()
        if entry is not None:
            ctl.log.write(entry)
        if delay:
            time.sleep(delay)
        handler.reply(code, body, ctype, head)


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
