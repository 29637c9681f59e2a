"""stbload --report: station logs read together, checked figure by figure against sums made here."""

import datetime
import html.parser
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import unittest

from harness import ToolTest, run_tool

HEADER = ("started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,flash_write_s,"
          "bytes_sent,reason")
JOB_COLUMNS = ",job,box_id,unique,box_crc32,boot"
T0 = datetime.datetime(2026, 12, 7, 6, 0, tzinfo=datetime.timezone.utc)


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (moment.microsecond // 1000)


class Box:
    def __init__(self, station, port, start_s, seconds, result, reason="", crc="0x5E1F0C27"):
        self.station, self.port, self.result, self.reason, self.crc = station, port, result, reason, crc
        self.start = T0 + datetime.timedelta(seconds=start_s)
        self.end = self.start + datetime.timedelta(seconds=seconds)
        self.seconds = seconds

    def row(self, job_columns):
        fields = [iso(self.start), iso(self.end), self.station, self.port, "/dev/ttyUSB0", "", "fw.hex", self.crc, "",
                  self.result, "1.0", "112.0", "2.0", "1032192", self.reason]
        return ",".join(fields) + (",line3.toml,,serial=STB000000001,,\"STB firmware \"\"2\"\", ok\"" if job_columns
                                   else "") + "\r\n"


def line_boxes():
    """Two benches over two days. bench2 port 7 fails 12 of 40 boxes; its other ports 2 of 110."""
    boxes = []
    for i in range(40):
        boxes.append(Box("bench2", "7", 600 * i, 140 + i % 7, "lost connection" if i % 10 < 3 else "completed",
                         "the device hung up" if i % 10 < 3 else ""))
    for i in range(110):
        failed = i in (17, 80)
        boxes.append(Box("bench2", str(8 + i % 3), 300 * i + 7, 131 + i % 11, "lost connection" if failed else "completed",
                         "Input/output error" if failed else ""))
    for i in range(90):
        result = "interrupted" if i == 5 else "no boot message" if i in (30, 31) else "completed"
        reason = {"interrupted": "the station was stopped", "no boot message": "the boot text did not come within 30 s"}
        boxes.append(Box("bench1", "COM3" if i % 2 else "3", 86400 + 900 * i, 150 + i % 5, result,
                         reason.get(result, ""), crc="0x11111111" if i < 10 else "0x5E1F0C27"))
    return boxes


def expected_group(boxes):
    """BOXES, COMPLETED, FAILED, YIELD, MEDIAN, BOXES/H as the report should print them."""
    completed = [b for b in boxes if b.result == "completed"]
    failed = [b for b in boxes if b.result not in ("completed", "interrupted")]
    hours = {int(b.start.timestamp()) // 3600 for b in boxes}
    median = statistics.median(round(b.seconds) for b in completed) if completed else None
    return ["{:,}".format(len(boxes)), "{:,}".format(len(completed)), "{:,}".format(len(failed)),
            "%.1f %%" % (100.0 * len(completed) / len(boxes)),
            "-" if median is None else "%d:%02d" % (int(median + 0.5) // 60, int(median + 0.5) % 60),
            "%.1f" % (len(completed) / len(hours))]


def text_tables(out):
    """The report's text tables: title -> rows of cells (split at two blanks or more)."""
    tables = {}
    title = None
    for line in out.decode().split("\r\n"):
        if not line:
            title = None
        elif title is None:
            title = line
            tables[title] = []
        else:
            tables[title].append(re.split(r"\s{2,}", line.strip()))
    return tables


class Tables(html.parser.HTMLParser):
    """The tables of the page as Chromium leaves them in its DOM."""

    def __init__(self):
        super().__init__()
        self.tables = {}
        self.current = None
        self.cell = None

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.current = self.tables.setdefault(dict(attrs)["id"], [])
        elif tag == "tr" and self.current is not None:
            self.current.append([])
        elif tag in ("td", "th") and self.current is not None:
            self.cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.current[-1].append(self.cell)
            self.cell = None
        elif tag == "table":
            self.current = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


class Report(ToolTest):

    def setUp(self):
        super().setUp()
        self.boxes = line_boxes()
        # bench2 in a log from before jobs, bench1 in one with the job's columns: read together.
        (self.dir / "bench2.csv").write_text(HEADER + "\r\n" + "".join(b.row(False) for b in self.boxes
                                                                     if b.station == "bench2"), newline="")
        (self.dir / "bench1.csv").write_text(HEADER + JOB_COLUMNS + "\r\n" + "".join(b.row(True) for b in self.boxes
                                                                                   if b.station == "bench1"),
                                             newline="")

    def test_figures_by_station_port_day_and_image_and_the_weak_port(self):
        run = run_tool(["--report", "bench1.csv", "bench2.csv"], cwd=self.dir)
        self.assertEqual((run.status, run.err), (0, b""))
        tables = text_tables(run.out)
        self.assertIn("report: 2 logs, 240 boxes, 2026-12-07 to 2026-12-09", run.out.decode())

        def check(title, key, group_of):
            groups = {}
            for box in self.boxes:
                groups.setdefault(group_of(box), []).append(box)
            rows = tables[title]
            self.assertEqual(rows[0][:len(key)], key)
            got = {tuple(row[:len(key)]): row[len(key):] for row in rows[1:]}
            want = {k if isinstance(k, tuple) else (k,): expected_group(v) for k, v in groups.items()}
            self.assertEqual(got, want, title)

        check("By station", ["STATION"], lambda b: b.station)
        # "3" and "COM3" in PORTS name one port.
        check("By port", ["STATION", "PORT"], lambda b: (b.station, "COM" + b.port.replace("COM", "")))
        check("By day (UTC)", ["DAY"], lambda b: b.start.strftime("%Y-%m-%d"))
        check("By image", ["CRC-32"], lambda b: b.crc)
        reasons = {}
        for box in self.boxes:
            if box.result not in ("completed", "interrupted"):
                key = box.result + ": " + box.reason
                reasons[key] = reasons.get(key, 0) + 1
        self.assertEqual({row[0]: int(row[1]) for row in tables["Failures by reason"][1:]}, reasons)
        # The port that fails five times as often as its neighbours, named; no other.
        self.assertEqual(tables["Weak ports"], [["bench2 COM7: 12 of 40 boxes failed (30 %), the other ports 1.8 %: "
                                                 "check its cable and adapter"]])
        # Ports in the order people count them: COM8 before COM10.
        ports = [row[1] for row in tables["By port"][1:] if row[0] == "bench2"]
        self.assertEqual(ports, ["COM7", "COM8", "COM9", "COM10"])

    def test_torn_rows_and_foreign_files(self):
        log = self.dir / "bench1.csv"
        text = log.read_bytes()
        # A row torn by a power cut and ended by the next start, a row with a stray quote, a row with
        # a field too few, and a last row without its line end.
        first_row = text.split(b"\r\n")[1]
        log.write_bytes(text + first_row[:40] + b"\r\n" + first_row.replace(b"\"STB", b"STB") + b"\r\n"
                        + first_row.replace(b",,\"STB", b",\"STB") + b"\r\n" + first_row)
        (self.dir / "notes.txt").write_text("not a log at all\n")
        (self.dir / "other.csv").write_text("started,ended,station\r\n1,2,3\r\n")
        run = run_tool(["--report", "bench1.csv", "notes.txt", "other.csv", "missing.csv"], cwd=self.dir)
        self.assertEqual(run.status, 0)
        err = run.err.decode()
        lines = len(text.split(b"\r\n"))
        for line, why in ((lines, "2 fields where the header has 20"), (lines + 1, "a quote within a field"),
                          (lines + 2, "19 fields where the header has 20"), (lines + 3, "no line end: torn")):
            self.assertIn("stbload: bench1.csv:%d: skipped: %s\n" % (line, why), err)
        for name in ("notes.txt", "other.csv"):
            self.assertIn("stbload: %s: not a station log: its first line is not the header of stbload's results "
                          "log; not read\n" % name, err)
        self.assertIn("stbload: missing.csv: cannot be read; not read\n", err)
        self.assertIn("report: 1 log, 90 boxes (4 rows skipped)", run.out.decode())
        # Nothing read at all: status 1.
        run = run_tool(["--report", "notes.txt"], cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"no box was read", run.err)

    def test_the_page_rendered_by_chromium_holds_the_same_figures(self):
        chromium = shutil.which("chromium")
        self.assertIsNotNone(chromium, "chromium is missing (scripts/install-deps test installs it)")
        run = run_tool(["--report", "bench1.csv", "bench2.csv", "--html", "report.html"], cwd=self.dir)
        self.assertEqual(run.status, 0)
        page = (self.dir / "report.html").read_text()
        # Self-contained: nothing from elsewhere.
        self.assertIsNone(re.search(r"<script|<link|<img|@import|url\(|src=", page))
        profile = tempfile.mkdtemp(prefix="stbload-chromium-")
        self.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        flags = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile]
        url = (self.dir / "report.html").as_uri()
        shot = self.dir / "report.png"
        subprocess.run(flags + ["--screenshot=" + str(shot), "--window-size=1100,2400", url], check=True,
                       capture_output=True, timeout=120)
        self.assertTrue(shot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n"))
        self.assertGreater(shot.stat().st_size, 20000, "a page with tables and charts")
        dom = subprocess.run(flags + ["--dump-dom", url], check=True, capture_output=True, timeout=120).stdout
        parsed = Tables()
        parsed.feed(dom.decode())
        text = text_tables(run.out)
        for table_id, title in (("stations", "By station"), ("ports", "By port"), ("days", "By day (UTC)"),
                                ("images", "By image"), ("reasons", "Failures by reason")):
            self.assertEqual([[cell.strip() for cell in row] for row in parsed.tables[table_id]], text[title],
                             table_id)
        # The charts: a line per station, a bar per port (the weak one marked), and the histogram.
        self.assertEqual(len(re.findall(rb'<polyline class="station"', dom)), 2)
        bars = re.findall(rb'<rect class="(bar[^"]*)" data-port="([^"]+)" data-yield="([\d.]+)"', dom)
        self.assertEqual(len(bars), len(text["By port"]) - 1)
        self.assertEqual([port for kind, port, _ in bars if kind == b"bar weak"], [b"bench2 COM7"])
        for kind, port, value in bars:
            row, = [r for r in text["By port"] if " ".join(r[:2]).encode() == port]
            self.assertEqual(value.decode() + " %", row[5])
        histogram = sum(int(n) for n in re.findall(rb'<rect class="bin" data-from-s="\d+" data-boxes="(\d+)"', dom))
        self.assertEqual(histogram, sum(1 for b in self.boxes if b.result == "completed"))
        self.assertIn(b"bench2 COM7: 12 of 40 boxes failed (30 %)", dom)


if __name__ == "__main__":
    unittest.main()
