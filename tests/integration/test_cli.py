"""The command line and every way a run can fail before the device dialogue."""

import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest
import zlib
from pathlib import Path

from harness import (BANNER, REPO, STB_SIM, STBLOAD, USAGE, VERSION, ToolTest, hex_text, port_env, random_bytes,
                     run_tool, srec_window)

HELP = (b"\r\n"
        b"  stbload PORT HEXFILE     download HEXFILE (Intel HEX) into the box on PORT\r\n"
        b"  stbload --check HEXFILE  show what a download of HEXFILE would send and its\r\n"
        b"                           fingerprint (CRC-32, SHA-256), without a port\r\n"
        b"  stbload --list           list the serial ports, and how to name each as PORT\r\n"
        b"  stbload --station PORTS HEXFILE [--log FILE] [--continuous [--rearm-quiet S]]\r\n"
        b"                           flash a box on every port of PORTS (\"3,5,7-12\");\r\n"
        b"                           (a port's name and Enter at its screen resets it)\r\n"
        b"  stbload --job JOB PORT   one box under a job (TOML): its image locked to its\r\n"
        b"                           fingerprint, numbers of its own, its boot checked\r\n"
        b"  stbload --job JOB --station [PORTS] [options as for --station]\r\n"
        b"                           a station under a job; options go before the job's\r\n"
        b"  stbload --job JOB --check  whether a box could be flashed under the job, and\r\n"
        b"                           the numbers the next box would get\r\n"
        b"  stbload --job JOB --approve | --revoke\r\n"
        b"                           a supervisor approves the job (its bytes and image)\r\n"
        b"                           for its line, or takes the approval back\r\n"
        b"  stbload --report LOG... [--html FILE]\r\n"
        b"                           figures of station logs (by station, port, day,\r\n"
        b"                           image; failures; weak ports), and a page of charts\r\n"
        b"  stbload --job JOB --line-view --serve [ADDR:]PORT\r\n"
        b"                           the whole line's page and JSON, from its database\r\n"
        b"  --station also takes --events FILE (JSON lines; - for standard output),\r\n"
        b"  --no-bell, --stall S (a box that takes no data fails, default 30) and\r\n"
        b"  --flash-write-max S (default 600); a download takes them before PORT.\r\n"
        b"  --station --serve [ADDR:]PORT serves a live page and a JSON API (127.0.0.1\r\n"
        b"  unless ADDR is given), --name NAME names the station (default: host name)\r\n"
        b"  --operator NAME and --work-order TEXT (a station's, or a download's before\r\n"
        b"  PORT) name who flashes and for which order, in every row\r\n"
        b"  --strict before PORT, --check or --station refuses a file with warnings;\r\n"
        b"  --list, --check and --job JOB --check take --json\r\n"
        b"  stbload --version        print the version\r\n"
        b"  stbload --help           print this help\r\n"
        b"\r\n"
        b"PORT is a COM number (3 or COM3: the device $STBLOAD_COM<n> names, else\r\n"
        b"/dev/ttyS<n-1>), a device (/dev/ttyUSB0, /dev/serial/by-id/...), or a USB\r\n"
        b"adapter by its serial number or its place: usb:SERIAL, usb@LOCATION.\r\n"
        b"\r\n"
        b"Exit status: 0 when the box confirmed the download (\"Download completed\"),\r\n"
        b"1 for any failure (the message says which), 2 for a wrong command line.\r\n"
        b"\r\n"
        b"Environment:\r\n"
        b"  STBLOAD_COM<n>=DEVICE  the serial device for COM<n>\r\n"
        b"  STBLOAD_OPERATOR       the operator's name, where --operator gives none\r\n"
        b"  STBLOAD_DB_USER        the user for a job's [line] database (its Uid otherwise)\r\n"
        b"  STBLOAD_DB_PASSWORD    the password for a job's [line] database\r\n"
        b"  STBLOAD_SERVE_TOKEN    the token that --serve's changes (stop, reset) need\r\n"
        b"  STBLOAD_TRACE=FILE     append a trace of the run to FILE\r\n"
        b"  STBLOAD_PROGRESS=off   no progress, window title or taskbar progress\r\n")


