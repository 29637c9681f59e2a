"""A production station: one stbload flashes a box on every port, shows each, logs each."""

import csv
import fcntl
import hashlib
import os
import re
import signal
import socket
import time
import unittest
import zlib

from harness import (BANNER, ERASED, ERASING, PROMPT, STREAM_SIZE, ToolTest, finish_tool, hex_text, packet_stream,
                     random_bytes, run_tool, srec_window, start_tool)
from test_download import terminal_screen

HEADER = ["started", "ended", "station", "port", "device", "adapter", "file", "crc32", "sha256", "result",
          "erase_s", "transfer_s", "flash_write_s", "bytes_sent", "reason"]
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

    def check_row(self, row, port, device, result, bytes_sent=1032192, reason=""):
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
        reached = {"completed": 3, "lost connection": 2, "interrupted": 1}[result]
        for i, phase in enumerate(("erase_s", "transfer_s", "flash_write_s")):
            if i < reached:
                self.assertRegex(row[phase], r"^\d+\.\d$", what + ": " + phase)
            else:
                self.assertEqual(row[phase], "", what + ": " + phase)

    def wait_for(self, started, text, timeout=30):
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
        station = start_tool(["--station", "7,%s,12,8" % lost.link, str(self.hex_path), "--continuous",
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
        self.assertEqual(sorted(by_port), sorted(["7", str(lost.link), "12", "8"]))
        for row in by_port["7"]:
            self.check_row(row, "7", str(twice.link), "completed")
        self.assertEqual(len(by_port["7"]), 2)
        self.check_row(by_port["12"][0], "12", str(held.link), "completed")
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
        self.assertTrue(out.endswith("totals: 3 completed, 1 failed, 1 interrupted\r\n"), out[-200:])
        # One trace, each line naming its port.
        lines = trace.read_text().splitlines()
        self.assertTrue(any(re.search(r"Z COM7: box: \"want to update", line) for line in lines), lines[:20])
        self.assertTrue(any(re.search(r"Z COM12: transfer done: 64512 packets", line) for line in lines))

    def test_one_box_per_port_on_a_terminal_and_what_stops_a_station_first(self):
        sims = [self.sim(name="com%d" % port) for port in (7, 9)]
        env = {"STBLOAD_COM7": str(sims[0].link), "STBLOAD_COM9": str(sims[1].link), "TERM": "dumb"}
        run = run_tool(["--station", "7,9", str(self.hex_path)], env, terminal=True, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-300:])
        screen = terminal_screen(run.out)
        rows = [line for line in screen if line.startswith("COM")]
        self.assertEqual(len(rows), 2, screen)
        for row in rows:
            self.assertRegex(row, r"^COM([79]) +\S*com\1 +completed in 0:0\d +1 +0$")
        self.assertIn("totals: 2 completed, 0 failed, 0 interrupted", screen)
        self.assertEqual(sorted(row["result"] for row in self.rows()), ["completed", "completed"])
        for sim in sims:
            self.assertSameBytes(sim.received(), self.stream)
        # Before any port is opened: two names for one port, a log that cannot be made, a file that is not hex.
        (self.dir / "notes.txt").write_text("hello\n")
        cases = [
            (["7,COM7", str(self.hex_path)], 2, "7 and COM7 name one port"),
            (["7,9,7", str(self.hex_path)], 2, "port 7 is named twice"),
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


if __name__ == "__main__":
    unittest.main()
