"""The line's database through ODBC, against a real PostgreSQL server: one pool
of numbers for every station, one record of every box, and a bench that goes on
while the server is away. What the database holds is read back with psql."""

import csv
import datetime
import os
import re
import signal
import subprocess
import sys
import time
import unittest
import zlib
from pathlib import Path

from harness import (ERASED, ERASING, PROMPT, ToolTest, finish_tool, hex_text, random_bytes, run_tool, srec_window,
                     start_tool)
import postgres
from browser import Browser
from web_client import get_json, request, served_port
from test_download import terminal_screen
from test_job import HEADER, mac_text, serial_text

SERIAL_AT, MAC_AT = 0xFF000, 0xFF010
CLUSTER = None


def setUpModule():
    global CLUSTER
    CLUSTER = postgres.Cluster()


def tearDownModule():
    if CLUSTER is not None:
        CLUSTER.close()


def box_steps(count, first=0):
    """A loader that asks every 300 ms until answered, for `count` boxes, each
    followed by a quiet spell that re-arms the station's port."""
    steps = []
    for box in range(first, first + count):
        steps += ["ask 300 " + PROMPT, "send " + ERASING, "sleep 30", "send " + ERASED, "receive",
                  "send Data received.\\n", "send_repeat 600 .", "send @", "drain 400", "reset",
                  "mark box%d" % box, "sleep 100"]
    return steps


def utc(text):
    """A time as the log writes it, or as PostgreSQL prints a TIMESTAMP(3)."""
    text = text.rstrip("Z").replace("T", " ")
    return datetime.datetime.fromisoformat(text + ("" if "." in text else ".000").ljust(4, "0"))


class LineTest(ToolTest):

    def setUp(self):
        super().setUp()
        CLUSTER.reset()
        blocks = [(0x4000, random_bytes(0x3000, 81)), (0xFF000, b"\xaa" * 64)]
        (self.dir / "fw.hex").write_text(hex_text(blocks))
        self.window = srec_window(self.dir / "fw.hex", self.dir)
        self.crc = zlib.crc32(self.window)
        self.env = CLUSTER.env()

    def job(self, lease, database=None, extra="", serial_last=999999999, unique=True, approval="none"):
        """The job line3.toml; `approval` None leaves it to the default (required)."""
        fields = ('[[unique]]\nname = "serial"\naddress = 0x%X\nformat = "decimal"\nprefix = "STB"\nwidth = 9\n'
                  'first = 1\nlast = %d\n\n'
                  '[[unique]]\nname = "mac"\naddress = 0x%X\nformat = "mac"\nfirst = "00:1A:2B:00:00:00"\n'
                  'last = "00:1A:2B:00:FF:FF"\n\n' % (SERIAL_AT, serial_last, MAC_AT))
        text = ('[image]\nfile = "fw.hex"\ncrc32 = "0x%08X"\n\n%s[line]\ndatabase = "%s"\nlease = %d\n%s'
                % (self.crc, fields if unique else "", database or CLUSTER.connection(), lease,
                   extra + ('approval = "%s"\n' % approval if approval else "")))
        (self.dir / "line3.toml").write_text(text)

    def rows(self, log):
        with open(log, newline="") as file:
            rows = list(csv.reader(file))
        self.assertEqual(rows[0], HEADER)
        return [dict(zip(HEADER, row)) for row in rows[1:]]

    def serial_of(self, row):
        """A row's serial, after checking its MAC goes with it and its box got exactly these numbers."""
        pairs = dict(pair.split("=", 1) for pair in row["unique"].split())
        serial = int(pairs["serial"][3:])
        mac = int(pairs["mac"].replace(":", ""), 16) - 0x001A2B000000
        self.assertEqual(pairs, {"serial": serial_text(serial), "mac": mac_text(mac)}, row)
        self.assertEqual(mac, serial - 1, "the fields of a lease move together: %r" % row)
        image = bytearray(self.window)
        image[SERIAL_AT - 0x4000:SERIAL_AT - 0x4000 + 12] = serial_text(serial).encode()
        image[MAC_AT - 0x4000:MAC_AT - 0x4000 + 6] = (0x001A2B000000 + mac).to_bytes(6, "big")
        self.assertEqual(row["box_crc32"], "0x%08X" % zlib.crc32(bytes(image)), row)
        return serial

    def database_rows(self):
        columns = ", ".join('"%s"' % name for name in HEADER)
        rows = CLUSTER.sql("SELECT %s FROM stb_boxes" % columns)
        return [dict(zip(HEADER, row)) for row in rows]

    def assertDatabaseHolds(self, csv_rows):
        """Every row of the logs once in stb_boxes, field for field, and nothing else."""
        stored = self.database_rows()
        key = lambda row: (row["station"], row["port"], utc(row["started"]))
        by_key = {key(row): row for row in stored}
        self.assertEqual(len(by_key), len(stored))
        self.assertEqual(sorted(by_key), sorted(key(row) for row in csv_rows))
        for row in csv_rows:
            held = by_key[key(row)]
            for name in HEADER:
                if name in ("started", "ended"):
                    self.assertEqual(utc(held[name]), utc(row[name]), (name, row))
                elif name.endswith("_s") and row[name]:
                    self.assertAlmostEqual(float(held[name]), float(row[name]), msg=(name, row))
                else:
                    self.assertEqual(held[name], row[name], (name, row))

    def assertLeasesHold(self, serials_by_journal):
        """No two leases share a value, and each value given lies in a lease of the journal that gave it."""
        leases = CLUSTER.sql('SELECT "journal", "first_value", "last_value" FROM stb_leases '
                             'WHERE "pool" = \'line3\' AND "field" = \'serial\' ORDER BY "first_value"')
        spans = [(int(first), int(last)) for _, first, last in leases]
        for (first, last), (next_first, _) in zip(spans, spans[1:]):
            self.assertLess(last, next_first, "leases overlap: %r" % spans)
        for journal, serials in serials_by_journal.items():
            own = [(int(first), int(last)) for name, first, last in leases if name == journal]
            for serial in serials:
                self.assertTrue(any(first <= serial <= last for first, last in own),
                                "%d is in no lease of %s: %r" % (serial, journal, own))
        ranges = dict(CLUSTER.sql('SELECT "field", "next_value" FROM stb_ranges WHERE "pool" = \'line3\''))
        self.assertEqual(int(ranges["serial"]), spans[-1][1] + 1)

    def wait_count(self, started, text, count, timeout=120):
        deadline = time.monotonic() + timeout
        while started.out().count(text) < count:
            self.assertIsNone(started.process.poll(), "the station ended: %r" % started.out()[-600:])
            self.assertLess(time.monotonic(), deadline, "never %d times %r: %r" % (count, text, started.out()[-600:]))
            time.sleep(0.05)

    def wait_for(self, started, pattern, timeout=90):
        deadline = time.monotonic() + timeout
        while not re.search(pattern, started.out()):
            self.assertIsNone(started.process.poll(), "the station ended: %r" % started.out()[-600:])
            self.assertLess(time.monotonic(), deadline, "never printed %r: %r" % (pattern, started.out()[-600:]))
            time.sleep(0.05)

    def wait_screen(self, started, pattern, timeout=90):
        """Waits until the station's terminal shows a line that matches `pattern`; returns the screen."""
        deadline = time.monotonic() + timeout
        while True:
            shown = terminal_screen(started.out())
            if any(re.search(pattern, line) for line in shown):
                return shown
            self.assertIsNone(started.process.poll(), "the station ended: %r" % shown)
            self.assertLess(time.monotonic(), deadline, "the screen never showed %r: %s" % (pattern, "\n".join(shown)))
            time.sleep(0.1)

    def sims_for(self, ports, steps):
        return {port: self.sim(name="com%d" % port, script="\n".join(steps), timeout=300) for port in ports}

    def port_env(self, sims):
        env = dict(self.env)
        env.update({"STBLOAD_COM%d" % port: str(sim.link) for port, sim in sims.items()})
        return env