class CommandLine(ToolTest):

    def test_usage_without_two_arguments(self):
        for args in ([], ["3"], ["--versions"], ["-v"], ["help"], ["--HELP"]):
            with self.subTest(args=args):
                run = run_tool(args)
                self.assertEqual((run.status, run.out), (2, BANNER + USAGE))

    def test_version_and_help_flags(self):
        for flag in ("--version", "-V"):
            with self.subTest(flag=flag):
                run = run_tool([flag])
                self.assertEqual((run.status, run.out), (0, b"stbload %s\r\n" % VERSION.encode()))
        for flag in ("--help", "-h", "/?"):
            with self.subTest(flag=flag):
                run = run_tool([flag])
                self.assertEqual((run.status, run.out), (0, BANNER + USAGE + HELP))

    def test_a_flag_with_a_second_argument_is_a_port(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        run = run_tool(["--version", str(hex_path)], {"STBLOAD_COM0": None})
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot open COM0\r\n"))

    def test_missing_file_is_reported_before_the_port_is_touched(self):
        missing = str(self.dir / "missing.hex")
        for port, port_note in (("3", b""), ("-5", b""),
                                ("abc", b'stbload: port "abc" is not a number, so COM0 was tried; give the COM '
                                        b'number alone, as in stbload 3 FILE for COM3\n'),
                                ("COM12", b""), ("COM12x", b'stbload: port "COM12x" is not a number, so COM0 was '
                                                         b'tried; give the COM number alone: stbload 12 FILE\n')):
            with self.subTest(port=port):
                run = run_tool([port, missing, "extra", "args"])
                self.assertEqual(run.status, 1)
                self.assertEqual(run.out, BANNER + b"cannot open file " + missing.encode()
                                 + b"\r\ncheck you specified file\r\n")
                self.assertEqual(run.err, port_note + b"stbload: " + missing.encode()
                                 + b": No such file or directory\n")

    def test_a_directory_is_not_a_hex_file(self):
        run = run_tool(["3", str(self.dir)])
        self.assertEqual(run.status, 1)
        self.assertTrue(run.out.endswith(b"\r\ncheck you specified file\r\n"))
        self.assertEqual(run.err, b"stbload: " + str(self.dir).encode() + b": Is a directory\n")

    def test_ports_that_cannot_be_opened(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        missing = str(self.dir / "no-such-device")
        no_number = b"no device has this number: COM1 is /dev/ttyS0, COM2 /dev/ttyS1 and so on; " \
                    b"STBLOAD_COM<n>=DEVICE names any other\n"
        cases = [
            ("abc", {"STBLOAD_COM0": None}, b"cannot open COM0\r\n",
             b'stbload: port "abc" is not a number, so COM0 was tried; give the COM number alone, as in '
             b'stbload 3 FILE for COM3\nstbload: COM0: ' + no_number),
            ("4294967303", {"STBLOAD_COM7": missing}, b"cannot open COM7\r\n",
             b'stbload: port "4294967303" is out of range, so COM7 was tried\n'
             b"stbload: COM7 (" + missing.encode() + b"): no such device\n"),
            ("-2", {}, b"cannot open COM-2\r\n", b"stbload: COM-2: " + no_number),
            ("12", {"STBLOAD_COM12": None}, b"cannot open COM12\r\n",
             b"stbload: COM12 (/dev/ttyS11): no such device\n"),
            ("7", {"STBLOAD_COM7": "/dev/null"}, b"cannot configure COM7\r\n",
             b"stbload: COM7 (/dev/null): not a serial port (Inappropriate ioctl for device)\n"),
            ("com7", {"STBLOAD_COM7": "/dev/null"}, b"cannot configure COM7\r\n",
             b"stbload: COM7 (/dev/null): not a serial port (Inappropriate ioctl for device)\n"),
            ("/no/such/tty", {}, b"cannot open /no/such/tty\r\n", b"stbload: /no/such/tty: no such device\n"),
            ("/dev/null", {}, b"cannot configure /dev/null\r\n",
             b"stbload: /dev/null: not a serial port (Inappropriate ioctl for device)\n"),
            ("usb:NO-SUCH-SERIAL", {}, b"cannot open usb:NO-SUCH-SERIAL\r\n",
             b"stbload: usb:NO-SUCH-SERIAL: no adapter with that serial number is plugged in\n"),
            ("usb@9-9.9", {}, b"cannot open usb@9-9.9\r\n",
             b"stbload: usb@9-9.9: no adapter with that location is plugged in\n"),
        ]
        for port, env, message, reason in cases:
            with self.subTest(port=port, env=env):
                run = run_tool([port, str(hex_path)], env)
                self.assertEqual((run.status, run.out, run.err), (1, BANNER + message, reason))

    def test_a_port_this_user_may_not_open(self):
        if os.getuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run the tool as another user")
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        os.chmod(self.dir, 0o755)
        os.chmod(hex_path, 0o644)
        sim = self.sim(script="sleep 100000")  # its pty is root's, mode 0620
        run = run_tool(["7", str(hex_path)], port_env(sim), program=[
            "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", str(STBLOAD)])
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot open COM7\r\n"))
        self.assertRegex(run.err.decode(), r"^stbload: COM7 \(%s\): permission denied; the user may need to "
                         r"be in the \w+ group \(sudo usermod -aG \w+ \$USER, then log in again\)\n$"
                         % re.escape(str(sim.link)))

    def test_port_in_use_by_another_program(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        sim = self.sim(script="sleep 100000")
        holder = os.open(str(sim.link), os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            run = run_tool(["7", str(hex_path)], port_env(sim))
        finally:
            os.close(holder)
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot open COM7\r\n"))
        self.assertEqual(run.err, b"stbload: COM7 (" + str(sim.link).encode() + b"): held by another program\n")

    def test_files_with_nothing_to_send_reach_no_device(self):
        cases = {
            "empty.hex": "",
            "low.hex": hex_text([(0x0000, b"\x55" * 0x3000)]),
            "high.hex": hex_text([(0x100000, b"\x55" * 16)]),
            "start-address-only.hex": ":0400000500008000F7\r\n:00000001FF\r\n",
        }
        for name, text in cases.items():
            with self.subTest(file=name):
                hex_path = self.write_hex(name, text)
                sim = self.sim(name="com-" + name, script="wait_config\nsend want to update\\n\nlinger")
                run = run_tool(["7", str(hex_path)], port_env(sim))
                sim.stop()
                self.assertEqual(run.status, 1)
                self.assertEqual(run.out, BANNER + b"no data to download in " + str(hex_path).encode() + b"\r\n")
                self.assertEqual(sim.received(), b"")
                check = run_tool(["--check", str(hex_path)])
                self.assertEqual((check.status, check.out, check.err), (1, run.out, run.err))

    def test_files_that_are_not_intel_hex_reach_no_device(self):
        elf = Path(STB_SIM).read_bytes()  # a program, as a wrong pick in a file dialog gives
        cases = {
            "program.elf": (elf, 1, 0x7F),
            "firmware.bin": (bytes(range(256)) * 64, 1, 0x00),
            "main.c": (b"#include <stdio.h>\nint main(void) { return 0; }\n", 1, ord("#")),
            "notes.hex": (hex_text([(0x4000, b"\x01" * 40)]).encode() + b"; checked\r\n", 6, ord(";")),
        }
        for name, (data, line, byte) in cases.items():
            with self.subTest(file=name):
                path = self.dir / name
                path.write_bytes(data)
                sim = self.sim(name="com-" + name, script="wait_config\nsend want to update\\n\nlinger")
                run = run_tool(["7", str(path)], port_env(sim))
                sim.stop()
                self.assertEqual((run.status, run.out), (1, BANNER + b"not an Intel HEX file: " + str(path).encode()
                                                         + b"\r\n"))
                self.assertEqual(run.err, b"stbload: %s:%d: byte 0x%02X cannot be part of an Intel HEX record\n"
                                 % (str(path).encode(), line, byte))
                self.assertEqual(sim.received(), b"", "nothing, not even the answer 'y', may reach the box")
                check = run_tool(["--check", str(path)])
                self.assertEqual((check.status, check.out, check.err), (1, run.out, run.err))

    def test_check_shows_what_a_download_would_send(self):
        blocks = [(0x0000, random_bytes(0x5000, 51)), (0x23456, random_bytes(7000, 52)), (0xFFFF8, b"\x07" * 16)]
        hex_path = self.write_hex("fw.hex", hex_text(blocks, per_record=32, eol="\n"))
        window = srec_window(hex_path, self.dir)
        lines = hex_path.read_text().count("\n")
        placed = 0x1000 + 7000 + 16
        run = run_tool(["--check", str(hex_path)], {"STBLOAD_COM0": None})
        self.assertEqual(run.status, 0)
        self.assertEqual(run.out.decode(), BANNER.decode()
                         + "file %s: %d lines\r\n" % (hex_path, lines)
                         + "image: {:,} data bytes placed, from 0x4000 to 0x100007\r\n".format(placed)
                         + "sent: 1,032,192 bytes, 0x4000 to 0xFFFFF, in 64,512 packets; 0xFF where the file "
                           "places nothing\r\n"
                         + "CRC-32 0x%08X\r\nSHA-256 %s\r\n" % (zlib.crc32(window), hashlib.sha256(window).hexdigest()))
        self.assertRegex(run.err, rb"^stbload: .*fw.hex:\d+: 8 bytes of data lie at or above 0x100000")
        self.assertEqual(run_tool(["--check", str(self.dir / "none.hex")]).status, 1)

    def test_json_documents_for_scripts(self):
        blocks = [(0x4000, random_bytes(3000, 91)), (0x90000, random_bytes(20, 92))]
        hex_path = self.write_hex("fw.hex", hex_text(blocks))
        window = srec_window(hex_path, self.dir)
        for args in (["--check", "--json", str(hex_path)], ["--check", str(hex_path), "--json"]):
            with self.subTest(args=args):
                run = run_tool(args)
                self.assertEqual((run.status, run.err), (0, b""))
                document = json.loads(run.out)
                self.assertEqual((document["ok"], document["file"], document["lines"], document["bytes_placed"]),
                                 (True, str(hex_path), hex_text(blocks).count("\n"), 3020))
                self.assertEqual((document["crc32"], document["sha256"]),
                                 ("0x%08X" % zlib.crc32(window), hashlib.sha256(window).hexdigest()))
                self.assertEqual((document["lowest_address"], document["highest_address"], document["packets"]),
                                 (0x4000, 0x90013, 64512))
        # A refused file: the document says so, the messages go to stderr, the status is 1.
        run = run_tool(["--check", "--json", str(self.dir / "missing.hex")])
        self.assertEqual(run.status, 1)
        document = json.loads(run.out)
        self.assertEqual((document["ok"], document["error"]),
                         (False, "cannot open file %s; check you specified file" % (self.dir / "missing.hex")))
        self.assertIn(b"cannot open file", run.err)
        run = run_tool(["--list", "--json"], {"STBLOAD_COM7": str(self.dir)})
        self.assertEqual(run.status, 0)
        ports = json.loads(run.out)["ports"]
        self.assertIsInstance(ports, list)
        for port in ports:
            self.assertEqual(sorted(port), ["by_id", "com_number", "description", "device", "kind", "name", "usb"])

    def test_nothing_on_the_command_line_is_dropped(self):
        hex_path = str(self.write_hex("fw.hex", hex_text([(0x4000, b"\x01" * 64)])))
        (self.dir / "line3.toml").write_text('[image]\nfile = "fw.hex"\ncrc32 = "0x00000000"\n')
        # Each refused at once, with exit status 2, naming what is wrong; no port is opened.
        cases = [
            (["8", hex_path, "--job", "line3.toml", "--log", "foo.csv"],
             b"stbload: --job after the hex file: options go before the port"),
            (["8", hex_path, "--strict"], b"stbload: --strict after the hex file: options go before the port"),
            (["--job", "line3.toml", "8", "--log", "a.csv"], b"stbload: --log after the port: options go before it"),
            (["--list", "--jsn"], b"stbload: unknown option --jsn"),
            (["--check", "--jsn", hex_path], b"stbload: unknown option --jsn"),
            (["--frobnicate", "8", hex_path], b"stbload: unknown option --frobnicate"),
            (["--json", "8", hex_path], b"stbload: --json goes with --list, --check FILE and --job JOB --check"),
            (["--check", hex_path, hex_path], b"stbload: --check takes one hex file"),
            (["--stall", "0", "8", hex_path], b'stbload: --stall takes seconds from 1 to 86400, not "0"'),
            (["--flash-write-max"], b"stbload: --flash-write-max needs a value"),
            (["--report", "--htm", "week.html", "b1.csv"], b"stbload: unknown option --htm"),
            (["--serve", "8080", "8", hex_path], b"stbload: --serve goes with --station"),
            (["--events", "-", "8", hex_path], b"stbload: --events goes with --station"),
            (["--line-view", "--serve", "8090"], b"stbload: --line-view needs --job JOB, a job with [line]"),
            (["--job", "line3.toml", "--line-view", "--serve", "8090", "--log", "a.csv"],
             b"stbload: --line-view takes no --log"),
        ]
        sim = self.sim(name="com8", script="wait_config\nlinger")
        for args, message in cases:
            with self.subTest(args=args):
                run = run_tool(args, port_env(sim, 8), cwd=self.dir)
                self.assertEqual(run.status, 2, (run.out, run.err))
                self.assertIn(message, run.err)
                self.assertNotIn(b"cannot open file", run.out)
        sim.stop()
        self.assertEqual(sim.report()["exclusive_held"], -1, "the port was never opened")
        self.assertFalse((self.dir / "foo.csv").exists())
        # --json where it goes, anywhere among the command's arguments.
        for args in (["--json", "--check", hex_path], ["--check", hex_path, "--json"], ["--json", "--list"]):
            with self.subTest(args=args):
                run = run_tool(args, cwd=self.dir)
                self.assertEqual(run.status, 0, run.err)
                json.loads(run.out)
        # Further arguments that are no options are ignored, as they always were: the download goes on.
        run = run_tool(["8", hex_path, "extra", "words"], {"STBLOAD_COM8": str(self.dir / "nothing")}, cwd=self.dir)
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot open COM8\r\n"))

    def test_a_file_cut_short_is_said_to_be(self):
        whole = hex_text([(0x4000, random_bytes(4000, 93))])
        cut = self.write_hex("cut.hex", whole[:whole.rindex(":")])  # at a line boundary: no end record
        warning = b"stbload: %s: the file has no end record: it may be cut short\n" % str(cut).encode()
        run = run_tool(["--check", str(cut)])
        self.assertEqual((run.status, run.err), (0, warning))
        document = json.loads(run_tool(["--check", "--json", str(cut)]).out)
        self.assertEqual(document["notes"], [warning[len(b"stbload: "):-1].decode()])
        refused = b"not flashed: %s has warnings, and strict loading refuses them\r\n" % str(cut).encode()
        run = run_tool(["--strict", "--check", str(cut)])
        self.assertEqual((run.status, run.out, run.err), (1, BANNER + refused, warning))
        # A download goes on as it always has, with the warning; --strict refuses it, nothing sent.
        sim = self.sim(name="com7")
        run = run_tool(["7", str(cut)], port_env(sim))
        self.assertEqual((run.status, run.err), (0, warning))
        sim.finish()
        self.assertSameBytes(sim.image(), srec_window(cut, self.dir), "the image")
        sim = self.sim(name="com8", script="wait_config\nsend want to update\\n\nlinger")
        run = run_tool(["--strict", "8", str(cut)], port_env(sim, 8))
        sim.stop()
        self.assertEqual((run.status, run.out, run.err), (1, BANNER + refused, warning))
        self.assertEqual(sim.received(), b"", "nothing, not even the answer 'y', may reach the box")
        # A whole file passes a strict check.
        self.assertEqual(run_tool(["--strict", "--check", str(self.write_hex("whole.hex", whole))]).status, 0)

    def test_a_file_that_fails_part_way_is_not_sent(self):
        sim = self.sim(script="wait_config\nsend want to update\\n\nlinger")
        run = run_tool(["7", "/proc/self/mem"], port_env(sim))
        sim.stop()
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot read file /proc/self/mem\r\n"))
        self.assertEqual(run.err, b"stbload: /proc/self/mem: Input/output error\n")
        self.assertEqual(sim.received(), b"")


class DemoCommandLine(unittest.TestCase):
    """scripts/demo answers its command line at once: help, a wrong option or a
    hex file it cannot read end it before it installs or builds anything."""

    DEMO_USAGE = b"usage: scripts/demo [--fast] [--station [--job]] [HEXFILE]\n"

    def setUp(self):
        # The demo runs from a tree of its own that holds nothing else: one that
        # went on to install or build would fail there at once instead.
        self.dir = Path(tempfile.mkdtemp(prefix="stbload-demo-test-"))
        (self.dir / "scripts").mkdir()
        shutil.copy2(REPO / "scripts" / "demo", self.dir / "scripts" / "demo")
        (self.dir / "fw.hex").write_text(hex_text([(0x4000, b"\x01")]))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def demo(self, args):
        process = subprocess.Popen([str(self.dir / "scripts" / "demo"), *args], cwd=self.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   start_new_session=True)
        try:
            out, err = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            self.fail("scripts/demo %s did not end at once" % " ".join(args))
        return process.returncode, out, err

    def test_help_and_refusals_come_at_once(self):
        help_status, help_text, help_err = self.demo(["--help"])
        self.assertEqual((help_status, help_err), (0, b""))
        self.assertTrue(help_text.startswith(self.DEMO_USAGE), help_text)
        self.assertIn(b"--station", help_text)
        missing = str(self.dir / "none.hex")
        cases = [
            (["-h"], 0, help_text, b""),
            (["--station", "--help", "fw.hex"], 0, help_text, b""),
            (["--fats"], 2, b"", b"demo: unknown option --fats\n" + help_text),
            (["--station", "-x", "fw.hex"], 2, b"", b"demo: unknown option -x\n" + help_text),
            (["fw.hex", "--fast", "--jobs"], 2, b"", b"demo: unknown option --jobs\n" + help_text),
            (["fw.hex", "fw.hex"], 2, b"", b"demo: one hex file only (got fw.hex and fw.hex)\n" + help_text),
            (["--job", "fw.hex"], 2, b"", b"demo: --job goes with --station\n"),
            ([missing], 2, b"", b"demo: cannot read the hex file %s\n" % missing.encode()),
            (["--fast", "--", "-fw.hex"], 2, b"", b"demo: cannot read the hex file -fw.hex\n"),
            (["--station", "."], 2, b"", b"demo: cannot read the hex file .\n"),
            # This tree has no sample firmware: the default is refused the same way.
            ([], 2, b"", b"demo: cannot read the hex file samples/demo-firmware.hex\n"),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                self.assertEqual(self.demo(args), (status, out, err))


if __name__ == "__main__":
    unittest.main()
