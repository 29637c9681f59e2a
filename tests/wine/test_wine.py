"""The Windows build, stbload.exe, under Wine against stb_sim: whole downloads,
the failures before the dialogue, and a device that goes away.

One throw-away Wine prefix serves the whole run. COM7 and COM12 are mapped in
its registry (HKLM\\Software\\Wine\\Ports) to links in the run's folder, where
each test's simulated loader publishes its pseudo-terminal: Wine then lists
them as a Windows system would (HARDWARE\\DEVICEMAP\\SERIALCOMM) and opens them
for \\\\.\\COMN. Run directly, this prints "skipped: ..." and exits with
SKIP_STATUS when Wine, the cross compiler or the .exe is missing (or fails
instead, when STBLOAD_WINE_REQUIRED=1).

Environment: STBLOAD_WIN_EXE (default build-win/stbload.exe), STB_SIM_BIN.
"""

import csv
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "integration"))

import postgres  # noqa: E402
from web_client import get_json, request, served_port  # noqa: E402

from harness import (BANNER, ERASED, ERASING, PROMPT, READY, REPO, STB_SIM, STREAM_SIZE, TOOL_TIMEOUT, USAGE,  # noqa: E402
                     ToolTest, final_totals, final_wait_console, finish_tool, hex_text, packet_stream, random_bytes,
                     main_unless_missing, run_tool, start_tool, transcript, transfer_console, window_of)

WIN_EXE = Path(os.environ.get("STBLOAD_WIN_EXE", REPO / "build-win" / "stbload.exe"))
# Built next to it by the same cross build.
HOLD_FILE_EXE = WIN_EXE.parent / "hold_file.exe"
PORT_ERROR_TABLE_EXE = WIN_EXE.parent / "port_error_table.exe"
CROSS_COMPILERS = ("x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-g++")


def first_program(*candidates):
    """The first of `candidates` (absolute paths or names on PATH) that exists."""
    for candidate in candidates:
        if os.path.isabs(candidate):
            if os.access(candidate, os.X_OK):
                return candidate
        else:
            found = shutil.which(candidate)
            if found:
                return found
    return None


# Debian's wine64 package has its launcher outside PATH; the `wine` package adds
# a `wine` command that picks it.
WINE = first_program("wine64", "/usr/lib/wine/wine64", "wine")
WINESERVER = first_program("/usr/lib/wine/wineserver64", "wineserver64", "wineserver")


def missing_prerequisites():
    missing = []
    if WINE is None:
        missing.append("Wine (no wine64 or wine command)")
    if WINESERVER is None:
        missing.append("Wine (no wineserver)")
    if first_program(*CROSS_COMPILERS) is None:
        missing.append("the mingw-w64 cross compiler (%s)" % CROSS_COMPILERS[0])
    for exe in (WIN_EXE, HOLD_FILE_EXE, PORT_ERROR_TABLE_EXE):
        if not exe.exists():
            missing.append("%s (build it with cmake/mingw-w64-x86_64.cmake)" % exe)
    if not STB_SIM.exists():
        missing.append(str(STB_SIM))
    missing += postgres.missing_tools()
    return missing


# The COM ports the prefix's registry maps to simulated loaders.
MAPPED_PORTS = (7, 12)

# The loader's usual handshake, up to where the packet stream starts.
HANDSHAKE = ["wait_config", "send " + PROMPT, "expect_y", "send " + ERASING, "send " + ERASED]


def windows_path(path):
    """`path` as a Windows program sees it through Wine's Z: drive."""
    return "Z:" + str(path).replace("/", "\\")