class Pool(LineTest):

    def test_three_stations_on_one_job_give_each_value_once_and_record_each_box_once(self):
        # Three benches of four ports start at once on an empty database,
        # which each then makes its tables in; the DSN names the server.
        self.job(lease=7, database="DSN=stbline")
        boxes = 5
        benches = {}
        for bench, ports in (("a", (1, 2, 3, 4)), ("b", (5, 6, 7, 8)), ("c", (9, 10, 11, 12))):
            (self.dir / bench).mkdir()
            sims = self.sims_for(ports, ["wait_config"] + box_steps(boxes) + ["linger"])
            station = start_tool(["--job", "../line3.toml", "--station", ",".join(map(str, ports)), "--continuous",
                                  "--rearm-quiet", "0.3"], self.port_env(sims), cwd=self.dir / bench)
            benches[bench] = (sims, station)
        for sims, station in benches.values():
            for sim in sims.values():
                try:
                    sim.wait_mark("box%d" % (boxes - 1), timeout=180)
                except AssertionError:
                    raise AssertionError("%s: %r" % (sim.link, station.out()[-3000:]))
        all_rows = []
        serials = {}
        for bench, (sims, station) in benches.items():
            self.wait_count(station, b" completed in ", 4 * boxes)
            station.process.send_signal(signal.SIGINT)
            run = finish_tool(station, timeout=60)
            self.assertEqual(run.status, 0, run.out[-600:])
            self.assertIn(b"pool line3", run.out)
            rows = self.rows(self.dir / bench / "stbload-station.csv")
            self.assertEqual([row["result"] for row in rows], ["completed"] * 4 * boxes)
            serials[str(self.dir / bench / "stbload-station.csv.numbers")] = [self.serial_of(row) for row in rows]
            all_rows += rows
        given = [serial for values in serials.values() for serial in values]
        self.assertEqual(len(set(given)), len(given), "a value given twice: %r" % sorted(given))
        self.assertDatabaseHolds(all_rows)
        # Each bench's leases name its own journal, though all three ran on one host.
        self.assertLeasesHold(serials)
        leases = CLUSTER.sql('SELECT "journal", count(*) FROM stb_leases WHERE "field" = \'serial\' GROUP BY "journal"')
        self.assertEqual(sorted(journal for journal, _ in leases), sorted(serials))
        # None held more than two at once: 20 values in leases of 7 take at most 3 leases, and 2 more early.
        for journal, count in leases:
            self.assertLessEqual(int(count), 5, journal)

    def test_kill_mid_lease_then_restart_while_the_server_is_away(self):
        # Durability rule D4 (records/durability.h).
        self.job(lease=10)
        # Two ports end their third box and wait; a third is killed mid-transfer.
        idle = ["wait_config"] + box_steps(3) + ["mark idle", "wait_release", "wait_open"] + box_steps(3, 3) + ["linger"]
        cut = (["wait_config"] + box_steps(1) + ["ask 300 " + PROMPT, "send " + ERASING, "send " + ERASED,
                                                   "receive 40000", "mark midway", "wait_release", "wait_open",
                                                   "reset"] + box_steps(3, 1) + ["linger"])
        sims = self.sims_for((1, 2), idle)
        sims[3] = self.sim(name="com3", script="\n".join(cut), timeout=300)
        env = self.port_env(sims)
        args = ["--job", "line3.toml", "--station", "1,2,3", "--continuous", "--rearm-quiet", "0.3"]
        station = start_tool(args, env, cwd=self.dir)
        for port in (1, 2):
            sims[port].wait_mark("idle", timeout=120)
        sims[3].wait_mark("midway", timeout=120)
        station.process.kill()
        finish_tool(station)
        journal = (self.dir / "stbload-station.csv.numbers").read_text()
        taken = [int(value) for value in re.findall(r"^take .* serial=STB(\d+)", journal, re.M)]
        self.assertEqual(len(taken), 8, journal)
        leased = sum(int(count) for count in re.findall(r"^lease .* count=(\d+) ", journal, re.M))
        # The restart finds the server away: it runs on what the journal's lease
        # has left, and its screen says what waits and why.
        CLUSTER.stop()
        try:
            station = start_tool(args, env, terminal=True, cwd=self.dir)
            self.wait_for(station, rb"is unreachable: .*; running on this station's lease: %d left" % (leased - 8))
            self.wait_screen(station, r"^database: \d+ rows? waiting \(connection refused\)$")
            if leased - 8 < 9:  # fewer values than the boxes still to come
                shown = self.wait_screen(station,
                                         r"^COM\d +waiting for numbers: database unreachable, \d+ s +\d+ +\d+ +\d+$")
                self.assertIn("numbers: none at hand (waiting for a lease)", shown)
        finally:
            CLUSTER.start()
        for port in (1, 2, 3):
            sims[port].wait_mark("box5" if port != 3 else "box3", timeout=120)
        self.wait_screen(station, r"^database: every row sent$")
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station, timeout=60)
        self.assertEqual(run.status, 0, run.out[-600:])
        rows = self.rows(self.dir / "stbload-station.csv")
        serials = [self.serial_of(row) for row in rows]
        self.assertEqual(len(rows), 7 + 9)
        self.assertEqual(len(set(serials)), len(serials), sorted(serials))
        # The killed box's value is spent: never given again.
        killed = set(taken) - set(serials[:7])
        self.assertEqual(len(killed), 1, (taken, serials))
        self.assertNotIn(killed.pop(), serials)
        self.assertDatabaseHolds(rows)
        self.assertLeasesHold({str(self.dir / "stbload-station.csv.numbers"): serials})


