"""The request log: one JSON object a line, appended and flushed per line."""

import json
import sys
import threading


class RequestLog:
    def __init__(self, path, echo=False):
        self.lock = threading.Lock()
        self.echo = echo
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, entry):
        line = json.dumps(entry) + "\n"
        with self.lock:
            if self.file:
                self.file.write(line)
                self.file.flush()
            if self.echo:
                sys.stderr.write(line)
                sys.stderr.flush()

    def close(self):
        with self.lock:
            if self.file:
                self.file.close()
                self.file = None


def read_log(path, kind=None):
    """The entries of a request log file ([] when it does not exist), only
    those of `kind` when given."""
    try:
        with open(path, "r", encoding="utf-8") as fh:
            entries = [json.loads(line) for line in fh if line.strip()]
    except FileNotFoundError:
        return []
    return [e for e in entries if kind is None or e.get("kind") == kind]
