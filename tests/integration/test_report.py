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

from harness import BANNER, ToolTest, hex_text, random_bytes, run_tool

HEADER = ("started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,flash_write_s,"
          "bytes_sent,reason")
JOB_COLUMNS = ",job,box_id,unique,box_crc32,boot,approval,operator,work_order"
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
        return ",".join(fields) + (",line3.toml,,serial=STB000000001,,\"STB firmware \"\"2\"\", ok\",7,anna,WO-1234" if job_columns
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
    """BOXES, COMPLETED, FAILED, INTERRUPTED, YIELD, MEDIAN, BOXES/H as the report should print them."""
    completed = [b for b in boxes if b.result == "completed"]
    failed = [b for b in boxes if b.result not in ("completed", "interrupted")]
    interrupted = [b for b in boxes if b.result == "interrupted"]
    hours = {int(b.start.timestamp()) // 3600 for b in boxes}
    median = statistics.median(round(b.seconds) for b in completed) if completed else None
    return ["{:,}".format(len(boxes)), "{:,}".format(len(completed)), "{:,}".format(len(failed)),
            "{:,}".format(len(interrupted)), "%.1f %%" % (100.0 * len(completed) / len(boxes)),
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
            self.assertEqual(rows[0], key + ["BOXES", "COMPLETED", "FAILED", "INTERRUPTED", "YIELD", "MEDIAN",
                                             "BOXES/H"])
            got = {tuple(row[:len(key)]): row[len(key):] for row in rows[1:]}
            want = {k if isinstance(k, tuple) else (k,): expected_group(v) for k, v in groups.items()}
            self.assertEqual(got, want, title)

        check("By station", ["STATION"], lambda b: b.station)
        # "3" and "COM3" in PORTS name one port.
        check("By port", ["STATION", "PORT"], lambda b: (b.station, "COM" + b.port.replace("COM", "")))
        check("By day (UTC)", ["DAY"], lambda b: b.start.strftime("%Y-%m-%d"))
        check("By image", ["CRC-32"], lambda b: b.crc)
        # Only bench1's log names its operator and order; bench2's is older than that.
        bench1 = [b for b in self.boxes if b.station == "bench1"]
        self.assertEqual(tables["By operator"][1:], [["anna"] + expected_group(bench1)])
        self.assertEqual(tables["By work order"][1:], [["WO-1234"] + expected_group(bench1)])
        # Every box that did not complete, the interrupted one too, under its result and reason.
        reasons = {}
        for box in self.boxes:
            if box.result != "completed":
                key = box.result + ": " + box.reason
                reasons[key] = reasons.get(key, 0) + 1
        self.assertIn("interrupted: the station was stopped", reasons)
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
        for line, why in ((lines, "2 fields where the header has 23"), (lines + 1, "a quote within a field"),
                          (lines + 2, "22 fields where the header has 23"), (lines + 3, "no line end: torn")):
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
            self.assertEqual(value.decode() + " %", row[6])
        histogram = sum(int(n) for n in re.findall(rb'<rect class="bin" data-from-s="\d+" data-boxes="(\d+)"', dom))
        self.assertEqual(histogram, sum(1 for b in self.boxes if b.result == "completed"))
        self.assertIn(b"bench2 COM7: 12 of 40 boxes failed (30 %)", dom)

    def leftovers(self):
        """Files the page's writes left beside their targets."""
        return sorted(p.name for p in self.dir.rglob(".*.stbload-*"))

    def test_the_page_replaces_only_a_missing_file_or_an_earlier_page(self):
        logs = {name: (self.dir / name).read_bytes() for name in ("bench1.csv", "bench2.csv")}
        (self.dir / "notes.html").write_text("<!DOCTYPE html>\n<p>the shift's own notes</p>\n")
        (self.dir / "empty.html").write_bytes(b"")
        (self.dir / "notes.txt").write_text("not a log at all\n")
        os.symlink("bench1.csv", self.dir / "link.csv")
        os.mkdir(self.dir / "sub")
        refused = "not a page that stbload --report wrote; not replaced (give another file to --html)"
        one_of_the_logs = "is one of the logs this report reads; not replaced"
        for args, status, note in (
                # The two arguments swapped: the log is the page's target.
                (["week.html", "--html", "bench1.csv"], 2, "bench1.csv: " + refused),
                # A page over its own input, however the path is spelt, whatever the file holds.
                (["bench1.csv", "--html", "bench1.csv"], 2, "bench1.csv: " + one_of_the_logs),
                (["bench2.csv", "bench1.csv", "--html", "sub/../bench1.csv"], 2,
                 "sub/../bench1.csv: " + one_of_the_logs),
                (["link.csv", "--html", "bench1.csv"], 2, "bench1.csv: " + one_of_the_logs),
                (["missing.csv", "bench2.csv", "--html", "missing.csv"], 2, "missing.csv: " + one_of_the_logs),
                # Another program's page, and an empty file.
                (["bench1.csv", "--html", "notes.html"], 2, "notes.html: " + refused),
                (["bench1.csv", "--html", "empty.html"], 2, "empty.html: " + refused),
                (["bench1.csv", "--html", "sub"], 2, "sub: "),
                # No row read: no page, even where one could go.
                (["notes.txt", "--html", "week.html"], 1, "no box was read; week.html not written"),
                # A folder that is not there: nothing written, nothing left.
                (["bench1.csv", "--html", "nowhere/week.html"], 1, "nowhere/week.html: No such file or directory; "
                                                                    "the page is not written")):
            run = run_tool(["--report"] + args, cwd=self.dir)
            self.assertEqual(run.status, status, args)
            self.assertIn(("stbload: " + note).encode(), run.err, args)
            if status == 2:
                # Refused before a row was read.
                self.assertEqual(run.out, BANNER, args)
        for name, text in logs.items():
            self.assertEqual((self.dir / name).read_bytes(), text, name)
        self.assertEqual((self.dir / "notes.html").read_text(), "<!DOCTYPE html>\n<p>the shift's own notes</p>\n")
        self.assertEqual((self.dir / "empty.html").read_bytes(), b"")
        self.assertFalse((self.dir / "week.html").exists())

        # A missing page is written, with the mark that lets the next report replace it.
        run = run_tool(["--report", "bench1.csv", "bench2.csv", "--html", "week.html"], cwd=self.dir)
        self.assertEqual(run.status, 0)
        page = (self.dir / "week.html").read_text()
        self.assertIn('<meta name="generator" content="stbload --report">', page[:1024])
        self.assertIn("2 logs, 240 boxes", page)
        run = run_tool(["--report", "bench1.csv", "--html", "week.html"], cwd=self.dir)
        self.assertEqual((run.status, run.err), (0, b""))
        self.assertIn("1 log, 90 boxes", (self.dir / "week.html").read_text())
        # A report that reads no row leaves the earlier page as it was.
        before = (self.dir / "week.html").read_bytes()
        run = run_tool(["--report", "notes.txt", "--html", "week.html"], cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertEqual((self.dir / "week.html").read_bytes(), before)
        self.assertEqual(self.leftovers(), [])

    def test_a_mistyped_option_is_named(self):
        usage = BANNER + b"Usage: stbload --report LOG... [--html FILE]\r\n"
        for args, note in ((["bench1.csv", "--htm", "week.html"], "unknown option --htm"),
                           (["-html", "week.html", "bench1.csv"], "unknown option -html"),
                           (["bench1.csv", "--html", "a.html", "--html", "b.html"], "--html given twice"),
                           (["bench1.csv", "--html"], "--html needs the page's file name"),
                           (["bench1.csv", "--html", "--htm"], "--html needs the page's file name")):
            run = run_tool(["--report"] + args, cwd=self.dir)
            self.assertEqual((run.status, run.out, run.err), (2, usage, ("stbload: %s\n" % note).encode()), args)
        self.assertEqual(sorted(p.name for p in self.dir.iterdir()), ["bench1.csv", "bench2.csv"])

    def torn_in_a_quote(self, box):
        """A row of the new header cut by a power cut inside its quoted reason."""
        row = box.row(True).replace(box.reason, '"%s"' % box.reason)
        return row[:row.index('"' + box.reason) + 8]

    def test_a_row_torn_inside_a_quote_hides_no_row_after_it(self):
        # As a station before this fix left it: a line end after the tear, the quote still open, then
        # a hundred good rows; in the old log, a quote torn mid-row and a row's start glued to the tear.
        torn = Box("bench1", "3", 0, 150, "lost connection", "the device hung up, twice")
        later = [Box("bench1", "5", 200000 + 600 * i, 140, "completed") for i in range(100)]
        log = self.dir / "bench1.csv"
        text = log.read_bytes().decode()
        log.write_text(text + self.torn_in_a_quote(torn) + "\r\n" + "".join(b.row(True) for b in later), newline="")
        old = self.dir / "bench2.csv"
        old_text = old.read_bytes().decode()
        old_torn = Box("bench2", "9", 0, 150, "lost connection", "x").row(False)[:60] + ',"a, b'
        old.write_text(old_text + old_torn + "\n" + later[0].row(False).replace("bench1", "bench2"), newline="")
        run = run_tool(["--report", "bench1.csv", "bench2.csv"], cwd=self.dir)
        self.assertEqual(run.status, 0)
        self.assertIn("report: 2 logs, 341 boxes (2 rows skipped)", run.out.decode())
        err = run.err.decode()
        self.assertIn("stbload: bench1.csv:%d: skipped: a quote left open: torn\n" % (text.count("\r\n") + 1), err)
        self.assertIn("stbload: bench2.csv:%d: skipped: a quote left open: torn\n" % (old_text.count("\r\n") + 1),
                      err)
        self.assertEqual(err.count("skipped"), 2, err)
        tables = text_tables(run.out)
        ports = {tuple(row[:2]): row[2:] for row in tables["By port"][1:]}
        self.assertEqual(ports[("bench1", "COM5")], expected_group(later))

    def test_the_station_closes_a_quote_a_power_cut_left_open(self):
        log = self.dir / "stbload-station.csv"
        header = (self.dir / "bench1.csv").read_bytes().decode().split("\r\n")[0] + "\r\n"
        whole = [b for b in self.boxes if b.station == "bench1"][:10]
        torn = self.torn_in_a_quote(Box("bench1", "3", 0, 150, "lost connection", "the device hung up, twice"))
        before = header + "".join(b.row(True) for b in whole) + torn
        log.write_text(before, newline="")
        hex_path = self.write_hex("fw.hex", hex_text([(0x0000, random_bytes(0x6000, 71))]))
        for _ in range(2):
            sim = self.sim(name="com7")
            run = run_tool(["--station", "7", str(hex_path)], {"STBLOAD_COM7": str(sim.link)}, cwd=self.dir)
            self.assertEqual(run.status, 0, run.out + run.err)
        text = log.read_bytes().decode()
        self.assertTrue(text.startswith(before + '"\r\n'), text[len(before) - 20:len(before) + 40])
        run = run_tool(["--report", log.name], cwd=self.dir)
        self.assertEqual(run.status, 0)
        # The ten rows before, the two the station wrote after, and the torn one named.
        self.assertIn("report: 1 log, 12 boxes (1 rows skipped)", run.out.decode())
        self.assertEqual(run.err.decode(), "stbload: %s:%d: skipped: 15 fields where the header has 23\n"
                         % (log.name, len(whole) + 2))
        stations = {row[0]: row[1:] for row in text_tables(run.out)["By station"][1:]}
        self.assertEqual(stations.pop("bench1"), expected_group(whole))
        (this_station,) = stations.values()
        self.assertEqual(this_station[:4], ["2", "2", "0", "0"])


if __name__ == "__main__":
    unittest.main()