class PoolEnd(LineTest):

    def test_the_last_values_go_to_the_boxes_that_get_them_and_no_other_box_is_erased(self):
        # Durability rule D1 (records/durability.h).
        # Boxes that ask at once for a pool's last values, each asking once and waiting for its answer.
        once = ["wait_config", "send " + PROMPT, "expect_y 60", "send " + ERASING, "sleep 30", "send " + ERASED,
                "receive", "send Data received.\\n", "send_repeat 600 .", "send @", "linger"]
        for ports, left in ((2, 1), (3, 2)):
            with self.subTest(ports=ports, left=left):
                pool = "race%d" % ports
                self.job(lease=5, serial_last=left, extra='pool = "%s"\n' % pool)
                log = self.dir / ("%s.csv" % pool)
                sims = {port: self.sim(name="%s-%d" % (pool, port), script="\n".join(once), timeout=300)
                        for port in range(1, ports + 1)}
                run = run_tool(["--job", "line3.toml", "--station", ",".join(map(str, sims)), "--log", log.name],
                               self.port_env(sims), cwd=self.dir, timeout=120)
                self.assertEqual(run.status, 1, run.out[-600:])
                for sim in sims.values():
                    sim.stop()
                rows = self.rows(log)
                completed = [row for row in rows if row["result"] == "completed"]
                self.assertEqual(sorted(self.serial_of(row) for row in completed), list(range(1, left + 1)))
                answered = {port for port, sim in sims.items() if sim.report()["y_count"] > 0}
                self.assertEqual(answered, {int(row["port"]) for row in completed})
                for row in rows:
                    if row["result"] == "completed":
                        continue
                    self.assertEqual((row["result"], row["erase_s"], row["unique"]), ("numbers used up", "", ""), row)
                    self.assertEqual(sims[int(row["port"])].received(), b"", "a box was sent bytes without numbers")
                # The last lease was cut to what the range had left; the rows after its refusal still went in.
                leases = CLUSTER.sql('SELECT "first_value", "last_value" FROM stb_leases WHERE "pool" = \'%s\' '
                                     'AND "field" = \'serial\'' % pool)
                self.assertEqual([(int(a), int(b)) for a, b in leases], [(1, left)])
                self.assertDatabaseHolds(rows)
                CLUSTER.sql("DELETE FROM stb_boxes")

    def test_a_box_that_asks_once_while_its_numbers_are_on_their_way_is_answered(self):
        # The server is away when the station starts, with no value at hand: the box asks once, and
        # waits. Its answer comes with the lease that comes once the server is back.
        self.job(lease=3)
        once = self.sim(name="com1", script="\n".join(["wait_config", "send " + PROMPT, "mark asked", "expect_y 120"]
                                                       + [step for step in box_steps(1)[1:] if step != "reset"]
                                                       + ["linger"]), timeout=300)
        trace = self.dir / "trace.txt"
        CLUSTER.stop()
        try:
            station = start_tool(["--job", "line3.toml", "--station", "1"],
                                 dict(self.port_env({1: once}), STBLOAD_TRACE=str(trace)), cwd=self.dir)
            once.wait_mark("asked")
            self.wait_for(station, rb"COM1 waiting for numbers: database unreachable")
            time.sleep(2)  # the box has asked, and asks no more
        finally:
            CLUSTER.start()
        run = finish_tool(station, timeout=120)
        self.assertEqual(run.status, 0, run.out[-600:])
        self.assertRegex(run.out, rb"COM1 completed in \d:\d\d serial=STB000000001 mac=00:1A:2B:00:00:00 "
                                  rb"\(waited \d+ s for numbers\)")
        once.stop()
        self.assertEqual(once.report()["y_count"], 1)
        self.assertRegex(trace.read_text(), r"numbers: serial=STB000000001 mac=00:1A:2B:00:00:00, on the disk in .*, "
                                            r"after waiting \d+\.\d s for them")
        self.assertDatabaseHolds(self.rows(self.dir / "stbload-station.csv"))

    def test_rows_wait_out_any_outage_without_numbers_to_lease(self):
        # A job without numbers: nothing but the rows reaches the server, and however long it is away
        # (longer than a refused row is tried), every row goes in once it is back.
        self.job(lease=3, unique=False)
        sims = self.sims_for((1, 2), ["wait_config"] + box_steps(2) + ["linger"])
        CLUSTER.stop()
        try:
            station = start_tool(["--job", "line3.toml", "--station", "1,2", "--continuous", "--rearm-quiet", "0.3"],
                                 self.port_env(sims), cwd=self.dir)
            for sim in sims.values():
                sim.wait_mark("box1")
            self.wait_count(station, b" completed in ", 4)
            time.sleep(10)  # five tries at least, each unanswered
        finally:
            CLUSTER.start()
        back = time.monotonic()
        while CLUSTER.sql("SELECT count(*) FROM pg_tables WHERE tablename = 'stb_boxes'") == [["0"]] or \
                len(self.database_rows()) < 4:
            self.assertLess(time.monotonic() - back, 30, "rows given up while the server was away")
            time.sleep(0.2)
        station.process.send_signal(signal.SIGINT)
        finish_tool(station, timeout=60)
        self.assertDatabaseHolds(self.rows(self.dir / "stbload-station.csv"))