class WinePrefix:
    """A fresh prefix with its own wineserver, kept for the whole run."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="stbload-wine-"))
        self.path = self.root / "prefix"
        self.path.mkdir()
        self.dosdevices = self.path / "dosdevices"
        self.log_path = self.root / "wine.log"
        (self.root / "tmp").mkdir()
        self.env = {
            "WINEPREFIX": str(self.path),
            "TMPDIR": str(self.root / "tmp"),  # the server's socket and lock go there, not in /tmp
            "WINESERVER": WINESERVER,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",  # no .NET or HTML engine installers
            "DISPLAY": None,
            "WAYLAND_DISPLAY": None,
        }
        environment = {name: value for name, value in os.environ.items() if name not in self.env}
        environment.update({name: value for name, value in self.env.items() if value is not None})
        self.environment = environment
        self.server = None
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        self.ports = self.root / "ports"
        self.ports.mkdir()
        self.start_server()
        started = time.monotonic()
        self.wine("wineboot", "--init", timeout=300)
        for port in MAPPED_PORTS:
            self.wine("reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM%d" % port, "/d",
                      str(self.ports / ("com%d" % port)), "/f")
        # The mapping is read when the server starts.
        self.stop_server()
        self.start_server()
        self.boot_seconds = time.monotonic() - started
        if not self.dosdevices.is_dir():
            raise RuntimeError("wineboot made no prefix; see %s" % self.log_path)

    def wine(self, *args, timeout=60):
        with open(self.log_path, "ab") as log:
            subprocess.run([WINE, *args], env=self.environment, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                           check=True, timeout=timeout)

    def start_server(self):
        with open(self.log_path, "ab") as log:
            # The server comes first, in the foreground of this process's
            # session: one that a tool starts later would take the tool's
            # pseudo-terminal as its controlling terminal and flood the log
            # when the far end closes. Its process id also gives its CPU time.
            self.server = subprocess.Popen([WINESERVER, "--foreground", "--persistent"], env=self.environment,
                                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + 30
        while not list((self.root / "tmp").glob("wine-*/server-*/socket")):
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("wineserver did not start; see %s" % self.log_path)
            time.sleep(0.01)

    def stop_server(self):
        subprocess.run([WINESERVER, "--kill"], env=self.environment, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        try:
            self.server.wait(30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.server = None

    def server_cpu(self):
        """CPU seconds the wineserver has used so far."""
        fields = Path("/proc/%d/stat" % self.server.pid).read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        if self.server is not None:
            self.stop_server()
        log = self.log_path.read_bytes() if self.log_path.exists() else b""
        if log:
            print("Wine's log (%d bytes) ends:\n%s" % (len(log), log[-2000:].decode(errors="replace")),
                  file=sys.stderr)
        shutil.rmtree(self.root, ignore_errors=True)


prefix = None


def setUpModule():
    global prefix
    missing = missing_prerequisites()
    if missing:
        raise unittest.SkipTest("missing " + "; ".join(missing))
    prefix = WinePrefix()
    print("Wine prefix ready in %.1f s" % prefix.boot_seconds, file=sys.stderr)


def tearDownModule():
    if prefix is not None:
        prefix.close()


class WineTest(ToolTest):
    REQUIRED = (WIN_EXE, STB_SIM)

    def setUp(self):
        super().setUp()
        self.port_links = []

    def tearDown(self):
        super().tearDown()
        for link in self.port_links:
            if link.is_symlink():
                link.unlink()

    def wine_sim(self, port, script=None, pace=False):
        """A simulated loader on COM<port>. Raw from the start, since Wine only
        maps the settings it knows onto the pty; it stays until stopped, since
        Wine takes no lock for it to see the tool let go."""
        args = ["--raw", "--hold"] + (["--pace"] if pace else [])
        return self.sim(name="com%d" % port, link=prefix.ports / ("com%d" % port), script=script,
                        args=args, timeout=120)

    def map_port(self, port, target):
        link = prefix.dosdevices / ("com%d" % port)
        link.symlink_to(target)
        self.port_links.append(link)

    def run_exe(self, args, timeout=TOOL_TIMEOUT):
        return run_tool(args, prefix.env, program=[WINE, str(WIN_EXE)], cwd=self.dir, timeout=timeout)


class WholeDownload(WineTest):

    def check_download(self, port, hex_argument, window):
        sim = self.wine_sim(port)
        run = self.run_exe([str(port), hex_argument])
        sim.stop()
        self.assertEqual(run.status, 0, run.out[-200:])
        self.assertSameBytes(run.out, transcript(), "console")
        report = sim.report()
        self.assertEqual((report["packets"], report["bad_packets"], report["y_count"]), (64512, 0, 1))
        self.assertSameBytes(sim.received(), b"y" + packet_stream(window), "bytes on the wire")
        self.assertSameBytes(sim.image(), window, "received image")

    def test_full_flash_image_through_com7(self):
        flash = random_bytes(0x100000, 21)
        self.write_hex("full.hex", hex_text([(0, flash)]))
        self.check_download(7, "full.hex", flash[0x4000:])

    def test_sparse_image_through_com12_by_a_windows_path(self):
        # COM10 and above open only through the device namespace (\\.\COM12).
        blocks = [(0x0000, random_bytes(0x4000, 22)),
                  (0x4000, random_bytes(5000, 23)),
                  (0x23456, random_bytes(70000, 24)),
                  (0xFFF00, random_bytes(0x200, 25))]
        hex_path = self.write_hex("sparse.hex", hex_text(blocks, per_record=32, eol="\n"))
        self.check_download(12, windows_path(hex_path), window_of(blocks))

    def test_writes_wait_for_a_device_at_line_rate(self):
        # The device takes bytes no faster than 115200 baud carries them (about
        # five seconds for these), so the port's buffer fills and every write
        # has to wait its turn, without spinning meanwhile.
        flash = random_bytes(0x100000, 26)
        self.write_hex("full.hex", hex_text([(0, flash)]))
        taken = 20 * 3000 + 9
        sim = self.wine_sim(7, script="\n".join(HANDSHAKE + ["receive %d" % taken, "close"]), pace=True)
        server_before = prefix.server_cpu()
        run = self.run_exe(["7", "full.hex"])
        sim.finish()
        self.assertEqual(run.status, 1, run.out[-200:])
        self.assertSameBytes(sim.received(), b"y" + packet_stream(flash[0x4000:])[:taken], "bytes on the wire")
        self.assertLess(run.cpu + prefix.server_cpu() - server_before, 1.5)


class Ports(WineTest):

    def test_list_shows_the_mapped_ports_and_com7_by_name_downloads(self):
        run = self.run_exe(["--list"])
        self.assertEqual(run.status, 0)
        lines = run.out.decode().splitlines()
        self.assertEqual(lines[0] + "\r\n", BANNER.decode())
        listed = {line.split()[0]: line.split()[1] for line in lines[1:] if line.startswith("COM")}
        for port in MAPPED_PORTS:
            self.assertEqual(listed.get("COM%d" % port), "\\\\.\\COM%d" % port, run.out)
        numbers = [int(name[3:]) for name in listed]
        self.assertEqual(numbers, sorted(numbers), "sorted by COM number")
        # The port by the name the list gives it.
        flash = random_bytes(0x8000, 28)
        self.write_hex("fw.hex", hex_text([(0x4000, flash)]))
        sim = self.wine_sim(7)
        run = self.run_exe(["COM7", "fw.hex"])
        sim.stop()
        self.assertEqual((run.status, run.err), (0, b""))
        self.assertSameBytes(run.out, transcript(), "console")
        self.assertSameBytes(sim.image(), window_of([(0x4000, flash)]), "received image")


class Station(WineTest):

    def test_two_com_ports_from_one_station(self):
        blocks = [(0x4000, random_bytes(0x9000, 29)), (0x80000, random_bytes(700, 30))]
        self.write_hex("fw.hex", hex_text(blocks))
        window = window_of(blocks)
        sims = [self.wine_sim(port) for port in MAPPED_PORTS]
        run = self.run_exe(["--station", "COM7,12", "fw.hex", "--log", "boxes.csv"], timeout=120)
        for sim in sims:
            sim.stop()
        self.assertEqual(run.status, 0, run.out[-300:])
        self.assertRegex(run.out, final_totals(2, 0, 0))
        for sim in sims:
            self.assertSameBytes(sim.received(), b"y" + packet_stream(window), "bytes on the wire")
            self.assertSameBytes(sim.image(), window, "received image")
        with open(self.dir / "boxes.csv", newline="") as log:
            rows = list(csv.DictReader(log))
        self.assertEqual(sorted((row["port"], row["device"], row["result"], row["bytes_sent"]) for row in rows),
                         [("12", "\\\\.\\COM12", "completed", "1032192"), ("COM7", "\\\\.\\COM7", "completed", "1032192")])
        for row in rows:
            self.assertEqual((row["file"], row["crc32"], row["sha256"], row["reason"]),
                             ("fw.hex", "0x%08X" % zlib.crc32(window), hashlib.sha256(window).hexdigest(), ""))
            self.assertRegex(row["transfer_s"], r"^\d+\.\d$")


    def test_a_station_serves_its_status_and_stops_when_asked(self):
        blocks = [(0x4000, random_bytes(0x2000, 31))]
        self.write_hex("fw.hex", hex_text(blocks))
        sim = self.wine_sim(7)
        env = dict(prefix.env, STBLOAD_SERVE_TOKEN="wine-token")
        station = start_tool(["--station", "COM7", "fw.hex", "--continuous", "--serve", "127.0.0.1:0"], env,
                             program=[WINE, str(WIN_EXE)], cwd=self.dir)
        port = served_port(station, timeout=120)
        deadline = time.monotonic() + 120
        while True:  # the box's completion, as the status tells it
            status, document = get_json(port, "/api/status")
            if document["totals"]["completed"] == 1 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual((status, document["ports"][0]["port"], document["ports"][0]["last_result"]),
                         (200, "COM7", "completed"))
        self.assertEqual(document["image"]["crc32"], "0x%08X" % zlib.crc32(window_of(blocks)))
        self.assertEqual(request(port, "POST", "/api/stop", headers={"Authorization": "Bearer wine-token"})[0], 202)
        run = finish_tool(station, timeout=120)
        sim.stop()
        self.assertEqual(run.status, 0, run.out[-300:])

    def test_ctrl_c_ends_a_write_the_box_no_longer_takes(self):
        # The box stops reading part way: the port's write waits for room that
        # never comes, until the station's Ctrl+C ends it (an overlapped write,
        # and the cancel's event).
        self.write_hex("fw.hex", hex_text([(0x4000, random_bytes(0x9000, 31))]))
        sim = self.wine_sim(7, script="\n".join(HANDSHAKE + ["receive 60000", "mark stalled", "sleep 60000"]))
        station = start_tool(["--station", "7", "fw.hex", "--log", "boxes.csv"], prefix.env,
                             program=[WINE, str(WIN_EXE)], cwd=self.dir)
        sim.wait_mark("stalled")
        time.sleep(2)  # the line's queue fills, and the write blocks
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station, timeout=30)
        sim.stop()
        self.assertEqual(run.status, 1, run.out[-300:])
        self.assertRegex(run.out, final_totals(0, 0, 1))
        with open(self.dir / "boxes.csv", newline="") as log:
            row, = list(csv.DictReader(log))
        self.assertEqual((row["result"], row["reason"]), ("interrupted", "the station was stopped"))
        self.assertTrue(0 < int(row["bytes_sent"]) < 1032192, row)



    def test_a_job_gives_each_box_its_numbers(self):
        # The Windows build reads the job (toml++), keeps its journal under
        # LockFileEx, and puts each box's numbers into its image.
        blocks = [(0x4000, random_bytes(0x3000, 32))]
        self.write_hex("fw.hex", hex_text(blocks))
        window = window_of(blocks)
        (self.dir / "line.toml").write_text(
            '[image]\nfile = "fw.hex"\ncrc32 = "0x%08X"\n\n[[unique]]\nname = "serial"\naddress = 0xFF000\n'
            'format = "decimal"\nprefix = "W"\nwidth = 5\nfirst = 41\nlast = 99999\n\n[boot]\nexpect = "up"\n'
            'within_s = 5\n' % zlib.crc32(window))
        for serial in (41, 42):
            sim = self.wine_sim(7, script="\n".join(HANDSHAKE + ["receive", "send ok\\n@", "sleep 300",
                                                                  "send fw up\\r\\n", "linger"]))
            run = self.run_exe(["--job", "line.toml", "COM7"])
            sim.stop()
            self.assertEqual(run.status, 0, (run.out[-200:], run.err))
            self.assertSameBytes(run.out, transcript(final_bytes=1), "console")
            image = bytearray(window)
            image[0xFF000 - 0x4000:0xFF000 - 0x4000 + 6] = b"W%05d" % serial
            self.assertSameBytes(sim.image(), bytes(image), "image of box %d" % serial)
        with open(self.dir / "stbload-station.csv", newline="") as log:
            rows = list(csv.DictReader(log))
        self.assertEqual([(row["unique"], row["boot"], row["result"]) for row in rows],
                         [("serial=W%05d" % n, "fw up", "completed") for n in (41, 42)])
        self.assertEqual(len(re.findall(r"^take ", (self.dir / "line.numbers").read_text(), re.M)), 2)


class LineDatabase(WineTest):

    def test_the_windows_build_reaches_the_lines_database_through_odbc32(self):
        # Wine's odbc32 hands the calls to unixODBC and psqlODBC, as Windows'
        # own hands them to the driver the line's IT installed.
        cluster = postgres.Cluster()
        try:
            blocks = [(0x4000, random_bytes(0x3000, 33))]
            self.write_hex("fw.hex", hex_text(blocks))
            (self.dir / "line.toml").write_text(
                '[image]\nfile = "fw.hex"\ncrc32 = "0x%08X"\n\n[[unique]]\nname = "serial"\naddress = 0xFF000\n'
                'format = "decimal"\nprefix = "W"\nwidth = 5\nfirst = 41\nlast = 99999\n\n[line]\ndatabase = "%s"\n'
                'lease = 3\napproval = "none"\n' % (zlib.crc32(window_of(blocks)), cluster.connection()))
            env = dict(prefix.env, **cluster.env())
            for box in range(2):
                sim = self.wine_sim(7, script="\n".join(HANDSHAKE + ["receive", "send ok\\n@", "linger"]))
                run = run_tool(["--job", "line.toml", "COM7"], env, program=[WINE, str(WIN_EXE)], cwd=self.dir)
                sim.stop()
                self.assertEqual(run.status, 0, (run.out[-200:], run.err))
                self.assertSameBytes(run.out, transcript(final_bytes=1), "console")
            run = run_tool(["--job", "line.toml", "--check"], env, program=[WINE, str(WIN_EXE)], cwd=self.dir)
            self.assertEqual(run.status, 0, run.out)
            self.assertIn(b"  serial at 0xFF000: pool next W00047, 99,953 left of W00041 to W99999\r\n", run.out)
            self.assertIn(b"numbers: 4 left of this station's lease (W00043 next)", run.out)
            stored = cluster.sql('SELECT "port", "unique", "result" FROM stb_boxes ORDER BY "started"')
            self.assertEqual(stored, [["COM7", "serial=W%05d" % n, "completed"] for n in (41, 42)])
            journal, = cluster.sql('SELECT "journal" FROM stb_leases')[0]
            self.assertTrue(journal.endswith("stbload-station.csv.numbers"), journal)
        finally:
            cluster.close()


class BeforeTheDialogue(WineTest):

    def test_exit_statuses_and_messages(self):
        self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        self.map_port(8, "/dev/null")  # opens, but is no serial line
        missing = windows_path(self.dir / "missing.hex")
        cases = [
            ([], 2, USAGE),
            (["7"], 2, USAGE),
            (["7", missing], 1, b"cannot open file " + missing.encode() + b"\r\ncheck you specified file\r\n"),
            (["7", windows_path(self.dir)], 1,
             b"cannot open file " + windows_path(self.dir).encode() + b"\r\ncheck you specified file\r\n"),
            (["9", "fw.hex"], 1, b"cannot open COM9\r\n"),
            (["15", "fw.hex"], 1, b"cannot open COM15\r\n"),
            (["abc", "fw.hex"], 1, b"cannot open COM0\r\n"),
            (["-7", "fw.hex"], 1, b"cannot open COM-7\r\n"),
            (["8", "fw.hex"], 1, b"cannot configure COM8\r\n"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                run = self.run_exe(args)
                self.assertEqual((run.status, run.out), (status, BANNER + message))

    def test_reasons_on_stderr_name_the_device(self):
        self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        self.map_port(8, "/dev/null")
        cases = [
            (["15", "fw.hex"], b'stbload: COM15 (\\\\.\\COM15): no such port; Device Manager lists the ports '
                               b'under "Ports (COM & LPT)"\r\n'),
            (["8", "fw.hex"], b"stbload: COM8 (\\\\.\\COM8): not a serial port ("),
            (["7", "missing.hex"], b"stbload: missing.hex: "),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                run = self.run_exe(args)
                self.assertEqual(run.status, 1)
                self.assertTrue(run.err.startswith(reason), run.err)
                self.assertTrue(run.err.endswith(b"\r\n"), "stderr keeps text mode: %r" % run.err)


class SharedFile(WineTest):
    """One firmware file, several readers: a download opens it beside other
    readers, but not beside a program writing it."""

    def hold(self, mode, name):
        holder = subprocess.Popen([WINE, str(HOLD_FILE_EXE), mode, name], cwd=self.dir, env=prefix.environment,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(holder.wait, 30)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.stdin.close)
        self.assertEqual(holder.stdout.readline(), b"held\r\n", "hold_file.exe could not open " + name)
        return holder

    def test_another_reader_does_not_stop_a_download(self):
        flash = random_bytes(0x8000, 27)
        self.write_hex("fw.hex", hex_text([(0x4000, flash)]))
        self.hold("read", "fw.hex")
        sim = self.wine_sim(7)
        run = self.run_exe(["7", "fw.hex"])
        sim.stop()
        self.assertEqual(run.status, 0, run.out[-200:])
        self.assertSameBytes(run.out, transcript(), "console")
        self.assertSameBytes(sim.image(), window_of([(0x4000, flash)]), "received image")

    def test_a_program_writing_the_file_keeps_it_from_a_download(self):
        self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        self.hold("write", "fw.hex")
        run = self.run_exe(["7", "fw.hex"])
        self.assertEqual((run.status, run.out),
                         (1, BANNER + b"cannot open file fw.hex\r\ncheck you specified file\r\n"))
        self.assertTrue(run.err.startswith(b"stbload: fw.hex: "), run.err)


class PortErrors(WineTest):

    def test_what_each_error_of_a_read_or_write_means(self):
        # Windows' own numbers for them (winerror.h).
        table = {2: "lost", 5: "lost", 6: "lost", 22: "lost", 31: "lost", 55: "lost", 433: "lost",
                 1167: "lost", 1617: "lost",  # the device is gone
                 995: "retry",  # ERROR_OPERATION_ABORTED: the driver's abort state, cleared and tried again
                 87: "failed", 121: "failed", 1117: "failed"}  # anything else: the line is checked first
        run = run_tool([str(code) for code in table], prefix.env, program=[WINE, str(PORT_ERROR_TABLE_EXE)])
        got = dict(line.split() for line in run.out.decode().splitlines())
        self.assertEqual(got, {str(code): meaning for code, meaning in table.items()})


class Progress(WineTest):
    """The title and the taskbar indicator on a console: Wine's console, on a
    terminal, shows both as escape sequences on that terminal."""

    def console_bytes(self, env):
        """What the terminal under Wine's console got while a transfer broke off."""
        self.write_hex("fw.hex", hex_text([(0x4000, b"\x5a" * 64)]))
        sim = self.wine_sim(7, script="\n".join(HANDSHAKE + ["receive 40000", "close"]))
        run = run_tool(["7", "fw.hex"], {**prefix.env, "WT_SESSION": None, "TERM": "xterm", **env}, terminal=True,
                       err_terminal=True, program=[WINE, str(WIN_EXE)], cwd=self.dir, timeout=120)
        sim.finish()
        self.assertEqual(run.status, 1)
        # The console draws a character at a time, hiding the cursor around
        # each and moving over blanks: the text itself, without that.
        return run.out.replace(b"\x1b[?25l", b"").replace(b"\x1b[?25h", b"").replace(b"\x1b[K\x1b[1C", b" ")

    def test_title_and_taskbar_progress(self):
        shown = self.console_bytes({"WT_SESSION": "{5e1f0c27}"})
        titles = re.findall(rb"\x1b\]0;([^\x07]*)\x07", shown)
        self.assertEqual(titles[0], b"stbload COM7 waiting for the box")
        self.assertRegex(titles[1], rb"^stbload COM7 \d+% \d+:\d\d left$")
        # Put back at exit: the prefix's console had no title.
        self.assertEqual(titles[-2:], [b"stbload COM7 failed", b""])
        states = re.findall(rb"\x1b\]9;4;(\d);\d+\x1b\\", shown)
        self.assertEqual((states[0], states[-2:]), (b"3", [b"2", b"0"]), states)
        self.assertIn(b"1", states)
        self.assertNotIn(b"]9;4;", self.console_bytes({}), "OSC 9;4 without Windows Terminal")


