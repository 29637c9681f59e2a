"""Jobs: the image locked to its fingerprint, numbers of its own for every box, the box's own number, its boot."""

import csv
import json
import os
import re
import signal
import time
import unittest
import zlib

from test_download import terminal_screen
from harness import (ERASED, ERASING, PROMPT, ToolTest, final_totals, finish_tool, hex_text, random_bytes, read_only,
                     run_tool, srec_window, start_tool)

HEADER = ["started", "ended", "station", "port", "device", "adapter", "file", "crc32", "sha256", "result",
          "erase_s", "transfer_s", "flash_write_s", "bytes_sent", "reason", "job", "box_id", "unique", "box_crc32",
          "boot", "approval", "operator", "work_order"]
SERIAL_AT, MAC_AT, ID_AT = 0xFF000, 0xFF010, 0x8000E  # the id straddles two packets
BOX = ["send " + PROMPT, "expect_y", "send " + ERASING, "sleep 50", "send " + ERASED, "receive",
       "send Data received.\\n", "send_repeat 600 .", "send @"]


def serial_text(n):
    return "STB%09d" % n


def mac_text(n):
    value = 0x001A2B000000 + n
    return ":".join("%02X" % (value >> shift & 0xFF) for shift in range(40, -8, -8))


def patched(window, serial, mac, box_id):
    """The window a box with these numbers receives, written out by hand."""
    image = bytearray(window)
    image[SERIAL_AT - 0x4000:SERIAL_AT - 0x4000 + 12] = serial_text(serial).encode()
    image[MAC_AT - 0x4000:MAC_AT - 0x4000 + 6] = (0x001A2B000000 + mac).to_bytes(6, "big")
    image[ID_AT - 0x4000:ID_AT - 0x4000 + 4] = box_id.to_bytes(4, "little")
    return bytes(image)


class JobTest(ToolTest):

    def setUp(self):
        super().setUp()
        blocks = [(0x4000, random_bytes(0x5000, 71)), (0x80000, random_bytes(64, 72)), (0xFF000, b"\xaa" * 64)]
        self.hex_path = self.write_hex("fw.hex", hex_text(blocks))
        self.window = srec_window(self.hex_path, self.dir)
        self.crc = zlib.crc32(self.window)

    def job(self, extra="", name="line3.toml", crc=None, unique=True, serial_last=999999999):
        text = '[image]\nfile = "fw.hex"\ncrc32 = "0x%08X"\n' % (self.crc if crc is None else crc)
        if unique:
            text += ('[[unique]]\nname = "serial"\naddress = 0x%X\nformat = "decimal"\nprefix = "STB"\nwidth = 9\n'
                     'first = 1\nlast = %d\n\n'
                     '[[unique]]\nname = "mac"\naddress = 0x%X\nformat = "mac"\nfirst = "00:1A:2B:00:00:00"\n'
                     'last = "00:1A:2B:00:FF:FF"\n\n'
                     '[[unique]]\nname = "id"\naddress = 0x%X\nformat = "u32le"\nfirst = 1000\nlast = 4000000000\n'
                     % (SERIAL_AT, serial_last, MAC_AT, ID_AT))
        path = self.dir / name
        path.write_text(text + extra)
        return path

    def rows(self, log="stbload-station.csv"):
        log = str(log)
        with open(self.dir / log, newline="") as file:
            rows = list(csv.reader(file))
        self.assertEqual(rows[0], HEADER)
        return [dict(zip(HEADER, row)) for row in rows[1:]]

    def numbers(self, row):
        pairs = dict(pair.split("=", 1) for pair in row["unique"].split())
        self.assertEqual(sorted(pairs), ["id", "mac", "serial"], row)
        serial = int(pairs["serial"][3:])
        self.assertEqual(pairs["serial"], serial_text(serial))
        mac = int(pairs["mac"].replace(":", ""), 16) - 0x001A2B000000
        self.assertEqual(pairs["mac"], mac_text(mac))
        return serial, mac, int(pairs["id"])

    def check_box_image(self, image, row):
        """The image a box received against the hex file (srec_cat) with its row's numbers patched in."""
        serial, mac, box_id = self.numbers(row)
        want = patched(self.window, serial, mac, box_id)
        self.assertSameBytes(image, want, "image of %s" % row["unique"])
        self.assertEqual(row["box_crc32"], "0x%08X" % zlib.crc32(want), row)
        self.assertEqual((row["crc32"], row["job"]), ("0x%08X" % self.crc, "line3.toml"), row)
        return serial, mac, box_id

    def wait_for(self, started, text, timeout=60):
        deadline = time.monotonic() + timeout
        while text not in started.out():
            self.assertLess(time.monotonic(), deadline, "the station never printed %r: %r" % (text, started.out()))
            time.sleep(0.02)


