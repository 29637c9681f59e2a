"""Small HTTP clients for the station's web server: plain requests (with any
Host, head or body), and a Server-Sent Events reader."""

import json
import re
import socket
import time

SERVING = re.compile(rb"serving http://([0-9.]+):(\d+)/")


def served_port(started, timeout=60):
    """The port a station started with --serve 127.0.0.1:0 says it serves."""
    deadline = time.monotonic() + timeout
    while True:
        found = SERVING.search(started.out())
        if found:
            return int(found.group(2))
        if started.process.poll() is not None or time.monotonic() > deadline:
            raise AssertionError("the station never said where it serves: %r" % started.out()[-300:])
        time.sleep(0.01)


def request(port, method, path, host=None, headers=None, body=b"", raw_head=None, timeout=30):
    """One request on a connection of its own; returns (status, headers, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        if raw_head is None:
            lines = ["%s %s HTTP/1.1" % (method, path)]
            if host is not False:
                lines.append("Host: %s" % (host or "127.0.0.1:%d" % port))
            for name, value in (headers or {}).items():
                lines.append("%s: %s" % (name, value))
            if body:
                lines.append("Content-Length: %d" % len(body))
            lines.append("Connection: close")
            raw_head = ("\r\n".join(lines) + "\r\n\r\n").encode()
        conn.sendall(raw_head + body)
        answer = b""
        while True:
            try:
                chunk = conn.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            answer += chunk
    head, _, content = answer.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in header_lines:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return int(status_line.split()[1]), fields, content


def get_json(port, path, **kwargs):
    status, fields, body = request(port, "GET", path, **kwargs)
    return status, json.loads(body)


class EventStream:
    """GET /api/events, read event by event."""

    def __init__(self, port, last_event_id=None):
        self.conn = socket.create_connection(("127.0.0.1", port), timeout=60)
        extra = "" if last_event_id is None else "Last-Event-ID: %s\r\n" % last_event_id
        self.conn.sendall(("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\n" % (port, extra)).encode())
        self.buffer = b""
        head = self._until(b"\r\n\r\n")
        self.status = int(head.split()[1])
        self.head = head.decode("latin-1")

    def _until(self, mark):
        while mark not in self.buffer:
            chunk = self.conn.recv(65536)
            if not chunk:
                raise AssertionError("the stream ended")
            self.buffer += chunk
        text, _, self.buffer = self.buffer.partition(mark)
        return text

    def next(self):
        """The next event as (id, data as JSON); comments and retry lines are skipped."""
        while True:
            block = self._until(b"\n\n").decode()
            fields = dict(line.split(": ", 1) for line in block.split("\n") if ": " in line and not line.startswith(":"))
            if "data" in fields:
                return int(fields["id"]), json.loads(fields["data"])

    def close(self):
        self.conn.close()
