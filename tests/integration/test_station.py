"""A production station: one stbload flashes a box on every port, shows each, logs each."""

import csv
import datetime
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import unittest
import zlib

from harness import (BANNER, ERASED, ERASING, PROMPT, STBLOAD, STREAM_SIZE, ToolTest, final_totals, finish_tool, hex_text, packet_stream,
                     random_bytes, run_tool, srec_window, start_tool)
from test_download import terminal_screen, pyte_module

HEADER = ["started", "ended", "station", "port", "device", "adapter", "file", "crc32", "sha256", "result",
          "erase_s", "transfer_s", "flash_write_s", "bytes_sent", "reason", "job", "box_id", "unique", "box_crc32",
          "boot", "approval", "operator", "work_order"]
UTC = r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$"
BOX = ["send " + PROMPT, "expect_y", "send " + ERASING, "sleep 100", "send " + ERASED, "receive",
       "send Data received.\\n", "send_repeat 600 .", "send @"]


class Station(ToolTest):

    def setUp(self):
        super().setUp()
        blocks = [(0x0000, random_bytes(0x6000, 61)), (0x34567, random_bytes(5000, 62))]
        self.hex_path = self.write_hex("fw.hex", hex_text(blocks))
        self.window = srec_window(self.hex_path, self.dir)
        self.stream = b"y" + packet_stream(self.window)
        self.log_path = self.dir / "stbload-station.csv"

    def rows(self):
        with open(self.log_path, newline="") as log:
            rows = list(csv.reader(log))
        self.assertEqual(rows[0], HEADER)
        return [dict(zip(HEADER, row)) for row in rows[1:]]

    def check_row(self, row, port, device, result, bytes_sent=1032192, reason="", reached=None):
        what = "%s: %r" % (port, row)
        self.assertEqual((row["port"], row["device"], row["result"], row["reason"]), (port, device, result, reason),
                         what)
        self.assertRegex(row["started"], UTC, what)
        self.assertRegex(row["ended"], UTC, what)
        self.assertLessEqual(row["started"], row["ended"], what)
        self.assertEqual((row["station"], row["adapter"], row["file"]), (socket.gethostname(), "", str(self.hex_path)))
        self.assertEqual(row["crc32"], "0x%08X" % zlib.crc32(self.window), what)
        self.assertEqual(row["sha256"], hashlib.sha256(self.window).hexdigest(), what)
        if bytes_sent is not None:
            self.assertEqual(int(row["bytes_sent"]), bytes_sent, what)
        if reached is None:
            reached = {"completed": 3, "lost connection": 2, "interrupted": 1}[result]
        for i, phase in enumerate(("erase_s", "transfer_s", "flash_write_s")):
            if i < reached:
                self.assertRegex(row[phase], r"^\d+\.\d$", what + ": " + phase)
            else:
                self.assertEqual(row[phase], "", what + ": " + phase)

    def wait_for(self, started, text, timeout=90):
        deadline = time.monotonic() + timeout
        while text not in started.out():
            self.assertLess(time.monotonic(), deadline, "the station never printed %r: %r" % (text, started.out()))
            time.sleep(0.02)

    def test_four_ports_box_after_box(self):
        # COM7: two boxes, the first asking again as soon as it has written its flash.
        twice = self.sim(name="com7", script="\n".join(
            ["wait_config"] + BOX + ["send " + PROMPT, "drain 1500", "save", "sleep 500"] + BOX
            + ["drain 300", "save", "mark second", "linger"]))
        # A box whose line goes in the middle of the transfer, by its device path.
        lost = self.sim(name="lost", script="\n".join(["wait_config"] + BOX[:5] + ["receive 300000", "close"]))
        # COM12: held by another program at the start.
        held = self.sim(name="com12")
        holder = os.open(str(held.link), os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # COM8: a box still erasing when the station is stopped.
        erasing = self.sim(name="com8", script="\n".join(["wait_config"] + BOX[:3] + ["mark erasing", "sleep 60000"]))
        trace = self.dir / "trace.log"
        env = {"STBLOAD_COM7": str(twice.link), "STBLOAD_COM8": str(erasing.link), "STBLOAD_COM12": str(held.link),
               "STBLOAD_TRACE": str(trace)}
        station = start_tool(["--station", "7,%s,com12,8" % lost.link, str(self.hex_path), "--continuous",
                              "--rearm-quiet", "1"], env, cwd=self.dir)
        try:
            self.wait_for(station, b"COM12 cannot open: held by another program\r\n")
        finally:
            os.close(holder)
        twice.wait_mark("second")
        erasing.wait_mark("erasing")
        self.wait_for(station, b"COM12 completed in ")
        self.wait_for(station, b"failed: lost connection")
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        for sim in (twice, held, erasing):
            sim.stop()
        self.assertEqual(run.status, 1, "a box failed and one was interrupted")
        self.assertEqual(run.err, b"")

        # Every box byte for byte: one 'y' each, so the question after the flash write went unanswered.
        for box in (".1", ".2"):
            self.assertSameBytes(twice.rx_path.with_name("com7.rx" + box).read_bytes(), self.stream, "COM7 box" + box)
        self.assertSameBytes(held.received(), self.stream, "COM12's box")
        self.assertSameBytes(lost.received(), self.stream[:1 + 300000], "the lost box")

        rows = self.rows()
        by_port = {}
        for row in rows:
            by_port.setdefault(row["port"], []).append(row)
        self.assertEqual(sorted(by_port), sorted(["7", str(lost.link), "com12", "8"]))
        for row in by_port["7"]:
            self.check_row(row, "7", str(twice.link), "completed")
        self.assertEqual(len(by_port["7"]), 2)
        self.check_row(by_port["com12"][0], "com12", str(held.link), "completed")
        lost_row = by_port[str(lost.link)][0]
        self.check_row(lost_row, str(lost.link), str(lost.link), "lost connection", bytes_sent=None,
                       reason=lost_row["reason"])
        self.assertIn(lost_row["reason"], ("the device hung up", "Input/output error"))
        self.assertTrue(300000 // 20 * 16 <= int(lost_row["bytes_sent"]) < 1032192, lost_row)
        self.check_row(by_port["8"][0], "8", str(erasing.link), "interrupted", bytes_sent=0,
                       reason="the station was stopped")

        # The plain screen: a line per event, each with its time and port; the totals at the end.
        out = run.out.decode()
        self.assertTrue(out.startswith(BANNER.decode() + "station: 4 ports, box after box, file %s\r\n"
                                       % self.hex_path), out[:300])
        self.assertIn("CRC-32 0x%08X\r\n" % zlib.crc32(self.window), out)
        events = re.findall(r"^\d{4}-\d\d-\d\dT[\d:.]+Z (\S+) (.*)\r$", out, re.M)
        self.assertEqual([text for port, text in events if port == "COM7" and text.startswith("completed")],
                         ["completed in 0:0%s" % n for n in re.findall(r"COM7 completed in 0:0(\d)", out)])
        self.assertEqual(len([1 for port, text in events if port == "COM7" and text == "box started"]), 2)
        self.assertIn(("COM8", "interrupted"), events)
        self.assertIn((str(lost.link), "failed: lost connection (%s)" % lost_row["reason"]), events)
        self.assertRegex(run.out, final_totals(3, 1, 1))
        # One trace, each line naming its port.
        lines = trace.read_text().splitlines()
        self.assertTrue(any(re.search(r"Z COM7: box: \"want to update", line) for line in lines), lines[:20])
        self.assertTrue(any(re.search(r"Z COM12: transfer done: 64512 packets", line) for line in lines))
        self.assertTrue(any(re.search(r"Z COM7: box: '@' after \d+ bytes, the flash is written", line) for line in lines))
        # A box lost mid-transfer never reached the flash write, and its trace says no such thing.
        lost_lines = [line for line in lines if " %s: " % lost.link in line]
        self.assertTrue(any("transfer stopped" in line for line in lost_lines), lost_lines)
        self.assertFalse(any(re.search(r"flash (was|is) written", line) for line in lost_lines), lost_lines)

    def test_one_box_per_port_on_a_terminal_and_what_stops_a_station_first(self):
        sims = [self.sim(name="com%d" % port) for port in (7, 9)]
        env = {"STBLOAD_COM7": str(sims[0].link), "STBLOAD_COM9": str(sims[1].link), "TERM": "dumb"}
        run = run_tool(["--station", "7,9", str(self.hex_path)], env, terminal=True, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-300:])
        screen = terminal_screen(run.out)
        rows = [line for line in screen if line.startswith("COM")]
        self.assertEqual(len(rows), 2, screen)
        for row in rows:
            self.assertRegex(row, r"^COM([79]) +\S*com\1 +completed in 0:0\d +1 +0 +0$")
        # One totals line at the end: the block's own gives way to it.
        totals = [line for line in screen if line.startswith("totals:")]
        self.assertEqual(len(totals), 1, screen)
        self.assertRegex((totals[0] + "\r\n").encode(), final_totals(2, 0, 0))
        self.assertEqual(sorted(row["result"] for row in self.rows()), ["completed", "completed"])
        for sim in sims:
            sim.finish()
            self.assertSameBytes(sim.received(), self.stream)
        # Before any port is opened: two names for one port, a log that cannot be made, a file that is not hex.
        (self.dir / "notes.txt").write_text("hello\n")
        cases = [
            (["7,COM7", str(self.hex_path)], 2, "7 and COM7 name one port"),
            (["7,9,7", str(self.hex_path)], 2, "port 7 is named twice"),
            (["COM7-9", str(self.hex_path)], 2, '"COM7-9" names no port'),
            (["7, 9", str(self.hex_path)], 2, '" 9" names no port'),
            (["7,ttyUSB0", str(self.hex_path)], 2, '"ttyUSB0" names no port: the device is /dev/ttyUSB0'),
            (["7-", str(self.hex_path)], 2, '"7-" names no port'),
            (["7,usb:", str(self.hex_path)], 2, '"usb:" names no adapter'),
            (["7", str(self.hex_path), "--log", str(self.dir / "no" / "log.csv")], 1, "No such file or directory"),
            (["7", str(self.dir / "notes.txt")], 1, "cannot be part of an Intel HEX record"),
            (["7", str(self.hex_path), "--rearm-quiet", "2"], 2, "--rearm-quiet goes with --continuous"),
        ]
        sim = self.sim(name="untouched", script="wait_config\nlinger")
        for args, status, reason in cases:
            with self.subTest(args=args):
                run = run_tool(["--station", *args], {"STBLOAD_COM7": str(sim.link), "STBLOAD_COM9": None},
                               cwd=self.dir)
                self.assertEqual(run.status, status, run.out)
                self.assertIn(reason, run.err.decode())
        sim.stop()
        self.assertEqual(sim.received(), b"", "no port was answered")

    def test_a_torn_last_row_and_a_killed_station_leave_whole_rows(self):
        # Durability rule D6 (records/durability.h).
        self.log_path.write_text(",".join(HEADER) + "\r\n2026-01-01T00:00:00.000Z,2026-01-01T00")  # a power cut
        sim = self.sim(name="com7")
        run = run_tool(["--station", "7", str(self.hex_path)], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0)
        text = self.log_path.read_bytes()
        self.assertIn(b"T00\r\n20", text, "the next row starts on a line of its own")
        rows = self.rows()
        self.assertEqual(len(rows), 2)
        self.check_row(rows[1], "7", str(sim.link), "completed")
        # Killed mid-transfer: nothing of the box, and no part of a row.
        slow = self.sim(name="slow", args=("--pace",))
        station = start_tool(["--station", "7", str(self.hex_path)], {"STBLOAD_COM7": str(slow.link)}, cwd=self.dir)
        self.wait_for(station, b"box started")
        time.sleep(0.5)
        station.process.kill()
        finish_tool(station)
        self.assertEqual(self.log_path.read_bytes(), text)

    def test_ctrl_c_ends_a_write_the_box_no_longer_takes(self):
        # The box stops reading part way, as a line that flow control holds:
        # the station's write then waits for room that never comes.
        def stalled_box(name):
            return self.sim(name=name, script="\n".join(["wait_config"] + BOX[:5]
                                                         + ["receive 60000", "mark stalled", "sleep 60000"]))
        sim = stalled_box("com7")
        station = start_tool(["--station", "7", str(self.hex_path)], {"STBLOAD_COM7": str(sim.link), "TERM": "xterm"},
                             cwd=self.dir, err_terminal=True)
        sim.wait_mark("stalled")
        time.sleep(1)  # the line's queue fills, and the write blocks
        station.process.send_signal(signal.SIGINT)
        stopped = time.monotonic()
        run = finish_tool(station, timeout=60)
        # Within a second on an idle machine; the bound only tells a stop from a write that never ends.
        self.assertLess(time.monotonic() - stopped, 20, "the station took too long to stop")
        self.assertEqual(run.status, 1)
        self.assertTrue(run.err.endswith(b"\x1b[23;0t"), "the title put back: %r" % run.err[-40:])
        row, = self.rows()
        self.check_row(row, "7", str(sim.link), "interrupted", bytes_sent=None, reason="the station was stopped",
                       reached=2)
        self.assertTrue(60000 // 20 * 16 <= int(row["bytes_sent"]) < 1032192, row)
        self.assertIn("interrupted", run.out.decode())

        # A second interrupt does not wait for the ports: exit status 130 at once, the title put back.
        self.log_path.unlink()
        sim = stalled_box("com8")
        station = start_tool(["--station", "8", str(self.hex_path)], {"STBLOAD_COM8": str(sim.link), "TERM": "xterm"},
                             cwd=self.dir, err_terminal=True)
        sim.wait_mark("stalled")
        station.process.send_signal(signal.SIGINT)
        station.process.send_signal(signal.SIGTERM)
        run = finish_tool(station, timeout=60)
        self.assertEqual(run.status, 130)
        self.assertTrue(run.err.endswith(b"\x1b[23;0t"), run.err[-40:])

    def test_a_stalled_box_and_an_endless_flash_write_free_their_ports_beside_one_that_works(self):
        stalled = self.sim(name="com7", script="\n".join(["wait_config"] + BOX[:5] + ["receive 60000", "mark stalled",
                                                                                     "sleep 60000"]))
        endless = self.sim(name="com8", script="\n".join(["wait_config"] + BOX[:6] + [
            "send Data received.\\n", "send_repeat 100 .", "mark writing", "sleep 60000"]))
        working = self.sim(name="com9", script="\n".join(["wait_config"] + [
            step for box in range(2) for step in BOX + ["drain 600", "save", "mark box%d" % box, "sleep 300"]]
            + ["linger"]))
        env = {"STBLOAD_COM%d" % n: str(sim.link) for n, sim in ((7, stalled), (8, endless), (9, working))}
        station = start_tool(["--station", "7-9", str(self.hex_path), "--continuous", "--rearm-quiet", "0.5",
                              "--stall", "2", "--flash-write-max", "3"], env, cwd=self.dir)
        self.wait_for(station, b"COM7 failed: timed out (stalled: the box took no data for 2 s)")
        self.wait_for(station, b"COM8 failed: timed out (the box did not confirm its flash write within 3 s)")
        working.wait_mark("box1")
        self.wait_for(station, b"COM9 completed in")
        while station.out().count(b"COM9 completed in") < 2:
            time.sleep(0.05)
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        self.assertEqual(run.status, 1, run.out[-400:])
        rows = self.rows()
        by_port = {}
        for row in rows:
            by_port.setdefault(row["port"], []).append(row)
        self.assertEqual([(r["result"], r["reason"]) for r in by_port["7"]],
                         [("timed out", "stalled: the box took no data for 2 s")])
        self.assertEqual([(r["result"], r["reason"]) for r in by_port["8"]],
                         [("timed out", "the box did not confirm its flash write within 3 s")])
        self.assertEqual(int(by_port["8"][0]["bytes_sent"]), 1032192)
        self.assertEqual([r["result"] for r in by_port["9"]], ["completed", "completed"])
        # Each port was let go of and taken again: the stalled one re-armed at once.
        self.assertRegex(run.out, final_totals(2, 2, 0))
        for box in (1, 2):
            self.assertSameBytes(working.image_path.with_name(working.image_path.name + ".%d" % box).read_bytes(),
                                 self.window, "COM9's box %d" % box)

    def test_resetting_one_port_from_the_screen(self):
        # COM7's box never confirms its flash write; reset, the port takes the box that comes next.
        stuck = self.sim(name="com7", script="\n".join(["wait_config"] + BOX[:6] + [
            "send Data received.\\n", "mark stuck", "wait_go", "reset"] + BOX + ["linger"]))
        other = self.sim(name="com8", script="\n".join(["wait_config"] + BOX + ["linger"]))
        env = {"STBLOAD_COM7": str(stuck.link), "STBLOAD_COM8": str(other.link), "TERM": "dumb"}
        station = start_tool(["--station", "7,8", str(self.hex_path)], env, terminal=True, keys=True, cwd=self.dir)
        screen = pyte_module().Screen(80, 24)
        stream = pyte_module().ByteStream(screen)
        fed = 0

        def wait_screen(pattern):
            nonlocal fed
            deadline = time.monotonic() + 90
            while True:
                out = station.out()
                stream.feed(out[fed:])
                fed = len(out)
                shown = [line.rstrip() for line in screen.display]
                if any(re.search(pattern, line) for line in shown):
                    return shown
                self.assertLess(time.monotonic(), deadline, "never shown: %s; the screen: %s" % (pattern, shown))
                self.assertIsNone(station.process.poll(), "the station ended: %s" % shown)
                time.sleep(0.05)

        stuck.wait_mark("stuck")
        shown = wait_screen(r"^COM7 .*writing flash \d+ s")
        self.assertEqual(shown[-1] if shown[-1] else [line for line in shown if line][-1],
                         "to reset one port, type its name (COM7 or 7) and Enter")
        station.type_keys(b"9\r")
        wait_screen(r"^no port 9 in this station$")
        station.type_keys(b"com")
        wait_screen(r"^reset a port: com_$")
        station.type_keys(b"7\r")
        wait_screen(r"^COM7 reset: its box failed, and the port takes the next one$")
        wait_screen(r"^COM7 .*waiting for a box +0 +1 +0$")  # counted as failed, and waiting for the next box
        stuck.go()
        run = finish_tool(station)
        self.assertEqual(run.status, 1, run.out[-400:])
        stuck.finish()
        other.finish()
        rows = sorted(self.rows(), key=lambda row: (row["port"], row["started"]))
        self.assertEqual([(r["port"], r["result"], r["reason"]) for r in rows],
                         [("7", "reset", "reset by the operator"), ("7", "completed", ""), ("8", "completed", "")])
        self.assertSameBytes(stuck.image(), self.window, "the box after the reset")
        self.assertSameBytes(other.image(), self.window, "the other port's box")

    def test_a_station_under_nohup_survives_the_logout_and_stops_at_sigterm(self):
        erasing = ["wait_config", "send " + PROMPT, "expect_y", "send " + ERASING, "mark erasing", "sleep 500"]
        sim = self.sim(name="com7", script="\n".join(erasing + BOX[4:] + ["linger"]))
        station = start_tool(["--station", "7", str(self.hex_path)], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir,
                             ignore_signals=("HUP",))
        sim.wait_mark("erasing")
        station.process.send_signal(signal.SIGHUP)  # the logout
        run = finish_tool(station)
        self.assertEqual(run.status, 0, run.out[-300:])
        sim.finish()
        self.assertSameBytes(sim.received(), self.stream)
        self.check_row(self.rows()[0], "7", str(sim.link), "completed")

        # SIGTERM (a shutdown) still stops it: the box in progress is logged, the title put back.
        sim = self.sim(name="com8", script="\n".join(erasing + ["sleep 60000"]))
        station = start_tool(["--station", "8", str(self.hex_path)], {"STBLOAD_COM8": str(sim.link), "TERM": "xterm"},
                             cwd=self.dir, ignore_signals=("HUP",), err_terminal=True)
        sim.wait_mark("erasing")
        station.process.send_signal(signal.SIGTERM)
        run = finish_tool(station)
        self.assertEqual(run.status, 1)
        self.assertTrue(run.err.endswith(b"\x1b[23;0t"), run.err[-40:])
        self.check_row(self.rows()[1], "8", str(sim.link), "interrupted", bytes_sent=0,
                       reason="the station was stopped")

    def test_a_row_the_full_disk_refuses_is_written_once_when_there_is_room(self):
        # Durability rule D5 (records/durability.h).
        self.assertEqual(os.geteuid(), 0, "this test mounts a small tmpfs: run it as root (CI does)")
        disk = self.dir / "disk"
        disk.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "stbload-test", str(disk)], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(disk)])
        log = disk / "station.csv"
        # The header and an old row leave 40 bytes of the file's last page: a
        # new row fills them and then meets the full disk, part way.
        header = ",".join(HEADER) + "\r\n"
        old = ("2026-01-01T00:00:00.000Z,2026-01-01T00:01:00.000Z,%s,1,/dev/old,,old.hex,0x00000000,,completed,"
               "1.0,1.0,1.0,1032192,,,,,,\r\n")
        old = old % ("x" * (4096 - 40 - len(header) - len(old % "")))
        log.write_text(header + old, newline="")
        before = log.read_bytes()
        self.assertEqual(len(before), 4096 - 40)
        filler = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass
        os.close(filler)

        sim = self.sim(name="com7")
        station = start_tool(["--station", "7", str(self.hex_path), "--continuous", "--log", str(log)],
                             {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
        self.wait_for(station, b"rows waiting, tried again every 2 s")
        self.assertIn(b"log: cannot write %s (No space left on device); 1 rows waiting" % bytes(log), station.out())
        self.assertEqual(log.read_bytes(), before, "nothing of the row stays")
        (disk / "filler").unlink()
        room = time.monotonic()
        while log.read_bytes() == before:
            self.assertLess(time.monotonic() - room, 10, "the row never came once there was room")
            time.sleep(0.05)
        self.assertLess(time.monotonic() - room, 5, "tried again every 2 s")
        time.sleep(2.5)  # another round of tries: none may write it again
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        self.assertEqual(run.status, 0, run.out[-300:])
        self.assertEqual(run.err, b"")
        self.log_path = log
        rows = self.rows()
        self.assertEqual(len(rows), 2, rows)
        self.check_row(rows[1], "7", str(sim.link), "completed")
        self.assertTrue(log.read_bytes().startswith(before) and log.read_bytes().endswith(b"\r\n"))

    def test_a_row_whose_sync_failed_is_cut_back_and_written_once(self):
        # Durability rule D5 (records/durability.h).
        # A disk that loses the row's write: the sync says so, the row must not stay half-trusted in the
        # file, and the retry writes it once.
        shim = os.environ.get("STBLOAD_FAIL_FSYNC_LIB", str(STBLOAD.parent / "tests" / "libfail_fsync.so"))
        self.assertTrue(os.path.exists(shim), "the fsync shim is missing: build the tests")
        self.log_path.write_text(",".join(HEADER) + "\r\n", newline="")
        sim = self.sim(name="com7")
        asan = os.environ.get("ASAN_OPTIONS", "")
        env = {"STBLOAD_COM7": str(sim.link), "LD_PRELOAD": shim, "STBLOAD_FAIL_FSYNC": "stbload-station.csv:1",
               "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}
        run = run_tool(["--station", "7", str(self.hex_path)], env, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-400:])
        self.assertIn(b"log: cannot write stbload-station.csv (Input/output error); 1 rows waiting", run.out)
        sim.finish()
        row, = self.rows()
        self.check_row(row, "7", str(sim.link), "completed")
        self.assertEqual(self.log_path.read_bytes().count(b"\r\n"), 2)

    def test_thirty_two_ports_fit_an_80_by_24_screen(self):
        ports = range(1, 33)
        sims = {n: self.sim(name="com%d" % n, args=("--erase-ms", "50")) for n in ports}
        env = {"STBLOAD_COM%d" % n: str(sim.link) for n, sim in sims.items()}
        run = run_tool(["--station", "1-32", str(self.hex_path)], {**env, "TERM": "dumb"}, terminal=True,
                       cwd=self.dir, timeout=240)
        self.assertEqual(run.status, 0, run.out[-500:])
        for sim in sims.values():
            sim.finish()
            self.assertSameBytes(sim.received(), self.stream)
        pyte = pyte_module()
        screen = pyte.HistoryScreen(80, 24, history=10000)
        pyte.ByteStream(screen).feed(run.out)
        scrolled = ["".join(line[x].data for x in range(80)).rstrip() for line in screen.history.top]
        # Only the lines before the block ever scroll away; the block is redrawn in place.
        before_block = run.out[:run.out.index(b"%s, CRC-32" % bytes(self.hex_path))].decode().split("\r\n")
        self.assertEqual(scrolled, before_block[:len(scrolled)])
        shown = [line.rstrip() for line in screen.display]
        cells = [line for line in shown if line.startswith("COM")]
        self.assertEqual(len(cells), 16, shown)
        labels = [cell.split()[0] for line in cells for cell in re.findall(r"COM\d+ +completed in \d:\d\d +1 +0 +0", line)]
        self.assertEqual(sorted(labels), sorted("COM%d" % n for n in ports), shown)
        # The totals the station ends with, fitting 80 columns: once, the block's own gives way to them.
        self.assertEqual(len([line for line in shown if line.startswith("totals:")]), 1, shown)
        self.assertRegex(([line for line in shown if line][-1] + "\r\n").encode(), final_totals(32, 0, 0))

    def test_line_noise_is_no_box_and_times_are_utc(self):
        # An idle line that prints an application's log, then a box: the box
        # starts with its loader's request, not with the noise.
        noisy = self.sim(name="com7", script="\n".join(
            ["wait_config", 'send "app: tick 1\\n"', "sleep 300", 'send "app: tick 2\\n"', "sleep 1200",
             "mark prompt"] + BOX + ["drain 300", "mark done", "linger"]))
        # A line with noise alone, gone again: a port lost, no box.
        gone = self.sim(name="com8", script="\n".join(["wait_config", 'send "garbage\\n"', "sleep 300", "close"]))
        trace = self.dir / "trace.log"
        # A zone far from UTC: every time written must still be UTC.
        env = {"STBLOAD_COM7": str(noisy.link), "STBLOAD_COM8": str(gone.link), "TZ": "EST+5",
               "STBLOAD_TRACE": str(trace)}
        begun = datetime.datetime.now(datetime.timezone.utc)
        station = start_tool(["--station", "--continuous", "--rearm-quiet", "0.5", "7,8", str(self.hex_path)], env,
                             cwd=self.dir)
        noisy.wait_mark("done")
        self.wait_for(station, b"COM8 port lost")
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        ended = datetime.datetime.now(datetime.timezone.utc)
        self.assertEqual(run.status, 0, run.out[-300:])
        prompt = datetime.datetime.fromtimestamp(os.stat(str(noisy.link) + ".prompt").st_mtime, datetime.timezone.utc)

        def utc(text):
            return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)

        row, = self.rows()
        self.check_row(row, "7", str(noisy.link), "completed")
        self.assertTrue(prompt - datetime.timedelta(milliseconds=5) <= utc(row["started"]) <= utc(row["ended"]) <= ended,
                        "%s: the box's start is its request (%s), in UTC" % (row, prompt))
        events = re.findall(r"^(\S+) (COM\d) (.*)\r$", run.out.decode(), re.M)
        self.assertEqual([text for _, port, text in events if port == "COM7"][:2], ["opened %s" % noisy.link,
                                                                                   "box started"])
        started, = [utc(time) for time, port, text in events if text == "box started"]
        self.assertTrue(prompt - datetime.timedelta(milliseconds=5) <= started, (started, prompt))
        self.assertNotIn(("COM8", "box started"), [(port, text) for _, port, text in events])
        self.assertIn("port lost: ", " ".join(text for _, port, text in events if port == "COM8"))
        # The trace: every line in UTC, the ports named as given, whatever came before them.
        lines = trace.read_text().splitlines()
        self.assertIn("station on 7,8, file %s" % self.hex_path, lines[0])
        for line in lines:
            self.assertTrue(begun - datetime.timedelta(seconds=1) <= utc(line.split()[0]) <= ended, line)

    def test_the_row_is_on_the_disk_before_the_end_is_shown(self):
        # Durability rule D2 (records/durability.h).
        strace = shutil.which("strace")
        self.assertIsNotNone(strace, "strace is missing (scripts/install-deps test installs it)")
        sim = self.sim(name="com7")
        calls = self.dir / "calls.txt"
        # LeakSanitizer cannot work under ptrace: a sanitized tool checks for leaks elsewhere.
        asan = os.environ.get("ASAN_OPTIONS", "")
        env = {"STBLOAD_COM7": str(sim.link), "ASAN_OPTIONS": (asan + ":" if asan else "") + "detect_leaks=0"}
        run = run_tool(["--station", "7", str(self.hex_path), "--events", "events.json"], env, cwd=self.dir,
                       program=[strace, "-f", "-qq", "-s", "300", "-e", "trace=openat,write,fsync", "-o", str(calls),
                                str(STBLOAD)])
        self.assertEqual(run.status, 0, run.out[-300:])
        lines = calls.read_text().splitlines()

        def opened(name):
            fd, = {m.group(1) for line in lines for m in [re.search(r'openat\(.*%s.*= (\d+)$' % re.escape(name), line)]
                   if m}
            return fd

        log_fd, events_fd = opened("stbload-station.csv"), opened("events.json")
        row = next(i for i, line in enumerate(lines) if re.search(r"write\(%s, \"20.*completed" % log_fd, line))
        synced = next(i for i, line in enumerate(lines) if i > row and
                      re.search(r"(fsync\(%s\)|<\.\.\. fsync resumed>\)) += 0" % log_fd, line))
        shown = next(i for i, line in enumerate(lines) if re.search(r'write\(1, ".*COM7 completed in', line))
        self.assertLess(synced, shown, "the screen showed the box's end before its row was on the disk")
        ended = next(i for i, line in enumerate(lines) if re.search(r'write\(%s, .*event\\":\\"completed' % events_fd, line))
        self.assertLess(synced, ended, "the events file had the box's end before its row was on the disk")
        # Each event reaches the file as it happens, one write each: the box's start long before its end.
        started = next(i for i, line in enumerate(lines) if re.search(r'write\(%s, .*box started' % events_fd, line))
        self.assertLess(started, row, "the box's start reached the events file only with its end")
        opened_at = next(i for i, line in enumerate(lines) if re.search(r'openat\(.*events\.json', line))
        writes = [line for line in lines[opened_at:] if re.match(r"(\d+ +)?write\(%s, " % events_fd, line)]
        self.assertEqual(len(writes), len((self.dir / "events.json").read_text().splitlines()), writes)

    def test_colours_and_a_bell_for_each_failed_box_on_a_terminal(self):
        rounds = iter(range(10))

        def bench():
            # Fresh names each round: a simulator of the round before removes its link when it ends.
            round_number = next(rounds)
            good = self.sim(name="com7-%d" % round_number)
            bad = [self.sim(name="com%d-%d" % (port, round_number),
                            script="\n".join(["wait_config"] + BOX[:5] + ["receive 2000", "close"]))
                   for port in (8, 9)]
            return {"STBLOAD_COM7": str(good.link), "STBLOAD_COM8": str(bad[0].link), "STBLOAD_COM9": str(bad[1].link)}
        green, red = b"\x1b[32m", b"\x1b[31m"
        run = run_tool(["--station", "7-9", str(self.hex_path)], {**bench(), "TERM": "xterm"}, terminal=True,
                       cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertRegex(run.out, rb"\x1b\[32mCOM7 .*completed in 0:0\d +1 +0 +0\x1b\[0m")
        self.assertRegex(run.out, rb"\x1b\[31mCOM8 .*failed: lost connection +0 +1 +0\x1b\[0m")
        self.assertRegex(run.out, rb"\x1b\[31mtotals: 1 completed, 2 failed, 0 interrupted; yield 33\.3 %[^\x1b]*\x1b\[0m\r\n$")
        self.assertEqual(run.out.count(b"\a"), 2, "one bell for each failed box")
        # The same bench with the bell off, with NO_COLOR, with TERM=dumb, and on a pipe.
        for env, terminal, args in (({"TERM": "xterm"}, True, ["--no-bell"]), ({"TERM": "xterm", "NO_COLOR": "1"}, True, []),
                                    ({"TERM": "dumb"}, True, []), ({"TERM": "xterm"}, False, [])):
            with self.subTest(env=env, terminal=terminal, args=args):
                self.log_path.unlink()
                run = run_tool(["--station", "7-9", str(self.hex_path), *args], {**bench(), **env}, terminal=terminal,
                               cwd=self.dir)
                self.assertEqual(run.status, 1)
                self.assertEqual(run.out.count(b"\a"), 2 if args == [] and terminal else 0)
                if args == ["--no-bell"]:
                    self.assertIn(green, run.out)
                else:
                    self.assertNotIn(green, run.out)
                    self.assertNotIn(red, run.out)

    def test_the_final_totals_are_red_when_a_box_was_interrupted(self):
        done = self.sim(name="com7")
        stopped = self.sim(name="com8", script="\n".join(["wait_config"] + BOX[:5] + ["receive 20000", "mark midway",
                                                                                     "sleep 60000"]))
        station = start_tool(["--station", "7,8", str(self.hex_path)],
                             {"STBLOAD_COM7": str(done.link), "STBLOAD_COM8": str(stopped.link), "TERM": "xterm"},
                             terminal=True, cwd=self.dir)
        stopped.wait_mark("midway")
        self.wait_for(station, b"completed in")
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        self.assertEqual(run.status, 1)
        self.assertRegex(run.out, rb"\x1b\[31mtotals: 1 completed, 0 failed, 1 interrupted; [^\x1b]*\x1b\[0m\r\n$")

    def test_events_as_json_lines_match_the_log(self):
        good = self.sim(name="com7")
        lost = self.sim(name="com8", script="\n".join(["wait_config"] + BOX[:5] + ["receive 30000", "close"]))
        held = self.sim(name="com9")
        holder = os.open(str(held.link), os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        env = {"STBLOAD_COM7": str(good.link), "STBLOAD_COM8": str(lost.link), "STBLOAD_COM9": str(held.link)}
        events_path = self.dir / "events.jsonl"
        station = start_tool(["--station", "7,8,9", str(self.hex_path), "--events", str(events_path)], env, cwd=self.dir)
        self.wait_for(station, b"COM9 cannot open")
        os.close(holder)
        run = finish_tool(station, timeout=60)
        self.assertEqual(run.status, 1)
        events = [json.loads(line) for line in events_path.read_text().splitlines()]
        for event in events:
            self.assertRegex(event["time"], UTC)
            self.assertEqual(event["station"], socket.gethostname())
            self.assertIn(event["event"], {"opened", "cannot open", "box started", "completed", "failed",
                                           "interrupted", "remove the box", "port lost", "back", "numbers used up"})
        by_port = {}
        for event in events:
            by_port.setdefault(event["port"], []).append(event["event"])
        self.assertEqual(by_port["7"], ["opened", "box started", "completed"])
        self.assertEqual(by_port["8"], ["opened", "box started", "failed"])
        self.assertEqual(by_port["9"], ["cannot open", "opened", "box started", "completed"])
        cannot = next(e for e in events if e["event"] == "cannot open")
        self.assertEqual((cannot["device"], cannot["reason"]), (str(held.link), "held by another program"))
        # A box's end carries its log row, column by column.
        rows = self.rows()
        ends = [e for e in events if e["event"] in ("completed", "failed")]
        self.assertEqual(len(ends), len(rows))
        for event in ends:
            row, = [r for r in rows if r["port"] == event["port"]]
            for column in HEADER:
                want = row[column]
                if column in ("erase_s", "transfer_s", "flash_write_s"):
                    want = float(want) if want else None
                elif column == "bytes_sent":
                    want = int(want)
                self.assertEqual(event[column], want, column)
            self.assertEqual(event["percent"], int(row["bytes_sent"]) * 100 // 1032192)
        # With --events -, standard output holds the events alone.
        self.log_path.unlink()
        sim = self.sim(name="com6")
        run = run_tool(["--station", "6", str(self.hex_path), "--events", "-"], {"STBLOAD_COM6": str(sim.link)},
                       cwd=self.dir)
        self.assertEqual(run.status, 0)
        lines = run.out.decode().splitlines()
        self.assertEqual([json.loads(line)["event"] for line in lines], ["opened", "box started", "completed"])
        self.assertIn(b"station: 1 ports", run.err)
        self.assertRegex(run.err, final_totals(1, 0, 0))


if __name__ == "__main__":
    unittest.main()