class Numbers(JobTest):

    def test_two_ports_three_boxes_each_get_consecutive_numbers_of_their_own(self):
        script = ["wait_config"] + [step for box in range(3) for step in
                                    BOX + ["drain 700", "save", "mark box%d" % box, "sleep 300"]] + ["linger"]
        sims = [self.sim(name="com%d" % port, script="\n".join(script)) for port in (3, 4)]
        self.job('[station]\nports = "3,4"\ncontinuous = true\nrearm_quiet_s = 0.5\n')
        station = start_tool(["--job", "line3.toml", "--station"],
                             {"STBLOAD_COM3": str(sims[0].link), "STBLOAD_COM4": str(sims[1].link)}, cwd=self.dir)
        for sim in sims:
            sim.wait_mark("box2")
        self.wait_for(station, b"COM4 completed")
        while station.out().count(b" completed in ") < 6:
            time.sleep(0.05)
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        self.assertEqual(run.status, 0, run.out[-400:])
        rows = self.rows()
        self.assertEqual(len(rows), 6)
        seen = []
        for port, sim in zip(("3", "4"), sims):
            port_rows = [row for row in rows if row["port"] == port]
            self.assertEqual(len(port_rows), 3)
            for box, row in enumerate(port_rows, 1):
                self.assertEqual(row["result"], "completed", row)
                image = sim.image_path.with_name(sim.image_path.name + ".%d" % box).read_bytes()
                seen.append(self.check_box_image(image, row))
        # Consecutive and never twice: serials 1-6, MACs 0-5, ids 1000-1005.
        self.assertEqual(sorted(seen), [(n, n - 1, 999 + n) for n in range(1, 7)])
        # Each box's end event names its numbers, for the label.
        for serial, mac, box_id in seen:
            self.assertIn("serial=%s mac=%s id=%d" % (serial_text(serial), mac_text(mac), box_id), run.out.decode())
        journal = (self.dir / "line3.numbers").read_text()
        self.assertEqual(len(re.findall(r"^take ", journal, re.M)), 6)
        self.assertEqual(len(re.findall(r"^end .* result=completed$", journal, re.M)), 6)

    def test_every_value_and_id_is_readable_at_80_by_24(self):
        # Two fields and the box's own id: at 80 columns they take a line of their own under the port's row.
        self.job('[identity]\npattern = "S/N: ([0-9A-Z]+)"\n').write_text(
            self.job().read_text().split("[[unique]]\nname = \"id\"")[0] + '[identity]\npattern = "S/N: ([0-9A-Z]+)"\n')
        sims = [self.sim(name="com%d" % port, args=("--serial-line", "S/N: BOX%dQ7\\r\\n" % port)) for port in (3, 4)]
        run = run_tool(["--job", "line3.toml", "--station", "3,4"],
                       {"STBLOAD_COM3": str(sims[0].link), "STBLOAD_COM4": str(sims[1].link), "TERM": "dumb"},
                       terminal=True, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-400:])
        screen = terminal_screen(run.out, 80, 24)
        shown = "\n".join(screen)
        for sim in sims:
            sim.finish()
        for row in self.rows():
            values = "%s box_id=BOX%sQ7" % (row["unique"], row["port"])
            self.assertRegex(row["unique"], r"^serial=STB00000000\d mac=00:1A:2B:00:00:0\d$")
            self.assertIn("\n           " + values + "\n", shown, shown)
        block = screen[next(i for i, line in enumerate(screen) if line.startswith("job line3.toml: ")):]
        for line in block:
            self.assertLessEqual(len(line), 79, block)

    def test_kill_mid_transfer_then_a_new_station_gives_no_number_twice(self):
        # Durability rule D1 (records/durability.h).
        self.job()
        slow = self.sim(name="slow", args=("--pace",))
        station = start_tool(["--job", "line3.toml", "--station", "7"], {"STBLOAD_COM7": str(slow.link)}, cwd=self.dir)
        journal = self.dir / "line3.numbers"
        deadline = time.monotonic() + 60
        while not (journal.exists() and "take " in journal.read_text()):
            self.assertLess(time.monotonic(), deadline, "the box never got its numbers")
            time.sleep(0.05)
        time.sleep(0.3)
        station.process.kill()
        finish_tool(station)
        slow.stop()
        # The killed box's numbers are spent: the next box gets the ones after.
        sim = self.sim(name="com8")
        run = run_tool(["--job", "line3.toml", "--station", "8"], {"STBLOAD_COM8": str(sim.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-300:])
        sim.finish()
        row, = self.rows()
        self.assertEqual(self.check_box_image(sim.image(), row), (2, 1, 1001))

    def test_two_stations_on_one_journal_at_once(self):
        self.job()
        sims = {port: self.sim(name="com%d" % port) for port in (5, 6, 7, 8)}
        env = {"STBLOAD_COM%d" % port: str(sim.link) for port, sim in sims.items()}
        first = start_tool(["--job", "line3.toml", "--station", "5,6", "--log", "a.csv"], env, cwd=self.dir)
        second = start_tool(["--job", "line3.toml", "--station", "7,8", "--log", "b.csv"], env, cwd=self.dir)
        runs = [finish_tool(first, timeout=120), finish_tool(second, timeout=120)]
        for run in runs:
            self.assertEqual(run.status, 0, run.out[-300:])
        rows = self.rows("a.csv") + self.rows("b.csv")
        numbers = []
        for row in rows:
            sim = sims[int(row["port"])]
            sim.finish()
            numbers.append(self.check_box_image(sim.image(), row))
        self.assertEqual(sorted(numbers), [(n, n - 1, 999 + n) for n in range(1, 5)])

    def test_a_range_used_up_answers_no_box(self):
        # Durability rule D1 (records/durability.h).
        self.job(serial_last=2)
        (self.dir / "line3.numbers").write_text("stbload numbers 1\r\ntake 2026-01-01T00:00:00.000Z station=x port=1 "
                                                "serial=STB000000001 mac=00:1A:2B:00:00:00 id=1000\r\n")
        run = run_tool(["--job", "line3.toml", "--check"], cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        self.assertIn(b"serial at 0xFF000: next STB000000002, 1 left of STB000000001 to STB000000002", run.out)
        self.assertIn(b"few left: serial", run.out)
        last = self.sim(name="com3")
        run = run_tool(["--job", "line3.toml", "3"], {"STBLOAD_COM3": str(last.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-200:])
        last.finish()
        self.assertEqual(self.check_box_image(last.image(), self.rows()[0]), (2, 1, 1001))
        # The next box is not answered, and its port answers no more.
        refused = self.sim(name="com4", script="\n".join(["wait_config"] + BOX[:2] + ["send " + PROMPT, "sleep 60000"]))
        station = start_tool(["--job", "line3.toml", "--station", "4", "--continuous"],
                             {"STBLOAD_COM4": str(refused.link)}, cwd=self.dir)
        self.wait_for(station, b"COM4 numbers used up: serial\r\n")
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        self.assertEqual(run.status, 1)
        self.assertRegex(run.out, final_totals(0, 1, 0))
        refused.stop()
        self.assertEqual((refused.report()["y_count"], refused.received()), (0, b""))
        rows = {row["result"]: row for row in self.rows()}
        self.assertEqual(sorted(rows), ["completed", "numbers used up"])
        self.assertEqual(rows["numbers used up"]["unique"], "")
        self.assertIn("serial used up", rows["numbers used up"]["reason"])
        run = run_tool(["--job", "line3.toml", "--check"], cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"the numbers of serial are used up", run.out)
        run = run_tool(["--job", "line3.toml", "--check", "--json"], cwd=self.dir)
        self.assertEqual(run.status, 1)
        document = json.loads(run.out)
        self.assertEqual((document["ok"], document["image"]["matches"], document["numbers"]["journal"]),
                         (False, True, "line3.numbers"))
        self.assertEqual([(f["name"], f["next"], f["left"]) for f in document["numbers"]["fields"]],
                         [("serial", None, 0), ("mac", "00:1A:2B:00:00:02", 65534), ("id", "1002", 3999998999)])

    def test_a_lost_journal_is_never_started_again_from_the_first(self):
        # Durability rule D1 (records/durability.h).
        self.job()
        sim = self.sim(name="com7")
        run = run_tool(["--job", "line3.toml", "7"], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0, (run.out[-200:], run.err))
        sim.finish()
        row, = self.rows()
        self.assertEqual(self.check_box_image(sim.image(), row), (1, 0, 1000))
        (self.dir / "line3.numbers").unlink()
        untouched = self.sim(name="com8", script="wait_config\nlinger")
        for args in (["--job", "line3.toml", "8"], ["--job", "line3.toml", "--station", "8"],
                     ["--job", "line3.toml", "--check"]):
            with self.subTest(args=args):
                run = run_tool(args, {"STBLOAD_COM8": str(untouched.link)}, cwd=self.dir)
                self.assertEqual(run.status, 1)
                self.assertIn(b"the journal line3.numbers of the job's numbers is missing, but stbload-station.csv "
                              b"holds numbers that the job gave", run.out)
                err = run.err.decode()
                self.assertIn("the last given: serial=STB000000001 mac=00:1A:2B:00:00:00 id=1000", err)
                rebuild = re.search(r"stbload: (stbload numbers 1)\nstbload: (take .*)\n", err)
                self.assertIsNotNone(rebuild, err)
        untouched.stop()
        self.assertEqual(untouched.received(), b"", "no port was answered")
        self.assertFalse((self.dir / "line3.numbers").exists())
        # Rebuilt from the lines it gives, the numbers go on after the last.
        (self.dir / "line3.numbers").write_text(rebuild.group(1) + "\r\n" + rebuild.group(2) + "\r\n")
        sim = self.sim(name="com9")
        run = run_tool(["--job", "line3.toml", "9"], {"STBLOAD_COM9": str(sim.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0)
        sim.finish()
        self.assertEqual(self.check_box_image(sim.image(), self.rows()[1]), (2, 1, 1001))

    def test_a_torn_journal_line_is_ended_and_skipped(self):
        # Durability rule D6 (records/durability.h).
        self.job()
        (self.dir / "line3.numbers").write_text(
            "stbload numbers 1\r\ntake 2026-01-01T00:00:00.000Z station=x port=1 serial=STB000000041 "
            "mac=00:1A:2B:00:00:29 id=1040\r\ntake 2026-01-01T00:01:00.000Z station=x port=1 serial=STB0000", newline="")
        sim = self.sim(name="com7")
        run = run_tool(["--job", "line3.toml", "7"], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out[-200:])
        sim.finish()
        self.assertEqual(self.check_box_image(sim.image(), self.rows()[0]), (42, 42, 1041))
        self.assertIn("serial=STB0000 # torn\r\ntake ", (self.dir / "line3.numbers").read_bytes().decode())
        # A line damaged in the middle is refused: no number may be given twice.
        (self.dir / "line3.numbers").write_text("stbload numbers 1\r\ngarbage here\r\n")
        run = run_tool(["--job", "line3.toml", "--check"], cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"line 2 is no journal line: garbage here", run.out)


class Boxes(JobTest):

    def test_the_box_names_itself_and_proves_its_boot(self):
        self.job('[identity]\npattern = "S/N: ([0-9A-Z]+)"\n\n[boot]\nexpect = "STB firmware 2.3.1"\nwithin_s = 5\n',
                 unique=False)
        # The number before the request counts; the boot line comes after '@', slowly.
        booting = self.sim(name="com7", args=("--serial-line", "junk\\nS/N: A1B2C3\\r\\n",
                                               "--boot-line", "Booting...\\nSTB firmware 2.3.1 (build 7)\\r\\n"))
        run = run_tool(["--job", "line3.toml", "7"], {"STBLOAD_COM7": str(booting.link)}, cwd=self.dir)
        self.assertEqual(run.status, 0, run.err)
        self.assertTrue(run.out.endswith(b"Download completed\r\n"))
        self.assertEqual(run.err, b'stbload: the box showed "STB firmware 2.3.1 (build 7)"\n')
        row, = self.rows()
        self.assertEqual((row["result"], row["box_id"], row["boot"], row["unique"]),
                         ("completed", "A1B2C3", "STB firmware 2.3.1 (build 7)", ""))
        self.assertEqual(row["box_crc32"], "0x%08X" % self.crc)
        # A box whose firmware does not say so in time: 'y' is never sent again meanwhile.
        silent = self.sim(name="com8", script="\n".join(["wait_config"] + BOX + ["send " + PROMPT, "sleep 6000",
                                                                                 "send STB firmware 2.3.1\\n",
                                                                                 "linger"]))
        begun = time.monotonic()
        run = run_tool(["--job", "line3.toml", "8"], {"STBLOAD_COM8": str(silent.link)}, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertGreaterEqual(time.monotonic() - begun, 5)
        self.assertTrue(run.out.endswith(b"Download completed\r\n"))
        # Its last line on stderr is the verdict, whatever stdout said before.
        self.assertEqual(run.err, b'stbload: the box did not show "STB firmware 2.3.1" within 5 s\n'
                                  b'FAILED: no boot message: the boot text did not come within 5 s\n')
        silent.stop()
        self.assertEqual(silent.report()["y_count"], 1)
        row = self.rows()[1]
        self.assertEqual((row["result"], row["box_id"], row["boot"]), ("no boot message", "", ""))
        self.assertEqual(row["reason"], "the boot text did not come within 5 s")

    def test_a_station_checks_each_boot_and_counts_a_silent_one_as_failed(self):
        self.job('[boot]\nexpect = "STB firmware"\nwithin_s = 3\n', unique=False)
        good = self.sim(name="com3", args=("--boot-line", "STB firmware 2.3.1\\n"))
        bad = self.sim(name="com4")
        run = run_tool(["--job", "line3.toml", "--station", "3,4"], {"STBLOAD_COM3": str(good.link),
                                                                     "STBLOAD_COM4": str(bad.link)}, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertRegex(run.out, final_totals(1, 1, 0))
        self.assertIn(b"COM4 failed: no boot message (the boot text did not come within 3 s)", run.out)
        results = sorted((row["port"], row["result"]) for row in self.rows())
        self.assertEqual(results, [("3", "completed"), ("4", "no boot message")])


class Rearm(JobTest):

    def test_a_box_that_fails_its_boot_check_is_not_flashed_again_at_once(self):
        # Its flash was written: like any such box it must go quiet before its port answers again,
        # else it would be flashed a second time with a second set of numbers.
        self.job('[boot]\nexpect = "STB firmware"\nwithin_s = 1\n')
        asks = [step for _ in range(12) for step in ("send " + PROMPT, "sleep 200")]
        sim = self.sim(name="com7", script="\n".join(["wait_config"] + BOX + ["sleep 1500"] + asks +
                                                     ["mark asked", "linger"]))
        station = start_tool(["--job", "line3.toml", "--station", "7", "--continuous", "--rearm-quiet", "1"],
                             {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
        sim.wait_mark("asked")
        self.wait_for(station, b"COM7 remove the box")
        time.sleep(1.5)  # quiet at last: the port re-arms, and the box has asked no more
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station)
        self.assertEqual(run.status, 1, run.out[-400:])
        sim.stop()
        self.assertEqual(sim.report()["y_count"], 1)
        row, = self.rows()
        self.assertEqual(row["result"], "no boot message")
        journal = (self.dir / "line3.numbers").read_text()
        self.assertEqual(len(re.findall(r"^take ", journal, re.M)), 1, journal)


class LastValues(JobTest):
    """The race for a range's last value: the box that gets it is the only one
    answered; the others hear no 'y', so nothing of theirs is erased."""

    SEEDED = ("stbload numbers 1\r\ntake 2026-01-01T00:00:00.000Z station=x port=1 "
              "serial=STB000000001 mac=00:1A:2B:00:00:00 id=1000\r\n")

    def check_race(self, sims, rows):
        answered = [name for name, sim in sims.items() if sim.report()["y_count"] > 0]
        self.assertEqual(len(answered), 1, {name: sim.report() for name, sim in sims.items()})
        by_port = {row["port"]: row for row in rows}
        self.assertEqual(sorted(by_port), sorted(sims), rows)
        for name, sim in sims.items():
            row = by_port[name]
            if name in answered:
                self.assertEqual(row["result"], "completed", row)
                self.assertEqual(self.check_box_image(sim.image(), row), (2, 1, 1001))
            else:
                # Not answered, so not erased: no erase time, no numbers, no byte of an image.
                self.assertEqual((row["result"], row["erase_s"], row["unique"]), ("numbers used up", "", ""), row)
                self.assertIn("serial used up", row["reason"])
                self.assertEqual(sim.received(), b"", "port %s was sent something" % name)
        journal = (self.dir / "line3.numbers").read_text()
        self.assertEqual(len(re.findall(r"^take ", journal, re.M)), 2, journal)

    def test_one_station_two_and_three_boxes_at_once(self):
        for count in (2, 3):
            with self.subTest(boxes=count):
                self.job(serial_last=2)
                (self.dir / "line3.numbers").write_text(self.SEEDED)
                (self.dir / "stbload-station.csv").unlink(missing_ok=True)
                ports = [str(3 + i) for i in range(count)]
                sims = {port: self.sim(name="race%d-%s" % (count, port)) for port in ports}
                env = {"STBLOAD_COM%s" % port: str(sim.link) for port, sim in sims.items()}
                run = run_tool(["--job", "line3.toml", "--station", ",".join(ports)], env, cwd=self.dir)
                self.assertEqual(run.status, 1, run.out[-400:])
                for sim in sims.values():
                    sim.finish()
                self.check_race(sims, self.rows())

    def test_two_stations_on_one_journal(self):
        self.job(serial_last=2)
        (self.dir / "line3.numbers").write_text(self.SEEDED)
        sims = {port: self.sim(name="shared%s" % port) for port in ("5", "6", "7")}
        env = {"STBLOAD_COM%s" % port: str(sim.link) for port, sim in sims.items()}
        first = start_tool(["--job", "line3.toml", "--station", "5,6", "--log", "a.csv"], env, cwd=self.dir)
        second = start_tool(["--job", "line3.toml", "--station", "7", "--log", "b.csv"], env, cwd=self.dir)
        for run in (finish_tool(first), finish_tool(second)):
            self.assertIn(run.status, (0, 1), run.out[-300:])
        for sim in sims.values():
            sim.finish()
        self.check_race(sims, self.rows("a.csv") + self.rows("b.csv"))


class Refusals(JobTest):

    def test_a_file_other_than_the_jobs_is_refused_with_no_port_touched(self):
        sim = self.sim(name="com7", script="wait_config\nlinger")
        env = {"STBLOAD_COM7": str(sim.link)}
        self.job(crc=0x12345678)
        for args in (["--job", "line3.toml", "7"], ["--job", "line3.toml", "--station", "7"],
                     ["--job", "line3.toml", "--check"]):
            with self.subTest(args=args):
                run = run_tool(args, env, cwd=self.dir)
                self.assertEqual(run.status, 1)
                self.assertIn(b"job line3.toml expects CRC-32 0x12345678, fw.hex gives 0x%08X: nothing flashed\r\n"
                              % self.crc, run.out)
        self.job().write_text(self.job().read_text().replace('crc32 = "0x%08X"' % self.crc,
                                                             'crc32 = "0x%08X"\nsha256 = "%s"' % (self.crc, "ab" * 32)))
        run = run_tool(["--job", "line3.toml", "7"], env, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertRegex(run.out, rb"job line3.toml expects SHA-256 (ab){32}, fw.hex gives [0-9a-f]{64}: nothing "
                                  rb"flashed\r\n")
        sim.stop()
        self.assertEqual(sim.received(), b"", "no port was answered")
        self.assertEqual(sim.report()["exclusive_held"], -1, "the port was never opened")
        self.assertFalse((self.dir / "stbload-station.csv").exists())
        self.assertFalse((self.dir / "line3.numbers").exists())

    def test_an_older_log_is_left_alone(self):
        old = ("started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,"
               "flash_write_s,bytes_sent,reason\r\n2026-01-01T00:00:00.000Z,,,,,,,,,completed,,,,0,\r\n")
        (self.dir / "stbload-station.csv").write_text(old, newline="")
        sim = self.sim(name="com7", script="wait_config\nlinger")
        for args in (["--station", "7", "fw.hex"], ["--job", "line3.toml", "--station", "7"],
                     ["--job", "line3.toml", "7"]):
            with self.subTest(args=args):
                self.job()
                run = run_tool(args, {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
                self.assertEqual(run.status, 1)
                self.assertIn(b"cannot open the log stbload-station.csv\r\n", run.out)
                self.assertIn(b"stbload-station.csv: its header is that of stbload 1.1 and before, without the "
                              b"job's five columns; nothing in it is changed: move it aside, or ", run.err)
        run = run_tool(["--job", "line3.toml", "--check"], cwd=self.dir)
        self.assertEqual(run.status, 1)
        sim.stop()
        self.assertEqual(sim.received(), b"")
        self.assertEqual((self.dir / "stbload-station.csv").read_bytes().decode(), old)

    def test_check_names_everything_a_station_would_refuse(self):
        cases = [
            ('ports = "3,,4"', "the job's station.ports: an empty entry in the port list"),
            ('ports = "3,COM3"', "the job's station.ports: 3 and COM3 name one port"),
            ('ports = "COM7-9"', "the job's station.ports: \"COM7-9\" names no port"),
            ('log = "missing/line3.csv"', "cannot write the log missing/line3.csv: its folder missing does not exist"),
        ]
        for station, problem in cases:
            with self.subTest(station=station):
                self.job("[station]\n%s\n" % station)
                run = run_tool(["--job", "line3.toml", "--check"], cwd=self.dir)
                self.assertEqual(run.status, 1, run.out)
                self.assertIn(problem.encode(), run.out)
                self.assertNotIn(b"a box can be flashed under this job", run.out)
                document = json.loads(run_tool(["--job", "line3.toml", "--check", "--json"], cwd=self.dir).out)
                self.assertFalse(document["ok"])
                self.assertTrue(any(p.startswith(problem) for p in document["problems"]), document["problems"])
        # Every problem is named, not the first alone; and the station is shown as it would run.
        self.job('[station]\nports = "3,COM3"\nlog = "missing/line3.csv"\nstall_s = 45\n')
        document = json.loads(run_tool(["--job", "line3.toml", "--check", "--json"], cwd=self.dir).out)
        self.assertEqual(len(document["problems"]), 2, document["problems"])
        self.assertEqual((document["station"]["ports_text"], document["station"]["stall_s"],
                          document["station"]["flash_write_max_s"], document["station"]["log"]),
                         ("3,COM3", 45, 600, "missing/line3.csv"))

    def test_a_job_on_a_read_only_share_keeps_its_journal_where_it_says(self):
        share = self.dir / "share"
        share.mkdir()
        os.replace(self.hex_path, share / "fw.hex")
        local = self.dir / "local"
        local.mkdir()
        self.job('[numbers]\njournal = "../local/line3.numbers"\n\n[station]\nlog = "../local/line3.csv"\n',
                 name="share/line3.toml")
        plain = share / "plain.toml"
        plain.write_text((share / "line3.toml").read_text().split("[numbers]")[0] +
                         '[station]\nlog = "../local/plain.csv"\n')
        with read_only(share):
            run = run_tool(["--job", "share/plain.toml", "--check"], cwd=self.dir)
            self.assertEqual(run.status, 1, run.out)
            self.assertIn(b"cannot write the journal share/plain.numbers: ", run.out)
            self.assertIn(b"[numbers] journal", run.out)
            run = run_tool(["--job", "share/line3.toml", "--check"], cwd=self.dir)
            self.assertEqual(run.status, 0, run.out)
            self.assertIn(b"numbers: kept in share/../local/line3.numbers (made with the first box)", run.out)
            sim = self.sim(name="com7")
            run = run_tool(["--job", "share/line3.toml", "7"], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
            self.assertEqual(run.status, 0, run.err)
            sim.finish()
        row, = self.rows("local/line3.csv")
        self.assertEqual(self.numbers(row), (1, 0, 1000))
        self.assertSameBytes(sim.image(), patched(self.window, 1, 0, 1000), "the box's image")
        self.assertIn("take ", (local / "line3.numbers").read_text())
        self.assertEqual(sorted(p.name for p in share.iterdir()), ["fw.hex", "line3.toml", "plain.toml"])

    def test_job_errors_name_the_file_and_the_key(self):
        # Each case: what the job holds after [image], and the line on stderr.
        base = '[image]\nfile = "fw.hex"\ncrc32 = "0x%08X"\n' % self.crc
        field = '[[unique]]\nname = "serial"\naddress = %s\nformat = "decimal"\nwidth = 4\nfirst = %s\nlast = %s\n'
        cases = [
            (base + "colour = 3\n", "image.colour: unknown key"),
            ('[image]\nfile = "fw.hex"\n', "image.crc32: missing"),
            (base + field % ("0x3FFE", 1, 9), "unique[1].address: the field's 4 bytes, 0x3FFE to 0x4001, lie "
                                              "outside 0x4000 to 0xFFFFF"),
            (base + field % ("0xFFFFE", 1, 9), "unique[1].address: the field's 4 bytes, 0xFFFFE to 0x100001, lie "
                                               "outside 0x4000 to 0xFFFFF"),
            (base + field % ("0x5000", 1, 9) + field.replace("serial", "other") % ("0x5002", 1, 9),
             "unique[2].address: the field's bytes, 0x5002 to 0x5005, overlap those of serial"),
            (base + field.replace("serial", "port") % ("0x5000", 1, 9),
             'unique[1].name: "port" is a word the journal of numbers uses for itself: choose another name'),
            (base + field % ("0x5000", 9, 1), "unique[1].first: comes after last (0009 > 0001)"),
            (base + field % ("0x5000", 1, 10000), "unique[1].last: 10000 does not fit in 4 digits"),
            (base + '[[unique]]\nname = "mac"\naddress = 0x5000\nformat = "mac"\nfirst = "00:1A:2B"\n'
                    'last = "00:1A:2B:00:00:01"\n', "unique[1].first: must be a MAC address in quotes"),
            (base + '[[unique]]\nname = "n"\naddress = 0x5000\nformat = "u32be"\nfirst = 0\nlast = 4294967296\n',
             "unique[1].last: 4294967296 does not fit in 32 bits"),
            (base + '[[unique]]\nname = "n"\naddress = 0x5000\nformat = "hex"\nfirst = 0\nlast = 1\n',
             'unique[1].format: "hex" is none of decimal, mac, u32le, u32be'),
            (base + '[identity]\npattern = "S/N: ([0-9A-Z]+"\n', "identity.pattern: not a pattern (ECMAScript)"),
            (base + '[boot]\nexpect = "v2"\nwithin_s = 0\n', "boot.within_s: must lie from 1 to 3600, not 0"),
            (base + "[station]\nports = \"COM7-9\"\n", 'station.ports: "COM7-9" names no port'),
            (base + '[line]\ndatabase = "DSN=stbline;Uid=st;Pwd={x;y}"\n', "line.database: holds a password"),
            (base + '[line]\ndatabase = "DSN=stbline; password =x"\n', "line.database: holds a password"),
            (base + '[line]\npool = "line3"\n', "line.database: missing"),
            (base + '[line]\ndatabase = "DSN=stbline"\nlease = 0\n', "line.lease: must lie from 1 to 1,000,000"),
            (base + '[line]\ndatabase = "DSN=stbline"\npool = ""\n', "line.pool: must be 1 to 255 characters"),
            (base + (field % ("0x5000", 1, 9)).replace("width = 4", "width = 19").replace("last = 9",
                                                                                         "last = 9223372036854775807")
             + '[line]\ndatabase = "DSN=stbline"\n', "unique[1].last: too high for the line's database"),
            ("[image\n", "line 1: "),
        ]
        sim = self.sim(name="com7", script="wait_config\nlinger")
        for text, message in cases:
            with self.subTest(message=message):
                (self.dir / "bad.toml").write_text(text)
                args = ["--job", "bad.toml", "--station"] if "station.ports" in message else ["--job", "bad.toml", "7"]
                run = run_tool(args, {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
                self.assertEqual(run.status, 1, (text, run.err))
                self.assertIn(b"cannot use the job bad.toml\r\n", run.out)
                self.assertIn("stbload: bad.toml: " + message, run.err.decode())
        sim.stop()
        self.assertEqual(sim.received(), b"", "no port was answered")


if __name__ == "__main__":
    unittest.main()


class Operators(JobTest):
    """Who flashed which order: asked for where the job requires it, changed at the screen, in every row."""

    def test_required_asked_at_the_terminal_and_changed_at_the_screen(self):
        self.job('[station]\noperator = "required"\n\n[job]\nwork_order = "WO-1234"\n')
        sim = self.sim(name="com7")
        run = run_tool(["--job", "line3.toml", "7"], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"job line3.toml asks for the operator's name: give --operator NAME (or set STBLOAD_OPERATOR); "
                      b"nothing flashed", run.out)
        run = run_tool(["--job", "line3.toml", "--operator", "anna", "7"], {"STBLOAD_COM7": str(sim.link)},
                       cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        sim.finish()

        script = ["wait_config"] + [step for box in range(2) for step in
                                    ["wait_go"] + BOX + ["drain 700", "mark box%d" % box, "sleep 300"]] + ["linger"]
        sim = self.sim(name="com8", script="\n".join(script))
        station = start_tool(["--job", "line3.toml", "--station", "8", "--continuous", "--rearm-quiet", "0.2",
                              "--events", "events.jsonl"], {"STBLOAD_COM8": str(sim.link)}, terminal=True, keys=True,
                             cwd=self.dir)
        self.wait_for(station, b"operator (the job asks who flashes; a name and Enter): ")
        station.type_keys(b"ben\r")
        self.wait_for(station, b"operator: ben, work order WO-1234")
        sim.go()
        sim.wait_mark("box0")
        self.wait_for(station, b"completed in")
        station.type_keys(b"operator  carl  \r")
        self.wait_for(station, b"operator: carl, for the boxes that start from now on")
        sim.go()
        sim.wait_mark("box1")
        events = self.dir / "events.jsonl"
        deadline = time.monotonic() + 90
        while events.read_text().count('"event":"completed"') < 2:  # the screen redraws only what changed
            self.assertLess(time.monotonic(), deadline, "the second box never completed")
            time.sleep(0.05)
        station.process.send_signal(signal.SIGINT)
        self.assertEqual(finish_tool(station).status, 0)
        rows = self.rows()
        self.assertEqual([(r["port"], r["operator"], r["work_order"]) for r in rows],
                         [("7", "anna", "WO-1234"), ("8", "ben", "WO-1234"), ("8", "carl", "WO-1234")])
        ends = [json.loads(line) for line in (self.dir / "events.jsonl").read_text().splitlines()]
        ends = [e for e in ends if e["event"] == "completed"]
        self.assertEqual([(e["operator"], e["work_order"]) for e in ends], [("ben", "WO-1234"), ("carl", "WO-1234")])
