"""Runs stbload against stb_sim, the simulated loader, and builds what both should show.

Everything expected here is computed from the test's own inputs (or by srec_cat),
never taken from the tool under test.
"""

import contextlib
import os
import fcntl
import pty
import random
import re
import shutil
import signal
import subprocess
import sys
import struct
import tempfile
import termios
import threading
import time
import tty
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("STBLOAD_BUILD_DIR", REPO / "build"))
STBLOAD = Path(os.environ.get("STBLOAD_BIN", BUILD / "stbload"))
STB_SIM = Path(os.environ.get("STB_SIM_BIN", BUILD / "tools" / "stb_sim"))

# The version, from the one place it is written.
VERSION = re.search(r"project\(stbload VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)

IMAGE_BASE = 0x4000
TRANSFER_LENGTH = 0xFC000
PACKETS = TRANSFER_LENGTH // 16
STREAM_SIZE = PACKETS * 20

# A hung tool fails its test after this long: a whole download through a pty
# takes under a second natively and a few seconds under the sanitizers or Wine.
TOOL_TIMEOUT = 90

BANNER = b"This program is used to download data to STB which has loader.\r\n"
USAGE = b"Usage: cmd port hexfile\r\n"
READY = b"PC ready to download\r\n"
UPDATE_REQUEST = b"Slave machine update request\r\n"
SLAVE_READY = b"Slave ready\r\n"
COMPLETED = b"Download completed\r\n"
SPINNER = b"\\|/-"

# The loader's own lines, as stb_sim sends them in its usual dialogue.
PROMPT = "\\r\\nSTB loader 1.2\\r\\nwant to update? (y/n)\\n"
ERASING = "Erasing flash,please wait.\\n"
ERASED = "Erase done.\\n"


def final_totals(completed, failed, interrupted):
    """The pattern of a station's last line: its totals, the yield, boxes an
    hour (a dash until 10 boxes or 10 minutes) and the time a box takes,
    whichever form fits 80 columns."""
    ended = completed + failed + interrupted
    yield_text = r"; (yield )?%.1f %%" % (100.0 * completed / ended) if ended else ""
    return (r"totals: %d (completed|done), %d failed, %d (interrupted|int\.)%s; (\d+|\xe2\x80\x94)( boxes)?/h"
            r"(; [\d:]+( a |/)box)?\r\n$" % (completed, failed, interrupted, yield_text)).encode()


def spin(index):
    return SPINNER[index & 3:(index & 3) + 1] + b"\b"


def transfer_console():
    """Console text from the start of the transfer to its end."""
    spinner = b"".join(spin(address >> 8) for address in range(IMAGE_BASE, IMAGE_BASE + TRANSFER_LENGTH, 16))
    return b"Slave request data\r\nstart transfer\t" + spinner + b"\b done"


def final_wait_console(byte_count):
    """Console text of the final wait for `byte_count` bytes read, '@' included."""
    return b"\r\nwriting flash, wait...\t" + b"".join(spin(i) for i in range(byte_count // 502))


def transcript(final_bytes=1201, handshake=UPDATE_REQUEST + SLAVE_READY):
    """Whole console text of a completed download."""
    return (BANNER + READY + handshake + transfer_console() + final_wait_console(final_bytes)
            + COMPLETED)


def packet_stream(window):
    """The 64,512 packets for a window of TRANSFER_LENGTH image bytes."""
    assert len(window) == TRANSFER_LENGTH
    parts = []
    for k in range(PACKETS):
        address = IMAGE_BASE + 16 * k
        parts.append(bytes([(address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, 0x10]))
        parts.append(window[16 * k:16 * k + 16])
    return b"".join(parts)


def escaped(data):
    """Bytes as stb_sim's send step takes them."""
    return "".join("\\x%02x" % b for b in data)


def device_line_length(data):
    """How many of `data`'s bytes one device line read takes: up to its LF, or
    255 characters (NUL bytes are dropped and do not count)."""
    kept = 0
    for i, b in enumerate(data):
        if b == 0:
            continue
        kept += 1
        if b == 0x0A or kept == 255:
            return i + 1
    return len(data)


# --- Intel HEX files -------------------------------------------------------

def hex_record(rtype, offset, data):
    body = bytes([len(data), (offset >> 8) & 0xFF, offset & 0xFF, rtype]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % ((-sum(body)) & 0xFF)


def hex_text(blocks, per_record=16, eol="\r\n"):
    """Intel HEX for [(address, bytes)], with type 04 records where the page changes."""
    lines = []
    page = None
    for address, data in blocks:
        i = 0
        while i < len(data):
            at = address + i
            if at >> 16 != page:
                page = at >> 16
                lines.append(hex_record(0x04, 0, [(page >> 8) & 0xFF, page & 0xFF]))
            n = min(per_record, len(data) - i, 0x10000 - (at & 0xFFFF))
            lines.append(hex_record(0x00, at & 0xFFFF, data[i:i + n]))
            i += n
    lines.append(hex_record(0x01, 0, b""))
    return eol.join(lines) + eol


def window_of(blocks):
    """The transferred window as the device should get it, from [(address, bytes)]."""
    window = bytearray(b"\xff" * TRANSFER_LENGTH)
    for address, data in blocks:
        for i, b in enumerate(data):
            if IMAGE_BASE <= address + i < IMAGE_BASE + TRANSFER_LENGTH:
                window[address + i - IMAGE_BASE] = b
    return bytes(window)


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


def srec_window(hex_path, workdir):
    """The transferred window of a hex file as srec_cat makes it."""
    out = Path(workdir) / (Path(hex_path).name + ".ref.bin")
    subprocess.run(["srec_cat", str(hex_path), "-Intel", "-crop", "0x4000", "0x100000",
                    "-offset", "-0x4000", "-fill", "0xFF", "0", str(TRANSFER_LENGTH),
                    "-o", str(out), "-Binary"], check=True)
    data = out.read_bytes()
    return data + b"\xff" * (TRANSFER_LENGTH - len(data))


# --- processes -------------------------------------------------------------

class Sim:
    """stb_sim on a fresh pseudo-terminal, published as a symlink in `workdir`
    (or at `link`); its records go to `workdir`."""

    def __init__(self, workdir, name="com7", script=None, args=(), timeout=120, link=None):
        self.dir = Path(workdir)
        self.link = Path(link) if link is not None else self.dir / name
        self.report_path = self.dir / (name + ".report")
        self.rx_path = self.dir / (name + ".rx")
        self.image_path = self.dir / (name + ".img")
        command = [str(STB_SIM), "--link", str(self.link), "--report", str(self.report_path),
                   "--rx-out", str(self.rx_path), "--image-out", str(self.image_path),
                   "--timeout", str(timeout), *args]
        if script is not None:
            script_path = self.dir / (name + ".script")
            script_path.write_text(script)
            command += ["--script", str(script_path)]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60  # a start that has not crashed is waited for, however loaded the machine
        while not self.link.is_symlink():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("stb_sim did not start")
            time.sleep(0.005)

    def finish(self, timeout=TOOL_TIMEOUT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def wait_mark(self, mark, timeout=60):
        """Waits until the script has passed its `mark NAME` step."""
        path = Path(str(self.link) + "." + mark)
        deadline = time.monotonic() + timeout
        while not path.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("stb_sim never reached mark " + mark)
            time.sleep(0.005)

    def go(self):
        """Lets a script waiting in its `wait_go` step go on."""
        Path(str(self.link) + ".go").touch()

    def report(self):
        pairs = (line.split("=", 1) for line in self.report_path.read_text().split())
        return {key: (value if key == "result" else int(value)) for key, value in pairs}

    def received(self):
        return self.rx_path.read_bytes()

    def image(self):
        return self.image_path.read_bytes()


class Run:
    """Outcome of one stbload process: exit status, stdout and stderr bytes, CPU seconds."""

    def __init__(self, status, out, err, user, system):
        self.status = status
        self.out = out
        self.err = err
        self.cpu = user + system
        self.max_rss_kb = None  # see run_tool_measured


class Started:
    """A running stbload; `chunks` and `err_chunks` grow as it writes."""

    def __init__(self, process, out_fd, err_fd):
        self.process = process
        self.out_fd = out_fd
        self.err_fd = err_fd
        self.chunks = []
        self.err_chunks = []
        self.readers = [threading.Thread(target=drain_output, args=(fd, sink), daemon=True)
                        for fd, sink in ((out_fd, self.chunks), (err_fd, self.err_chunks))]
        for reader in self.readers:
            reader.start()

    def out(self):
        return b"".join(self.chunks)

    def type_keys(self, text):
        """Types `text` at the tool's terminal (started with keys=True)."""
        os.write(self.out_fd, text)

    def wait_for_output(self, text, timeout=90):
        """Waits until stdout holds `text`; fails if it does not come or the tool ends first."""
        deadline = time.monotonic() + timeout
        while text not in self.out():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("stbload never printed %r; it printed %r" % (text, self.out()[-200:]))
            time.sleep(0.005)


def drain_output(fd, sink):
    """Appends what `fd` yields to `sink` until it ends (a pipe's or a terminal's other side closed)."""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO: the terminal's other side closed
            break
        if not chunk:
            break
        sink.append(chunk)


# Every tool started and not yet finished: a test that fails midway leaves
# none of them running (ToolTest.tearDown ends them).
RUNNING = []


def as_in_the_foreground(ignore=()):
    """The command prefix that starts the tool as a program started at a
    terminal: Ctrl+C reaches it even when these tests run in a background job
    of a script, which starts with SIGINT and SIGQUIT ignored (a tool rightly
    keeps a signal ignored that was ignored at its start); the signals named
    in `ignore` (such as "HUP", as nohup does) are ignored. coreutils' env sets
    them, not a preexec_fn: the harness has reader threads, and Python code
    run between fork and exec may deadlock on a lock one of them held."""
    prefix = ["env", "--default-signal=INT,QUIT"]
    if ignore:
        prefix.append("--ignore-signal=" + ",".join(ignore))
    return prefix


def start_tool(args, env=None, terminal=False, program=None, cwd=None, err_terminal=False, columns=80, rows=24,
               ignore_signals=(), keys=False):
    """Starts stbload with stdout on a pipe or on a raw pseudo-terminal, and
    stderr on a pipe of its own, or on a terminal: the same one as stdout when
    both are asked for, else one of its own (`columns` wide). With `keys`,
    standard input is stdout's terminal too, and `type_keys` types on it.

    `program` is the command that runs the tool (default: the native stbload),
    for example [wine, "stbload.exe"]. In `env`, a value of None removes that
    variable from the tool's environment. A terminal is `columns` by `rows`.
    """
    environment = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    command = [*as_in_the_foreground(ignore_signals), *(program or [str(STBLOAD)]), *args]

    def terminal_pair():
        master, slave = pty.openpty()
        tty.setraw(slave)  # keep "\n" as it is: the transcript must be byte-exact
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        return master, slave

    out_fd, out_write = terminal_pair() if terminal else os.pipe()
    if err_terminal and terminal:
        err_fd, err_write = os.open("/dev/null", os.O_RDONLY), os.dup(out_write)
    else:
        err_fd, err_write = terminal_pair() if err_terminal else os.pipe()
    stdin = subprocess.DEVNULL
    if keys:
        assert terminal, "keys are typed on stdout's terminal"
        # Input as a terminal starts out: echo and line editing on (the output stays raw, byte for byte).
        attributes = termios.tcgetattr(out_write)
        attributes[3] |= termios.ECHO | termios.ICANON | termios.ISIG
        termios.tcsetattr(out_write, termios.TCSANOW, attributes)
        stdin = out_write
    process = subprocess.Popen(command, stdout=out_write, stderr=err_write, stdin=stdin,
                               env=environment, cwd=cwd)
    os.close(out_write)
    os.close(err_write)
    RUNNING.append(process)
    return Started(process, out_fd, err_fd)


def finish_tool(started, timeout=TOOL_TIMEOUT):
    process = started.process
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid != 0:
            break
        if time.monotonic() > deadline:
            os.kill(process.pid, signal.SIGKILL)  # not process.kill(): it may reap the child itself
            os.wait4(process.pid, 0)
            process.returncode = -signal.SIGKILL
            if process in RUNNING:
                RUNNING.remove(process)
            raise AssertionError("stbload did not finish within %d s" % timeout)
        time.sleep(0.01)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process in RUNNING:
        RUNNING.remove(process)
    for reader in started.readers:
        reader.join(10)
    os.close(started.out_fd)
    os.close(started.err_fd)
    return Run(process.returncode, started.out(), b"".join(started.err_chunks), usage.ru_utime, usage.ru_stime)


def run_tool(args, env=None, terminal=False, timeout=TOOL_TIMEOUT, program=None, cwd=None, err_terminal=False,
             columns=80):
    return finish_tool(start_tool(args, env, terminal, program, cwd, err_terminal, columns), timeout)


def run_tool_measured(args, env=None, timeout=TOOL_TIMEOUT):
    """run_tool, also giving the tool's own peak resident size. (wait4's figure
    for a child of this script includes this script's size from before the exec,
    so a small launcher, GNU time, measures instead.)"""
    with tempfile.NamedTemporaryFile("r", prefix="stbload-rss-") as figure:
        run = run_tool(args, env, timeout=timeout,
                       program=["/usr/bin/time", "-f", "%M", "-o", figure.name, str(STBLOAD)])
        run.max_rss_kb = int(figure.read().split()[-1])
    return run


def port_env(sim, number=7):
    return {"STBLOAD_COM%d" % number: str(sim.link)}


class ToolTest(unittest.TestCase):
    """A test case with its own scratch directory and clean-up of simulators."""

    # The programs the tests of a class run; all must have been built.
    REQUIRED = (STBLOAD, STB_SIM)

    def setUp(self):
        missing = [str(path) for path in self.REQUIRED if not Path(path).exists()]
        if missing:
            self.fail("build first: %s missing" % " and ".join(missing))
        self.dir = Path(tempfile.mkdtemp(prefix="stbload-test-"))
        self.sims = []

    def tearDown(self):
        while RUNNING:
            process = RUNNING.pop()
            if process.poll() is None:
                process.kill()
                process.wait()
        for sim in self.sims:
            sim.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def sim(self, **kwargs):
        sim = Sim(self.dir, **kwargs)
        self.sims.append(sim)
        return sim

    def write_hex(self, name, text):
        path = self.dir / name
        path.write_text(text)
        return path

    def assertSameBytes(self, got, want, what="bytes"):
        """Like assertEqual, but names the first difference instead of dumping megabytes."""
        if got == want:
            return
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        self.fail("%s differ: sizes %d and %d, first difference at %d: got %r, want %r"
                  % (what, len(got), len(want), at, got[at:at + 24], want[at:at + 24]))


@contextlib.contextmanager
def read_only(folder):
    """`folder` cannot be written while the block runs, by root too (a
    read-only bind mount); for another user, its mode is enough."""
    if os.geteuid() != 0:
        mode = folder.stat().st_mode
        folder.chmod(0o555)
        try:
            yield
        finally:
            folder.chmod(mode)
        return
    subprocess.run(["mount", "--bind", str(folder), str(folder)], check=True)
    try:
        subprocess.run(["mount", "-o", "remount,ro,bind", str(folder)], check=True)
        yield
    finally:
        subprocess.run(["umount", str(folder)], check=True)


# The exit status with which a suite tells ctest it was skipped (SKIP_RETURN_CODE).
SKIP_STATUS = 77


def main_unless_missing(what, missing, required_variable):
    """Runs the suite's tests, unless some of what it needs is `missing`: then
    it reports itself skipped, or failed when `required_variable` is "1" in the
    environment (as in CI, where a skip would hide a stage that never ran)."""
    if missing:
        if os.environ.get(required_variable) == "1":
            print("FAILED: the %s tests cannot run: missing %s" % (what, "; ".join(missing)))
            sys.exit(1)
        print("skipped: missing " + "; ".join(missing))
        sys.exit(SKIP_STATUS)
    unittest.main()