class LostLink(WineTest):
    """The loader's side closes the link: the tool says so and exits 1."""

    LOST = b"\r\nlost connection to COM7\r\n"

    def lose(self, steps):
        self.write_hex("fw.hex", hex_text([(0x4000, b"\xaa" * 64)]))
        sim = self.wine_sim(7, script="\n".join(steps + ["close"]))
        run = self.run_exe(["7", "fw.hex"], timeout=60)
        sim.finish()
        self.assertEqual(run.status, 1, run.out[-80:])
        return run, sim

    def test_closed_during_the_transfer(self):
        # A write fails at once on a closed link.
        for received in (20 * 1000 + 7, 20 * 64511):
            with self.subTest(received=received):
                run, sim = self.lose(HANDSHAKE + ["receive %d" % received])
                self.assertEqual(sim.report()["stream_bytes"], received)
                self.assertTrue(run.out.startswith(BANNER + READY + b"Slave machine update request\r\n"
                                                   + b"Slave ready\r\nSlave request data\r\nstart transfer\t"))
                self.assertTrue(run.out.endswith(self.LOST), run.out[-80:])
                # The last packets may have fitted into the pty's buffer before
                # the close, but not a megabyte of them.
                if received < STREAM_SIZE // 2:
                    self.assertNotIn(b"\b done", run.out)

    def test_closed_during_the_final_wait(self):
        # Reads from a closed link come back empty rather than failing.
        run, _ = self.lose(HANDSHAKE + ["receive", "sleep 50", "send ok\\n", "send_repeat 600 .", "sleep 1000"])
        expected = (BANNER + READY + b"Slave machine update request\r\nSlave ready\r\n" + transfer_console()
                    + final_wait_console(600) + self.LOST)
        self.assertSameBytes(run.out, expected)

    def test_closed_while_the_device_is_silent_costs_no_cpu(self):
        server_before = prefix.server_cpu()
        run, _ = self.lose(["wait_config", "sleep 5000"])
        self.assertEqual(run.out, BANNER + READY + self.LOST)
        # Five seconds of reads at 10 ms intervals, which under Wine cost the
        # wineserver's time as well as the tool's. A read loop that spins burns
        # about a CPU second per second; starting Wine costs a few tenths.
        cpu = run.cpu + prefix.server_cpu() - server_before
        self.assertLess(cpu, 1.5)


if __name__ == "__main__":
    main_unless_missing("Wine", missing_prerequisites(), "STBLOAD_WINE_REQUIRED")
