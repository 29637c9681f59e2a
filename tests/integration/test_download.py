"""Whole downloads through a pseudo-terminal, checked on the wire and on the console."""

import hashlib
import re
import subprocess
import sys
import unittest
import zlib

from harness import (BANNER, ERASED, PROMPT, READY, VERSION, ToolTest, finish_tool, hex_record, hex_text, packet_stream, port_env, random_bytes,
                     run_tool, srec_window, start_tool, transcript, window_of)


class WholeDownload(ToolTest):

    def download(self, hex_path, terminal=False, sim_args=(), env=None):
        sim = self.sim(args=sim_args)
        run = run_tool(["7", str(hex_path)], {**port_env(sim), **(env or {})}, terminal=terminal)
        self.assertEqual(sim.finish(), 0)
        return run, sim

    def check_download(self, run, sim, window, err=b""):
        self.assertEqual(run.status, 0, run.out[-200:])
        self.assertSameBytes(run.out, transcript(), "console")
        # A clean file from an ordinary tool gives no warning.
        self.assertEqual(run.err, err)
        report = sim.report()
        self.assertEqual((report["packets"], report["bad_packets"], report["y_count"]), (64512, 0, 1))
        self.assertEqual((report["line_raw"], report["line_8n1"]), (1, 1))
        # The port is the tool's alone while it runs, and not after it lets go.
        self.assertEqual((report["exclusive_held"], report["exclusive_after_release"]), (1, 0))
        self.assertSameBytes(sim.received(), b"y" + packet_stream(window), "bytes on the wire")
        self.assertSameBytes(sim.image(), window, "received image")

    def test_full_flash_image_matches_srec_cat(self):
        flash = random_bytes(0x100000, 11)
        for per_record, terminal in ((16, False), (16, True), (32, False)):
            with self.subTest(per_record=per_record, stdout_on_terminal=terminal):
                hex_path = self.write_hex("full%d.hex" % per_record, hex_text([(0, flash)], per_record=per_record))
                window = srec_window(hex_path, self.dir)
                self.assertSameBytes(window, flash[0x4000:], "srec_cat's window")
                run, sim = self.download(hex_path, terminal=terminal)
                self.check_download(run, sim, window)

    def test_line_settings_raw_8n1_and_hardware_flow_control_left_alone(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x0a\x0d\x11\x13\x00\xff" * 100)]))
        for crtscts in (False, True):
            with self.subTest(hardware_flow_control=crtscts):
                run, sim = self.download(hex_path, sim_args=("--crtscts",) if crtscts else ())
                self.assertEqual(run.status, 0)
                report = sim.report()
                self.assertEqual((report["line_raw"], report["line_8n1"], report["line_crtscts"]),
                                 (1, 1, int(crtscts)))

    def test_sparse_image_in_32_byte_records_with_lf_line_ends(self):
        blocks = [(0x0000, random_bytes(0x4000, 1)),  # below the base: never sent
                  (0x4000, random_bytes(5000, 2)),
                  (0x23456, random_bytes(70000, 3)),
                  (0xFFF00, random_bytes(0x200, 4))]  # runs past the window's end
        text = hex_text(blocks, per_record=32, eol="\n")
        hex_path = self.write_hex("sparse.hex", text)
        window = window_of(blocks)
        self.assertSameBytes(srec_window(hex_path, self.dir), window, "srec_cat's window")
        run, sim = self.download(hex_path)
        # The data at 0x100000 and above comes in the record after the address record for that page.
        first_beyond = text.split("\n").index(hex_record(0x04, 0, [0x00, 0x10])) + 2
        self.check_download(run, sim, window,
                            err=b"stbload: %s:%d: 256 bytes of data lie at or above 0x100000 (the first on this "
                                b"line); they are never sent\n" % (str(hex_path).encode(), first_beyond))

    def test_damaged_records_are_sent_as_written_and_named(self):
        blocks = [(0x0000, random_bytes(0x8000, 6))]
        hex_path = self.dir / "damaged.hex"
        # Line 1 sets the upper address; line 1026 holds 0x4000 (after 1024 records below it).
        # That many records from there get a checksum one too high: ten are named, the rest counted.
        for damaged, rest in ((10, b""), (12, b"stbload: %s: 2 more records with a wrong checksum\n")):
            with self.subTest(damaged=damaged):
                lines = hex_text(blocks).split("\r\n")
                err = b""
                for number in range(1026, 1026 + damaged):
                    right = lines[number - 1][-2:]
                    wrong = "%02X" % ((int(right, 16) + 1) & 0xFF)
                    lines[number - 1] = lines[number - 1][:-2] + wrong
                    err += (b"stbload: %s:%d: checksum is 0x%s but the record needs 0x%s; its data is loaded as "
                            b"written\n" % (str(hex_path).encode(), number, wrong.encode(), right.encode()))
                self.write_hex(hex_path.name, "\r\n".join(lines))
                run, sim = self.download(hex_path)
                ten = b"".join(err.splitlines(keepends=True)[:10])
                self.check_download(run, sim, window_of(blocks), err=ten + (rest % str(hex_path).encode() if rest else b""))

    def test_trace_of_a_whole_download(self):
        blocks = [(0x4000, b"\x01" * 32), (0x10000, b"\x02" * 16)]
        hex_path = self.write_hex("fw.hex", hex_text(blocks))
        window = window_of(blocks)
        trace = self.dir / "trace.log"
        trace.write_text("an earlier run\n")
        run, sim = self.download(hex_path, env={"STBLOAD_TRACE": str(trace)})
        self.assertEqual(run.status, 0)
        lines = trace.read_text().splitlines()
        self.assertEqual(lines[0], "an earlier run", "the trace is appended to")
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z "
        events = [re.sub("^" + stamp, "", line) for line in lines[1:]]
        self.assertTrue(all(re.match(stamp, line) for line in lines[1:]), lines)
        expected = [
            r"stbload %s: COM7, file %s" % (re.escape(VERSION), re.escape(str(hex_path))),
            r"COM7 is %s, set to 115200 8N1" % re.escape(str(sim.link)),
            r"image: 6 lines, 48 data bytes placed, from 0x4000 to 0x1000F",
            r"image sent: CRC-32 0x%08X, SHA-256 %s" % (zlib.crc32(window), hashlib.sha256(window).hexdigest()),
            r'box: "\\r\\n"',
            r'box: "STB loader 1\.2\\r\\n"',
            r'box: "want to update\? \(y/n\)\\n", an update request',
            r"sent 'y'",
            r'box: "Erasing flash,please wait\.\\n", the erase started',
            r'box: "Erase done\.\\n", the erase ended',
            r"transfer started: 64512 packets of 20 bytes",
            r"transfer done: 64512 packets, 1290240 bytes in [\d.]+ s, \d+ bytes/s",
            r'box: "Data received\.\\n", the confirmation',
            r"box: '@' after 1201 bytes, the flash is written",
            r"outcome: download completed, exit status 0",
        ]
        self.assertEqual(len(events), len(expected), events)
        for event, pattern in zip(events, expected):
            self.assertRegex(event, "^" + pattern + "$")

    def test_trace_that_cannot_be_written_does_not_stop_the_download(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        unwritable = self.dir / "no-such-dir" / "trace.log"
        run, sim = self.download(hex_path, env={"STBLOAD_TRACE": str(unwritable)})
        self.check_download(run, sim, window_of([(0x4000, b"\x01")]),
                            err=b"stbload: cannot open the trace file %s; going on without a trace\n"
                                % str(unwritable).encode())

    def test_a_device_path_as_the_port(self):
        blocks = [(0x4000, random_bytes(3000, 7))]
        hex_path = self.write_hex("fw.hex", hex_text(blocks))
        sim = self.sim()
        run = run_tool([str(sim.link), str(hex_path)], {"STBLOAD_COM0": None})
        self.assertEqual(sim.finish(), 0)
        self.check_download(run, sim, window_of(blocks))
        # A link that goes away is named as it was given.
        sim = self.sim(name="gone", script="wait_config\nclose")
        run = run_tool([str(sim.link), str(hex_path)])
        self.assertEqual((run.status, run.out), (1, BANNER + READY + b"\r\nlost connection to %s\r\n" % str(sim.link).encode()))

    def test_com10_and_above_by_name(self):
        blocks = [(0x4000, random_bytes(1000, 8))]
        hex_path = self.write_hex("fw.hex", hex_text(blocks))
        for argument, number in (("COM10", 10), ("com12", 12), ("\\\\.\\COM10", 10), ("21", 21)):
            with self.subTest(port=argument):
                sim = self.sim(name="com%d" % number)
                run = run_tool([argument, str(hex_path)], {"STBLOAD_COM%d" % number: str(sim.link),
                                                           "STBLOAD_COM1": None, "STBLOAD_COM2": None})
                self.assertEqual(sim.finish(), 0)
                self.check_download(run, sim, window_of(blocks))

    def test_objcopy_file_with_segment_addresses(self):
        firmware = self.dir / "fw.bin"
        firmware.write_bytes(random_bytes(300000, 5))
        hex_path = self.dir / "objcopy.hex"
        subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses=0x9000",
                        str(firmware), str(hex_path)], check=True)
        self.assertIn(":02000002", hex_path.read_text())
        window = srec_window(hex_path, self.dir)
        self.assertSameBytes(window, window_of([(0x9000, firmware.read_bytes())]), "srec_cat's window")
        run, sim = self.download(hex_path)
        self.check_download(run, sim, window)