class Outage(LineTest):

    def test_the_server_away_for_20_s_mid_run(self):
        # Durability rule D3 (records/durability.h).
        self.job(lease=3)
        sims = self.sims_for((1, 2), ["wait_config"] + box_steps(60) + ["linger"])
        station = start_tool(["--job", "line3.toml", "--station", "1,2", "--continuous", "--rearm-quiet", "0.3"],
                             self.port_env(sims), cwd=self.dir)
        self.wait_count(station, b" completed in ", 2)
        CLUSTER.stop()
        stopped = time.monotonic()
        before = station.out().count(b"completed in")
        # Flashing goes on while the lease lasts, then the ports wait, answering no box.
        self.wait_for(station, rb"database: \d+ rows? waiting \(connection refused\)")
        self.wait_for(station, rb"COM\d waiting for numbers: database unreachable")
        while time.monotonic() - stopped < 20:
            time.sleep(0.2)
        during = station.out().count(b"completed in") - before
        self.assertGreater(during, 0, "no box was flashed on the lease while the server was away")
        self.assertLessEqual(during, 2 * 3 + 2, "more boxes than two leases hold")
        CLUSTER.start()
        back = time.monotonic()
        # Every row arrives within 10 s of the server's return.
        while True:
            written = self.rows(self.dir / "stbload-station.csv")
            if len(self.database_rows()) >= len(written):
                break
            self.assertLess(time.monotonic() - back, 10, "rows still waiting 10 s after the server came back")
            time.sleep(0.2)
        # Values come again: the boxes that asked meanwhile are answered.
        self.wait_count(station, b" completed in ", station.out().count(b" completed in ") + 4)
        station.process.send_signal(signal.SIGINT)
        run = finish_tool(station, timeout=60)
        rows = self.rows(self.dir / "stbload-station.csv")
        # The boxes keep coming, so the stop may catch one that has just started:
        # it is logged as interrupted, and then the station's status says so.
        cut = [row for row in rows if row["result"] == "interrupted"]
        self.assertLessEqual(len(cut), 2, run.out[-600:])
        self.assertEqual(run.status, 1 if cut else 0, run.out[-600:])
        serials = [self.serial_of(row) for row in rows if row["unique"]]
        self.assertEqual(len(set(serials)), len(serials))
        self.assertDatabaseHolds(rows)
        self.assertLeasesHold({str(self.dir / "stbload-station.csv.numbers"): serials})


