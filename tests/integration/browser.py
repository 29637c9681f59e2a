"""Headless Chromium, driven through the DevTools protocol on a pipe
(--remote-debugging-pipe: commands in on fd 3, answers out on fd 4, each
message JSON ended by a NUL byte)."""

import base64
import fcntl
import json
import os
import shutil
import struct
import subprocess
import tempfile
import time

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--remote-debugging-pipe"]


def high_fd(fd):
    """`fd` again at 10 or above, out of the way of 3 and 4."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return moved


class Browser:

    def __init__(self, width, height):
        chromium = shutil.which("chromium")
        if chromium is None:
            raise AssertionError("chromium is missing: install it (scripts/install-deps test)")
        self.profile = tempfile.mkdtemp(prefix="stbload-chromium-")
        to_browser, commands = (high_fd(fd) for fd in os.pipe())
        answers, from_browser = (high_fd(fd) for fd in os.pipe())
        # bash (dash takes single-digit descriptors only) moves the pipe's ends to 3 and 4 and then is Chromium.
        move = 'exec 3<&%d 4>&%d %d<&- %d>&-; exec "$0" "$@"' % (to_browser, from_browser, to_browser, from_browser)
        self.process = subprocess.Popen(
            ["bash", "-c", move, chromium, *FLAGS, "--user-data-dir=" + self.profile,
             "--window-size=%d,%d" % (width, height), "about:blank"],
            pass_fds=(to_browser, from_browser), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self.commands = commands
        self.answers = answers
        self.buffer = b""
        self.next_id = 0
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False}, self.session)
        self.send("Page.enable", {}, self.session)

    def send(self, method, params, session=None, timeout=60):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self.buffer:
                if time.monotonic() > deadline:
                    raise AssertionError("chromium did not answer %s" % method)
                chunk = os.read(self.answers, 1 << 16)
                if not chunk:
                    raise AssertionError("chromium ended")
                self.buffer += chunk
            text, _, self.buffer = self.buffer.partition(b"\0")
            answer = json.loads(text)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise AssertionError("%s: %s" % (method, answer["error"]))
                return answer["result"]

    def open(self, url):
        self.send("Page.navigate", {"url": url}, self.session)

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True, "awaitPromise": True},
                           self.session)
        if "exceptionDetails" in result:
            raise AssertionError("the page's script failed: %r" % result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, expression, timeout=90):
        """Waits until `expression` is true in the page, looking every 50 ms."""
        deadline = time.monotonic() + timeout
        while not self.evaluate(expression):
            if time.monotonic() > deadline:
                raise AssertionError("the page never had %s" % expression)
            time.sleep(0.05)

    def screenshot(self):
        """The page as PNG bytes, and their width and height."""
        png = base64.b64decode(self.send("Page.captureScreenshot", {"format": "png"}, self.session)["data"])
        width, height = struct.unpack(">II", png[16:24])
        return png, width, height

    def close(self):
        try:
            self.send("Browser.close", {}, timeout=10)
        except AssertionError:
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)
        os.close(self.answers)
        shutil.rmtree(self.profile, ignore_errors=True)