class DeviceDialogue(ToolTest):
    """The loader's side scripted: what the tool answers and prints."""

    def test_ready_shows_at_once_with_stdout_on_a_pipe(self):
        # The box stays silent until the operator sees "PC ready to download".
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        sim = self.sim(args=("--wait-go",))
        started = start_tool(["7", str(hex_path)], port_env(sim))
        started.wait_for_output(READY)
        sim.go()
        run = finish_tool(started)
        sim.finish()
        self.assertEqual(run.status, 0)
        self.assertSameBytes(run.out, transcript(), "console")

    def dialogue(self, script, hex_blocks=((0x4000, b"\x01\x02\x03"),)):
        hex_path = self.write_hex("fw.hex", hex_text(list(hex_blocks)))
        sim = self.sim(script=script)
        run = run_tool(["7", str(hex_path)], port_env(sim))
        sim.finish()
        return run, sim

    def test_each_update_request_gets_its_own_answer(self):
        script = "\n".join(["wait_config", "send " + PROMPT, "expect_y", "send xx want to update xx\\r\\n",
                            "expect_y", "send " + ERASED, "receive", "send ok\\n@", "linger"])
        run, sim = self.dialogue(script)
        self.assertEqual(run.status, 0)
        self.assertEqual(sim.report()["y_count"], 2)
        self.assertSameBytes(run.out, transcript(final_bytes=1, handshake=b"Slave machine update request\r\n" * 2))