class Refusals(LineTest):

    def test_what_keeps_a_station_from_starting_and_the_password_never_shown(self):
        self.job(lease=5)
        password = postgres.STATION_PASSWORD
        cases = [
            ("wrong password", {"STBLOAD_DB_PASSWORD": "not-" + password}, None,
             rb"refused the login: .*password authentication failed"),
            ("no such database", {}, CLUSTER.connection(database="nowhere"), rb"refused the login: .*does not exist"),
            ("no such driver", {}, CLUSTER.connection().replace("PostgreSQL Unicode", "No Such Driver"),
             rb"cannot be used: .*\(is the server's ODBC driver installed, and the DSN set up\?\)"),
        ]
        for name, env, database, message in cases:
            with self.subTest(name):
                if database is not None:
                    self.job(lease=5, database=database)
                else:
                    self.job(lease=5)
                sim = self.sim(name="com7", args=("--ask-every", "200"))
                trace = self.dir / "trace.txt"
                run = run_tool(["--job", "line3.toml", "--station", "7"],
                               dict(self.env, STBLOAD_COM7=str(sim.link), STBLOAD_TRACE=str(trace), **env),
                               cwd=self.dir)
                self.assertEqual(run.status, 1, run.out)
                self.assertRegex(run.out, message + rb".*: nothing flashed\r\n")
                sim.stop()
                self.assertEqual(sim.received(), b"", "no port was answered")
                outputs = [("stdout", run.out), ("stderr", run.err), ("trace", trace.read_bytes())]
                # Every command that connects says why as plainly, and as safely.
                for args in (["--job", "line3.toml", "7"], ["--job", "line3.toml", "--check"],
                             ["--job", "line3.toml", "--check", "--json"]):
                    other = run_tool(args, dict(self.env, STBLOAD_COM7=str(sim.link), **env), cwd=self.dir)
                    self.assertEqual(other.status, 1, (args, other.out))
                    outputs += [(" ".join(args), other.out + other.err)]
                for what, text in outputs:
                    self.assertNotIn(password.encode(), text, what)
                    self.assertNotIn(b"PWD", text.upper(), what)
        # The server away: the check and a download say so, without the password either.
        self.job(lease=5)
        CLUSTER.stop()
        try:
            for args in (["--job", "line3.toml", "--check"], ["--job", "line3.toml", "--check", "--json"]):
                run = run_tool(args, self.env, cwd=self.dir)
                self.assertEqual(run.status, 1, run.out)
                self.assertIn(b"cannot use the line's database", run.out + run.err)
                self.assertNotIn(password.encode(), run.out + run.err, args)
                self.assertNotIn(b"PWD", (run.out + run.err).upper(), args)
        finally:
            CLUSTER.start()
        # A schema another version made.
        self.job(lease=5)
        run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        CLUSTER.sql("UPDATE stb_schema SET version = 99")
        run = run_tool(["--job", "line3.toml", "--station", "7"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"the tables are of another version (schema 99; this stbload reads 2): nothing flashed", run.out)
        # A password in the job file is refused before anything is tried.
        self.job(lease=5, database=CLUSTER.connection() + ";PWD=" + password)
        run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"line.database: holds a password", run.err)
        self.assertNotIn(password.encode(), run.out + run.err)

    def test_one_station_a_log(self):
        self.job(lease=5)
        sims = self.sims_for((1,), ["wait_config"] + box_steps(1) + ["linger"])
        first = start_tool(["--job", "line3.toml", "--station", "1", "--continuous"], self.port_env(sims),
                           cwd=self.dir)
        self.wait_for(first, rb"completed in")
        run = run_tool(["--job", "line3.toml", "--station", "2"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"the outbox stbload-station.csv.outbox is in use: another stbload runs under the line's "
                      b"database with the log stbload-station.csv; give each station a log of its own", run.out)
        first.process.send_signal(signal.SIGINT)
        self.assertEqual(finish_tool(first).status, 0)


class ForTheLinesIT(LineTest):

    def test_the_readmes_schema_and_least_rights_let_a_station_work(self):
        # The DBA runs the README's SQL; a station's user then has those rights alone.
        readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
        section = readme[readme.index("#### For the line's IT"):]
        blocks = re.findall(r"```sql\n(.*?)```", section, re.S)
        schema, rights, supervisor = blocks[0], blocks[1], blocks[3]
        CLUSTER.sql(schema)
        CLUSTER.sql(rights)
        CLUSTER.sql(supervisor)
        self.job(lease=2, database=CLUSTER.connection(user="stbload_station"), approval=None)
        env = dict(self.env, STBLOAD_DB_PASSWORD="change-me")
        # The station's user may not approve; the supervisor, with a user of her own, may.
        run = run_tool(["--job", "line3.toml", "--approve"], env, cwd=self.dir)
        self.assertEqual(run.status, 1, run.out)
        self.assertIn(b"the database user stbload_station may not approve a job", run.out)
        run = run_tool(["--job", "line3.toml", "1"], env, cwd=self.dir)
        self.assertEqual(run.status, 1, run.out)
        self.assertIn(b"job line3.toml is not approved for the pool line3: a supervisor approves it with stbload "
                      b"--job line3.toml --approve: nothing flashed", run.out)
        run = run_tool(["--job", "line3.toml", "--approve"], dict(env, STBLOAD_DB_USER="anna",
                                                                  STBLOAD_DB_PASSWORD="change-me-three"), cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        self.assertRegex(run.out, rb"approved by anna on \S+Z \(approval 1\)\r\n")
        for box in (1, 2, 3):
            sim = self.sim(name="com%d" % box)
            run = run_tool(["--job", "line3.toml", str(box)], dict(env, **{"STBLOAD_COM%d" % box: str(sim.link)}),
                           cwd=self.dir)
            self.assertEqual(run.status, 0, run.err)
            sim.finish()
        rows = self.rows(self.dir / "stbload-station.csv")
        self.assertEqual([self.serial_of(row) for row in rows], [1, 2, 3])
        self.assertEqual({row["approval"] for row in rows}, {"1"})
        self.assertDatabaseHolds(rows)
        self.assertLeasesHold({str(self.dir / "stbload-station.csv.numbers"): [1, 2, 3]})
        run = run_tool(["--job", "line3.toml", "--check"], env, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        self.assertRegex(run.out, rb"approval: approved by anna on \S+Z \(approval 1\)\r\n")
        # Those rights and no more: the user may not change a box's record.
        done = subprocess.run(["psql", "-h", "127.0.0.1", "-p", str(CLUSTER.port), "-U", "stbload_station", "-d",
                               postgres.DATABASE, "-c", 'DELETE FROM stb_boxes'],
                              env=dict(os.environ, PGPASSWORD="change-me"), stderr=subprocess.PIPE, text=True)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("permission denied", done.stderr)


class SingleDownload(LineTest):

    def test_a_single_download_and_the_check(self):
        self.job(lease=4)
        run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        self.assertIn(b"  serial at 0xFF000: pool next STB000000001, 999,999,999 left of STB000000001 to "
                      b"STB999999999\r\n", run.out)
        self.assertIn(b"numbers: this station holds no lease (one is taken with the first box)", run.out)
        for box in (1, 2):
            sim = self.sim(name="com%d" % box)
            run = run_tool(["--job", "line3.toml", str(box)], dict(self.env, **{"STBLOAD_COM%d" % box: str(sim.link)}),
                           cwd=self.dir)
            self.assertEqual(run.status, 0, run.err)
            self.assertTrue(run.out.endswith(b"Download completed\r\n"))
            sim.finish()
        rows = self.rows(self.dir / "stbload-station.csv")
        self.assertEqual([self.serial_of(row) for row in rows], [1, 2])
        self.assertDatabaseHolds(rows)
        run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
        self.assertIn(b"pool next STB000000005, 999,999,995 left", run.out)
        self.assertIn(b"numbers: 2 left of this station's lease (STB000000003, 00:1A:2B:00:00:02 next), kept in "
                      b"stbload-station.csv.numbers\r\n", run.out)
        # Away: the check says so and fails; a download's row waits in the outbox.
        CLUSTER.stop()
        try:
            run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
            self.assertEqual(run.status, 1)
            self.assertIn(b"cannot use the line's database (Driver={PostgreSQL Unicode};", run.out)
            sim = self.sim(name="com3")
            run = run_tool(["--job", "line3.toml", "3"], dict(self.env, STBLOAD_COM3=str(sim.link)), cwd=self.dir)
            self.assertEqual(run.status, 0, run.err)
            self.assertIn(b"database: 1 row waiting (connection refused); it waits in the outbox "
                          b"stbload-station.csv.outbox", run.err)
        finally:
            CLUSTER.start()
        run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 0)
        sim = self.sim(name="com4")
        run = run_tool(["--job", "line3.toml", "4"], dict(self.env, STBLOAD_COM4=str(sim.link)), cwd=self.dir)
        self.assertEqual(run.status, 0, run.err)
        rows = self.rows(self.dir / "stbload-station.csv")
        self.assertEqual([self.serial_of(row) for row in rows], [1, 2, 3, 4])
        self.assertDatabaseHolds(rows)


if __name__ == "__main__":
    missing = postgres.missing_tools()
    if missing:
        print("FAILED: the line's database tests need PostgreSQL 15 and psqlODBC: missing " + ", ".join(missing))
        sys.exit(1)
    unittest.main()


class LineView(LineTest):
    """The line's page and /api/line, read from the database alone: three stations' rows, one of them quiet."""

    def insert(self, rows):
        values = ", ".join("('%s', '%s', '%s', '%s', '%s', %s, '%s')" % (
            (when - datetime.timedelta(seconds=30)).strftime("%Y-%m-%d %H:%M:%S.%f")[:23],
            when.strftime("%Y-%m-%d %H:%M:%S.%f")[:23], station, port, result,
            "NULL" if reason is None else "'%s'" % reason, pool) for when, station, port, result, reason, pool in rows)
        CLUSTER.sql('INSERT INTO stb_boxes ("started", "ended", "station", "port", "result", "reason", "pool") '
                    'VALUES ' + values)

    def view(self, env, *options):
        started = start_tool(["--job", "line3.toml", "--line-view", "--serve", "127.0.0.1:0", *options], env,
                             cwd=self.dir)
        return started, served_port(started)

    def line_when(self, port, ready, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            status, line = get_json(port, "/api/line")
            self.assertEqual(status, 200)
            if ready(line):
                return line
            self.assertLess(time.monotonic(), deadline, "the view never showed it: %r" % line)
            time.sleep(0.2)

    def test_three_stations_one_quiet_through_a_user_that_may_only_read(self):
        self.job(lease=5)
        self.assertEqual(run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir).status, 0)
        readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
        view_role = re.findall(r"```sql\n(.*?)```", readme[readme.index("#### For the line's IT"):], re.S)[2]
        CLUSTER.sql(view_role)
        CLUSTER.sql("ALTER ROLE stbload_view SET log_statement = 'all'")
        CLUSTER.sql('INSERT INTO stb_ranges ("pool", "field", "next_value") VALUES (\'line3\', \'serial\', 41)')
        now = datetime.datetime.utcnow()
        ago = lambda **delta: now - datetime.timedelta(**delta)
        rows = [(ago(minutes=2), "bench1", "COM1", "completed", None, "line3"),
                (ago(hours=2), "bench1", "COM1", "completed", None, "line3"),
                (ago(minutes=3), "bench1", "COM2", "failed", "lost connection: the device hung up", "line3"),
                (ago(minutes=15), "bench3", "COM11", "completed", None, "line3"),
                (ago(minutes=16), "bench3", "COM2", "interrupted", "the station was stopped", "line3"),
                (ago(minutes=1), "other", "COM1", "completed", None, "line4"),  # another job's pool
                (ago(hours=25), "old", "COM1", "completed", None, "line3")]     # before the last day
        # bench2: COM3 fails four boxes of five, its other ports none of twenty.
        for box in range(10):
            for port in ("COM1", "COM2"):
                rows.append((ago(minutes=5 + box), "bench2", port, "completed", None, "line3"))
        for box in range(5):
            rows.append((ago(minutes=5 + box, seconds=20), "bench2", "COM3", "completed" if box == 0 else "failed",
                         None if box == 0 else "device said: Flash write error", "line3"))
        self.insert(rows)
        midnight = now.replace(hour=0, minute=0, second=0, microsecond=0)
        today = lambda station: [r for r in rows if r[1] == station and r[5] == "line3" and r[0] >= midnight]

        env = dict(CLUSTER.env(password="change-me-too"))
        self.job(lease=5, database=CLUSTER.connection(user="stbload_view"))
        view, port = self.view(env)
        try:
            line = self.line_when(port, lambda line: line["database"]["state"] == "reached")
            self.assertEqual(line["job"], {"file": "line3.toml", "pool": "line3"})
            stations = {s["station"]: s for s in line["stations"]}
            self.assertEqual(list(stations), ["bench1", "bench2", "bench3"])
            bench1, bench2, bench3 = stations["bench1"], stations["bench2"], stations["bench3"]
            self.assertEqual(bench1["hour"], {"boxes": 2, "completed": 1, "yield": 0.5})
            self.assertEqual(bench1["today"]["boxes"], len(today("bench1")))
            self.assertEqual(bench2["hour"], {"boxes": 25, "completed": 21, "yield": 0.84})
            self.assertEqual(bench3["hour"], {"boxes": 2, "completed": 1, "yield": 0.5})
            last = rows[0][0]
            self.assertEqual(utc(bench1["last_row"]), last.replace(microsecond=last.microsecond // 1000 * 1000))
            self.assertEqual([p["port"] for p in bench3["ports"]], ["COM2", "COM11"])
            self.assertEqual((bench1["ports"][1]["last_result"], bench1["ports"][1]["last_reason"]),
                             ("failed", "lost connection: the device hung up"))
            self.assertEqual((bench1["quiet_min"], bench2["quiet_min"]), (None, None))
            self.assertIn(bench3["quiet_min"], (15, 16))
            self.assertEqual(line["pool"]["serial"], {"given": 40, "left": 999999999 - 40, "next": "STB000000041"})
            self.assertEqual(line["pool"]["mac"], {"given": 0, "left": 65536, "next": "00:1A:2B:00:00:00"})
            self.assertEqual([(w["station"], w["port"], w["boxes"], w["failed"]) for w in line["weak_ports"]],
                             [("bench2", "COM3", 5, 4)])

            # The page, in a browser: a card per station, the quiet one marked.
            browser = Browser(1280, 800)
            try:
                browser.open("http://127.0.0.1:%d/" % port)
                browser.wait_for("document.querySelectorAll('.station').length == 3")
                quiet = browser.evaluate("document.querySelector('.station.quiet').textContent")
                self.assertRegex(quiet, r"^bench3quiet for 1[56] min")
                self.assertIn("COM3", browser.evaluate("document.getElementById('weak').textContent"))
                # A new box, and the page follows without a reload.
                self.insert([(datetime.datetime.utcnow(), "bench3", "COM2", "completed", None, "line3")])
                browser.wait_for("document.querySelector('.station.quiet') === null", timeout=60)
            finally:
                browser.close()
            # One statement per refresh, whatever the number of browsers.
            log = (CLUSTER.dir / "server.log").read_text()
            before = log.count("FROM stb_boxes")
            for _ in range(60):
                self.assertEqual(get_json(port, "/api/line")[0], 200)
            time.sleep(11)
            reads = (CLUSTER.dir / "server.log").read_text().count("FROM stb_boxes") - before
            self.assertIn(reads, (2, 3), "reads in 11 s")
        finally:
            view.process.send_signal(signal.SIGINT)
            self.assertEqual(finish_tool(view).status, 0)

    def test_a_view_that_starts_without_its_database_and_the_tables_of_schema_1(self):
        self.job(lease=5)
        CLUSTER.stop()
        try:
            view, port = self.view(self.env)
            line = self.line_when(port, lambda line: line["database"]["state"] == "away")
            self.assertEqual((line["stations"], line["refreshed"]), ([], None))
            self.assertIn(b"database: away (connection refused)", b"".join(view.err_chunks))
        finally:
            CLUSTER.start()
        line = self.line_when(port, lambda line: line["database"]["state"] == "reached")
        self.assertEqual(line["pool"]["serial"]["given"], 0)
        self.assertEqual(request(port, "POST", "/api/line")[0], 405)
        self.assertEqual(request(port, "GET", "/api/status")[0], 404)
        view.process.send_signal(signal.SIGINT)
        self.assertEqual(finish_tool(view).status, 0)
        # Tables as the version before made them: refused until the README's move.
        CLUSTER.sql('DROP INDEX stb_boxes_pool_ended; ALTER TABLE stb_boxes DROP COLUMN "pool"; '
                    'ALTER TABLE stb_boxes DROP COLUMN "approval", DROP COLUMN "operator", DROP COLUMN "work_order"; '
                    'UPDATE stb_schema SET "version" = 1')
        run = run_tool(["--job", "line3.toml", "--check"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"the tables are of another version (schema 1; this stbload reads 2)", run.out)
        readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
        move = re.findall(r"```sql\n(.*?)```", readme[readme.index("#### For the line's IT"):], re.S)[4]
        CLUSTER.sql(move)
        sim = self.sim(name="com1")
        run = run_tool(["--job", "line3.toml", "1"], dict(self.env, STBLOAD_COM1=str(sim.link)), cwd=self.dir)
        self.assertEqual(run.status, 0, run.err)
        sim.finish()
        self.assertEqual(CLUSTER.sql('SELECT "pool", "result" FROM stb_boxes'), [["line3", "completed"]])


class Approvals(LineTest):
    """Only an approved job runs: its bytes and image, as a supervisor approved them for the pool."""

    def setUp(self):
        super().setUp()
        readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
        table = re.search(r"CREATE TABLE IF NOT EXISTS stb_approvals \(.*?\);", readme, re.S).group(0)
        CLUSTER.sql(table + " GRANT SELECT, INSERT, UPDATE ON stb_approvals TO %s" % postgres.STATION_USER)
        self.job(lease=3, approval=None)

    def download(self, port, env=None):
        sim = self.sim(name="com%d" % port)
        run = run_tool(["--job", "line3.toml", str(port)],
                       dict(env or self.env, **{"STBLOAD_COM%d" % port: str(sim.link)}), cwd=self.dir)
        if run.status == 0:
            sim.finish()
        return run

    def test_approved_then_changed_then_revoked(self):
        self.assertEqual(run_tool(["--job", "line3.toml", "--approve"], self.env, cwd=self.dir).status, 0)
        run = run_tool(["--job", "line3.toml", "--approve"], self.env, cwd=self.dir)
        self.assertRegex(run.out, rb"already approved by station on \S+ \(approval 1\)")
        self.assertEqual(self.download(1).status, 0)
        # One byte of the job changed: refused, naming the approval it no longer matches.
        text = (self.dir / "line3.toml").read_text()
        (self.dir / "line3.toml").write_text(text.replace("lease = 3", "lease = 4"))
        for args in (["--job", "line3.toml", "2"], ["--job", "line3.toml", "--check"]):
            run = run_tool(args, self.env, cwd=self.dir)
            self.assertEqual(run.status, 1, args)
            self.assertRegex(run.out, rb"job line3.toml has changed since its pool's last approval \(approved by "
                                      rb"station on \S+Z \(approval 1\)\): its file or its image is not the one "
                                      rb"approved")
        (self.dir / "line3.toml").write_text(text)
        run = run_tool(["--job", "line3.toml", "--revoke"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        run = run_tool(["--job", "line3.toml", "--revoke"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 1, run.out)
        self.assertIn(b"nothing to revoke: job line3.toml was revoked by station on", run.out)
        run = self.download(3)
        self.assertEqual(run.status, 1)
        self.assertIn(b"job line3.toml was revoked by station on", run.out)
        rows = self.rows(self.dir / "stbload-station.csv")
        self.assertEqual([(row["port"], row["approval"]) for row in rows], [("1", "1")])
        # Approved again: a new approval, and the rows carry it.
        self.assertEqual(run_tool(["--job", "line3.toml", "--approve"], self.env, cwd=self.dir).status, 0)
        self.assertEqual(self.download(4).status, 0)
        self.assertEqual(self.rows(self.dir / "stbload-station.csv")[-1]["approval"], "2")

    def test_the_database_away_at_the_start(self):
        self.assertEqual(run_tool(["--job", "line3.toml", "--approve"], self.env, cwd=self.dir).status, 0)
        self.assertEqual(self.download(1).status, 0)  # seen here once
        CLUSTER.stop()
        try:
            run = self.download(2)
            self.assertEqual(run.status, 0, run.out)
            # Another job's bytes, never seen approved: refused while the database is away.
            (self.dir / "line3.toml").write_text((self.dir / "line3.toml").read_text() + "# changed\n")
            run = self.download(3)
            self.assertEqual(run.status, 1)
            self.assertIn(b"the line's database is away, and this station has never seen an approval of job "
                          b"line3.toml as it is now: it runs only an approval it has seen: nothing flashed", run.out)
        finally:
            CLUSTER.start()
        self.assertEqual([row["approval"] for row in self.rows(self.dir / "stbload-station.csv")], ["1", "1"])

    def test_revoked_while_the_station_runs(self):
        self.assertEqual(run_tool(["--job", "line3.toml", "--approve"], self.env, cwd=self.dir).status, 0)
        sims = {1: self.sim(name="com1", script="\n".join(["wait_config"] + box_steps(1) + ["linger"]), timeout=300),
                2: self.sim(name="com2", script="\n".join(["wait_go"] + box_steps(1) + ["linger"]), timeout=300)}
        trace = self.dir / "trace.txt"
        station = start_tool(["--job", "line3.toml", "--station", "1,2", "--continuous"],
                             dict(self.port_env(sims), STBLOAD_TRACE=str(trace)), cwd=self.dir)
        self.wait_for(station, rb"completed in")
        run = run_tool(["--job", "line3.toml", "--revoke"], self.env, cwd=self.dir)
        self.assertEqual(run.status, 0, run.out)
        deadline = time.monotonic() + 120  # the station looks every 10 s
        while b"job revoked by station: " not in trace.read_bytes():
            self.assertLess(time.monotonic(), deadline, "the station never saw the revocation")
            time.sleep(0.2)
        sims[2].go()
        self.wait_for(station, rb"job revoked by station", timeout=60)
        self.assertIsNone(station.process.poll(), "the station keeps running until it is stopped")
        station.process.send_signal(signal.SIGINT)
        finish_tool(station)
        rows = self.rows(self.dir / "stbload-station.csv")
        self.assertEqual([(r["port"], r["result"], r["approval"]) for r in rows],
                         [("1", "completed", "1"), ("2", "not approved", "1")])
        self.assertEqual(rows[1]["reason"], "job revoked by station")
        received = sims[2].rx_path.read_bytes() if sims[2].rx_path.exists() else b""
        self.assertNotIn(b"y", received, "the box was not answered")