def pyte_module():
    try:
        import pyte
    except ImportError:  # Debian's python3-pyte, for a Python of another installation
        sys.path.append("/usr/lib/python3/dist-packages")
        import pyte
    return pyte


def terminal_screen(data, columns=80, lines=24):
    """What a terminal shows after `data`, as its lines of text."""
    pyte = pyte_module()
    screen = pyte.Screen(columns, lines)
    pyte.ByteStream(screen).feed(data)
    return [line.rstrip() for line in screen.display]


# Terminals that show OSC 9;4 progress name themselves in these variables; the
# tests start from an environment without them.
TASKBAR_VARIABLES = {"WT_SESSION": None, "ConEmuANSI": None, "TERM_PROGRAM": None}
TASKBAR = re.compile(rb"\x1b\]9;4;(\d);(\d+)\x1b\\")
SUMMARY = re.compile(rb"stbload: 1,032,192 bytes sent in \d+\.\d s \([\d,]+ bytes/s on the wire, \d+% of the line\); "
                     rb"image CRC-32 0x([0-9A-F]{8})\r?\n")


class Progress(ToolTest):
    """What a person sees beyond the messages: stdout stays byte for byte."""

    BLOCKS = [(0x4000, random_bytes(70000, 41)), (0xF0000, random_bytes(100, 42))]

    def setUp(self):
        super().setUp()
        self.hex_path = self.write_hex("fw.hex", hex_text(self.BLOCKS))
        self.crc = b"%08X" % zlib.crc32(window_of(self.BLOCKS))

    def download(self, env, terminal=False, err_terminal=True, script=None, columns=80):
        sim = self.sim(script=script)
        run = run_tool(["7", str(self.hex_path)], {**port_env(sim), **TASKBAR_VARIABLES, **env}, terminal=terminal,
                       err_terminal=err_terminal, columns=columns)
        sim.finish()
        return run

    def test_progress_on_a_terminal_of_its_own_leaves_stdout_as_it_was(self):
        run = self.download({"TERM": "xterm"})
        self.assertEqual(run.status, 0)
        self.assertSameBytes(run.out, transcript(), "stdout")
        percents = [int(p) for p in re.findall(rb"\rsending +(\d+)%  \d+/1008 KiB  \d+:\d\d left", run.err)]
        self.assertTrue(percents and percents == sorted(percents), run.err)
        self.assertRegex(run.err, rb"\rsent 100%  1008/1008 KiB in \d+:\d\d *\n")
        self.assertEqual(SUMMARY.search(run.err).group(1), self.crc)
        # The title: pushed on xterm's stack first, set as the download goes, put back last.
        self.assertTrue(run.err.startswith(b"\x1b[22;0t"), run.err[:40])
        self.assertIn(b"\x1b]2;stbload COM7 done\x07", run.err)
        self.assertTrue(run.err.endswith(b"\x1b[23;0t"), run.err[-40:])
        self.assertIsNone(TASKBAR.search(run.err), "OSC 9;4 for a terminal not known to show it")

    def test_on_one_terminal_the_final_screen_is_as_without_progress(self):
        # A window wide enough that the summary never wraps, whatever its figures' width (9.9 s or 10.2 s).
        wide = 200
        on = self.download({"TERM": "xterm-256color", "WT_SESSION": "1"}, terminal=True, columns=wide)
        off = self.download({"TERM": "xterm-256color", "STBLOAD_PROGRESS": "off"}, terminal=True, columns=wide)
        self.assertEqual((on.status, off.status), (0, 0))
        # Mid-transfer, the figures follow the spinner.
        middle = terminal_screen(on.out[:on.out.index(b" left") + 5], wide)
        self.assertRegex(middle[5], r"^start transfer  [-\\|/] *\d+%  \d+/1008 KiB  \d+:\d\d left$")
        # At the end, the same screen, but for the summary's figures.
        figures = re.compile(r"in [\d.]+ s \([\d,]+ bytes/s on the wire, \d+%")
        self.assertEqual([figures.sub("", line) for line in terminal_screen(on.out, wide)],
                         [figures.sub("", line) for line in terminal_screen(off.out, wide)])
        self.assertIsNotNone(SUMMARY.search(off.out), "the summary goes to a terminal's stderr either way")
        self.assertIsNone(re.search(rb"\x1b", off.out), "escape sequences with STBLOAD_PROGRESS=off")

    def test_taskbar_progress_only_where_the_terminal_shows_it(self):
        # A box that never answers, its link closed: waiting, failed, cleared at exit.
        lost = ["wait_config", "sleep 100", "close"]
        for env, shown in (({}, False), ({"WT_SESSION": "{0e6f0c7a}"}, True), ({"ConEmuANSI": "ON"}, True),
                           ({"ConEmuANSI": "OFF"}, False), ({"TERM_PROGRAM": "WezTerm"}, True),
                           ({"TERM_PROGRAM": "ghostty"}, True), ({"TERM_PROGRAM": "iTerm.app"}, False),
                           ({"WT_SESSION": "1", "STBLOAD_PROGRESS": "off"}, False)):
            with self.subTest(env=env):
                run = self.download({"TERM": "dumb", **env}, script="\n".join(lost))
                self.assertEqual(run.status, 1)
                states = [(int(a), int(b)) for a, b in TASKBAR.findall(run.err)]
                self.assertEqual(states, [(3, 0), (2, 0), (0, 0)] if shown else [])
        run = self.download({"TERM": "dumb", "WT_SESSION": "1"})
        self.assertEqual(run.status, 0)
        states = [(int(a), int(b)) for a, b in TASKBAR.findall(run.err)]
        self.assertEqual((states[0], states[-2:]), ((3, 0), [(3, 0), (0, 0)]), "waiting, then the flash write, then cleared")
        percents = [b for a, b in states if a == 1]
        self.assertTrue(percents and percents == sorted(percents), states)


if __name__ == "__main__":
    unittest.main()
