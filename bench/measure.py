#!/usr/bin/env python3
"""Whole-process measurements for scripts/bench, and the table of figures against targets.

Every figure is the median of several rounds. Within a round the programs that are
compared run one after the other (in a rotating order), so that a change of load
on the machine hits both sides of a comparison alike. Times and peak memory come
from wait4() on the measured process itself (see bench_rusage).

A figure that cannot be measured (a program that fails, hangs or gives wrong
output) is reported as missed, with the reason, and the others are measured
all the same. Every process the bench starts is ended when the figure that
started it is done, and when the bench ends, however it ends.

usage: measure.py --build DIR --work DIR --gbench FILE [--rounds N]
       measure.py --build DIR --work DIR --only reads|report|line [--stbload PROGRAM]
(the second: only the port's read figures, the report's, or the line's database's,
for any stbload, an older one too)
Exit status: 0 when every target is met, 1 when a target is missed or a figure
could not be measured.
"""

import argparse
import atexit
import ctypes
import json
import os
import pty
import statistics
import subprocess
import sys
import signal
import tempfile
import threading
import time
import traceback
import tty
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "integration"))
import harness  # noqa: E402  (the simulated loader, as the tests run it)


# --- the processes the bench starts ------------------------------------------

REPO = Path(__file__).resolve().parents[1]
_LIBC = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_BENCH_PID = os.getpid()


def _ends_with_the_bench():
    """In a child before its exec: killed if the bench dies, even by SIGKILL."""
    _LIBC.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
    if os.getppid() != _BENCH_PID:  # the bench died before the line above
        os._exit(1)


class BenchProcess(subprocess.Popen):
    """Every process the bench starts, through whichever module (this one, the
    simulated loader's harness, the PostgreSQL cluster's, subprocess.run): in a
    session and process group of its own, so that it can be ended with all it
    started; with Ctrl+C and Ctrl+\\ as at a terminal, as the tests start the
    tool (a bench run from a background job of a script starts with both
    ignored, and a station would keep them ignored: it never heard the bench's
    Ctrl+C that ends a --continuous run); killed if the bench dies."""

    started = 0
    running = []  # (serial number, process), the finished ones dropped now and then

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("start_new_session", True)
        self.own_group = kwargs["start_new_session"]
        then = kwargs.pop("preexec_fn", None)

        def before_exec():
            for number in (signal.SIGINT, signal.SIGQUIT):
                signal.signal(number, signal.SIG_DFL)
            _ends_with_the_bench()
            if then is not None:
                then()
        kwargs["preexec_fn"] = before_exec
        super().__init__(*args, **kwargs)
        BenchProcess.running = [(n, p) for n, p in BenchProcess.running if p.returncode is None]
        BenchProcess.running.append((BenchProcess.started, self))
        BenchProcess.started += 1

    def end(self):
        """Kills the process and its group, and waits for it."""
        if self.returncode is not None:
            return
        try:
            if self.own_group:
                os.killpg(self.pid, signal.SIGKILL)  # not yet waited for: its group is still its own
            else:
                self.kill()
        except ProcessLookupError:
            pass
        self.wait()


subprocess.Popen = BenchProcess  # harness.Sim, postgres.Cluster and subprocess.run start theirs through it too


def end_processes(since=0):
    """Ends every process started (as BenchProcess.started counted) from `since` on."""
    for number, process in list(BenchProcess.running):
        if number >= since:
            process.end()


atexit.register(end_processes)


class Stopped(BaseException):
    """SIGTERM or SIGHUP: the bench ends, after it has ended what it started."""

    def __init__(self, number):
        super().__init__(signal.Signals(number).name)
        self.number = number


def stop_on(number, _frame):
    raise Stopped(number)


# --- figures that cannot be measured -------------------------------------------

class Missed(Exception):
    """A figure that could not be measured; the message says why."""


def command_text(command):
    words = [command] if isinstance(command, (str, bytes, os.PathLike)) else list(command)
    text = " ".join([Path(str(words[0])).name] + [str(word) for word in words[1:]])
    return text if len(text) <= 100 else text[:97] + "..."


def reason(error):
    """Why a figure was missed, in a line."""
    if isinstance(error, Missed):
        return str(error)
    if isinstance(error, subprocess.TimeoutExpired):
        return "%s did not end within %g s" % (command_text(error.cmd), error.timeout)
    if isinstance(error, subprocess.CalledProcessError):
        output = error.output.decode(errors="replace") if isinstance(error.output, bytes) else error.output or ""
        last = output.strip().splitlines()[-1:] or [""]
        return "%s ended with exit status %s%s" % (command_text(error.cmd), error.returncode,
                                                  ": " + last[0] if last[0] else "")
    # Where, in the bench's own code (or the tests' harness it uses).
    frames = traceback.extract_tb(error.__traceback__)
    ours = [frame for frame in frames if Path(frame.filename).resolve().is_relative_to(REPO)
            and (frame.filename, frame.name) != (__file__, "__init__")] or frames  # not BenchProcess's
    return "%s: %s (%s:%d)" % (type(error).__name__, error, Path(ours[-1].filename).name, ours[-1].lineno)


class Table:
    """The figures missed, with their reasons."""

    def __init__(self):
        self.missed = []

    def measure(self, figure, function, *args):
        """function(*args); if it fails, `figure` is recorded as missed and None is
        given. Either way the processes it started are ended."""
        since = BenchProcess.started
        try:
            return function(*args)
        except Exception as error:  # noqa: BLE001  (whatever it is, the other figures go on)
            self.miss(figure, reason(error))
            return None
        finally:
            end_processes(since)

    def figure(self, figure, function, *args):
        """The rows function(*args) gives; none if `figure` was missed."""
        return self.measure(figure, function, *args) or []

    def miss(self, figure, why):
        self.missed.append((figure, why))
        print("MISSED: %s: %s" % (figure, why), file=sys.stderr, flush=True)

IMAGE_BASE = 0x4000
TRANSFER_LENGTH = 0xFC000
PACKETS = TRANSFER_LENGTH // 16
WIRE_SECONDS = PACKETS * 20 * 10 / 115200  # 8N1: ten bit times per byte
COMPLETED = b"Download completed\r\n"

# Targets.
HEX_MB_PER_S = 250.0
SREC_SPEEDUP = 5.0
PIPE_CPU_RATIO = 1.5
TERMINAL_CPU_RATIO = 2.5
PEAK_RSS_MB = 20.0

HEX_RUNS_PER_ROUND = 3

# A box's own numbers must cost the packet loop next to nothing.
NUMBERS_COST = 0.05

# Reading the port: a flood without line ends, and a station whose boxes all
# talk at the line's rate while they write their flash.
FLOOD_MB = 16
FLOOD_SPEEDUP = 50.0          # against one read call per byte: 2.4 us a byte on a slow machine
FLOOD_BEFORE_MB_PER_S = 0.30  # one read call per byte, measured on this bench's machine (see the README)
TALKING_BOXES = 32
TALKING_CPU_PERCENT = 3.0     # of one core, for all the ports together
TALKING_SECONDS = 8.0
# The web server: clients following the events of that talking station cost
# it at most this much more of a core, and hear of a box's end this soon.
SERVE_CLIENTS = 50
SERVE_CPU_PERCENT = 1.0
SERVE_LATENCY_P95_MS = 100.0

# The report over a year of a line's logs.
REPORT_ROWS = 1000000
REPORT_SECONDS = 2.0
REPORT_MB = 50.0

# The line's database: its cost to a bench PC for each box (an insert and a
# share of a lease), and stations at once on fast boxes.
LINE_BOX_MS = 10.0
LINE_LEASE = 50
LINE_STATIONS = 8
LINE_PORTS = 4
LINE_BOXES = 12  # each port's

# The station at the real line rate: this many boxes at once, against one
# single download at the same rate.
STATION_BOXES = 16
STATION_TRANSFER_TOLERANCE = 0.01
STATION_CPU_RATIO = 1.2
STATION_RSS_MB = 20.0 + 64 * 1024 * STATION_BOXES / 1e6


class Sample:
    def __init__(self, wall, user, system, max_rss_kb, status, out):
        self.wall = wall
        self.cpu = user + system
        self.rss_mb = max_rss_kb * 1024 / 1e6
        self.status = status
        self.out = out


def run_process(build, argv, env=None, stdout="null", timeout=300, quiet=False):
    """Runs argv to its end with stdout on /dev/null, a pipe or a raw terminal (and
    stderr on /dev/null if quiet), measured by bench_rusage (its own parent, so that
    its peak memory is its own)."""
    environment = dict(os.environ)
    environment.update(env or {})
    out_fd = None
    if stdout == "pipe":
        out_fd, child_out = os.pipe()
    elif stdout == "terminal":
        out_fd, child_out = pty.openpty()
        tty.setraw(child_out)  # the tool's bytes pass unchanged, as a terminal emulator gets them
    else:
        child_out = subprocess.DEVNULL
    result_fd, result_name = tempfile.mkstemp(prefix="stbload-rusage-")
    os.close(result_fd)
    result = Path(result_name)
    process = subprocess.Popen([str(build / "bench" / "bench_rusage"), str(result), *argv],
                               stdin=subprocess.DEVNULL, stdout=child_out,
                               stderr=subprocess.DEVNULL if quiet else None, env=environment)
    chunks = []
    reader = None
    if out_fd is not None:
        os.close(child_out)
        reader = threading.Thread(target=harness.drain_output, args=(out_fd, chunks), daemon=True)
        reader.start()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.end()  # bench_rusage and the program it runs
        if reader is not None:
            reader.join(30)
            os.close(out_fd)
        result.unlink()
        raise Missed("%s did not finish within %d s" % (command_text(argv), timeout))
    if reader is not None:
        reader.join(30)
        os.close(out_fd)
    fields = result.read_text().split()
    result.unlink()
    if len(fields) != 5:
        raise Missed("%s: no measurement (bench_rusage exit status %d)" % (command_text(argv), process.returncode))
    wall, user, system, max_rss_kb, status = fields
    return Sample(float(wall), float(user), float(system), int(max_rss_kb), int(status), b"".join(chunks))


# The floor program does no dialogue: the simulated loader only takes the stream.
FLOOR_SCRIPT = "wait_config\nreceive\nlinger\n"


def download(build, work, kind, hex_path, window):
    """One whole download: stbload (stdout on a pipe or a terminal) or the floor program."""
    harness.STB_SIM = build / "tools" / "stb_sim"
    sim = harness.Sim(work, name="com7-" + kind, script=FLOOR_SCRIPT if kind == "floor" else None,
                      args=("--erase-ms", "0"))
    if kind == "floor":
        sample = run_process(build, [str(build / "bench" / "bench_packet_floor"), str(sim.link)])
    else:
        sample = run_process(build, [str(build / "stbload"), "7", str(hex_path)], {"STBLOAD_COM7": str(sim.link)},
                             stdout=kind)
    if sim.finish() != 0:
        raise Missed("%s: stb_sim failed" % kind)
    report, image = sim.report(), sim.image()
    if sample.status != 0:
        raise Missed("%s: exit status %d" % (kind, sample.status))
    if kind != "floor" and not sample.out.endswith(COMPLETED):
        raise Missed("%s: the console did not end with 'Download completed'" % kind)
    if report.get("packets") != PACKETS or report.get("bad_packets") != 0:
        raise Missed("%s: the simulated loader reports %r" % (kind, report))
    if image != window:
        raise Missed("%s: the received image differs from the hex file's window" % kind)
    return sample


def paced_run(build, work, hex_path, window, boxes):
    """One single download (boxes == 0) or a station of `boxes` ports, each box
    at 115200 baud's real rate. Gives the process's sample and each box's wire
    time in seconds (from its loader's report)."""
    harness.STB_SIM = build / "tools" / "stb_sim"
    names = ["paced-%d-%d" % (boxes, k) for k in range(max(boxes, 1))]
    sims = [harness.Sim(work, name=name, args=("--erase-ms", "0", "--pace"), timeout=600) for name in names]
    env = {"STBLOAD_COM%d" % (k + 1): str(sim.link) for k, sim in enumerate(sims)}
    if boxes == 0:
        argv = [str(build / "stbload"), "1", str(hex_path)]
    else:
        argv = [str(build / "stbload"), "--station", "1-%d" % boxes, str(hex_path), "--log", str(work / "station.csv")]
    sample = run_process(build, argv, env, stdout="pipe", timeout=600)
    if sample.status != 0:
        raise Missed("%s: exit status %d" % (" ".join(argv[1:2]), sample.status))
    wire = []
    for sim in sims:
        sim.finish(60)
        report = sim.report()
        if report.get("packets") != PACKETS or sim.image() != window:
            raise Missed("a paced box did not receive the image: %r" % report)
        wire.append(report["stream_ms"] / 1000)
    return sample, wire


def flood_rate(build, work, program, hex_path):
    """MB/s at which the tool reads FLOOD_MB of line noise without a line end
    while it waits for the erase: the time from the flood's first byte to its
    last, as the simulated loader sees them leave."""
    harness.STB_SIM = build / "tools" / "stb_sim"
    size = FLOOD_MB * 1000 * 1000
    steps = ["wait_config", "send " + harness.PROMPT, "expect_y", "mark flood", "send_repeat %d Z" % size,
             "send \\n", "mark flooded", "send " + harness.ERASED, "receive", "send ok\\n@", "linger"]
    sim = harness.Sim(work, name="flood", script="\n".join(steps), timeout=3600)
    sample = run_process(build, [str(program), "7", str(hex_path)], {"STBLOAD_COM7": str(sim.link)}, timeout=3600)
    if sim.finish(60) != 0 or sample.status != 0:
        raise Missed("the flood download failed (exit status %d)" % sample.status)
    began = Path(str(sim.link) + ".flood").stat().st_mtime
    ended = Path(str(sim.link) + ".flooded").stat().st_mtime
    return size / 1e6 / (ended - began)


def process_cpu_seconds(pid):
    """User and system time of a running process so far, from /proc."""
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class EventClients:
    """Clients that follow a station's /api/events, each on its own
    connection, read by one thread; each box's end is timed from the
    station's "ended" to its arrival."""

    def __init__(self, port, count):
        import selectors
        import socket
        self.selector = selectors.DefaultSelector()
        self.latencies_ms = []
        self.stopping = False
        self.sockets = []
        for _ in range(count):
            client = socket.create_connection(("127.0.0.1", port), timeout=30)
            client.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            client.setblocking(False)
            self.selector.register(client, selectors.EVENT_READ, [b""])
            self.sockets.append(client)
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        import datetime
        while not self.stopping:
            for key, _ in self.selector.select(0.2):
                try:
                    chunk = key.fileobj.recv(1 << 16)
                except BlockingIOError:
                    continue
                arrived = time.time()
                key.data[0] += chunk
                *events, key.data[0] = key.data[0].split(b"\n\n")
                for event in events:
                    for line in event.split(b"\n"):
                        if not line.startswith(b"data: "):
                            continue
                        data = json.loads(line[6:])
                        if data.get("event") == "completed":
                            ended = datetime.datetime.strptime(data["ended"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(
                                tzinfo=datetime.timezone.utc).timestamp()
                            self.latencies_ms.append(1000 * (arrived - ended))

    def close(self):
        self.stopping = True
        self.thread.join(10)
        for client in self.sockets:
            client.close()


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def talking_station_cpu(build, work, program, hex_path, clients=0):
    """A station of TALKING_BOXES ports whose boxes, once they have their
    image, all talk at 115200 baud's rate for a while before their '@': the
    station's CPU in that while, as a percentage of one core. With `clients`,
    the station serves and that many clients follow its events: then also the
    times from each box's end to its event at each client, in ms."""
    harness.STB_SIM = build / "tools" / "stb_sim"
    talk = int(LINE_BYTES_PER_S * (TALKING_SECONDS + 25))
    steps = ["wait_config", "send " + harness.PROMPT, "expect_y", "send " + harness.ERASING, "send " + harness.ERASED,
             "receive", "send Data received.\\n", "mark talking", "send_paced %d ." % talk, "send @", "linger"]
    # Names of their own for each run: a mark left by the last run must not be taken for this one's.
    run = "served" if clients else "talk"
    sims = [harness.Sim(work, name="%s-%d" % (run, k), script="\n".join(steps), timeout=600)
            for k in range(TALKING_BOXES)]
    env = dict(os.environ)
    env.update({"STBLOAD_COM%d" % (k + 1): str(sim.link) for k, sim in enumerate(sims)})
    port = free_port()
    serve = ["--serve", "127.0.0.1:%d" % port] if clients else []
    station = subprocess.Popen([str(program), "--station", "1-%d" % TALKING_BOXES, str(hex_path), "--log",
                                str(work / ("%s.csv" % run)), *serve], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, env=env)
    followers = None
    if clients:
        deadline = time.monotonic() + 60
        while followers is None:
            try:
                followers = EventClients(port, clients)
            except OSError:
                if time.monotonic() > deadline:
                    raise Missed("the station never served on 127.0.0.1:%d" % port)
                time.sleep(0.1)
    for sim in sims:
        sim.wait_mark("talking", timeout=600)
    time.sleep(1)
    cpu_before, wall_before = process_cpu_seconds(station.pid), time.monotonic()
    time.sleep(TALKING_SECONDS)
    cpu_after, wall_after = process_cpu_seconds(station.pid), time.monotonic()
    if station.wait(600) != 0:
        raise Missed("the talking station failed (exit status %d)" % station.returncode)
    for sim in sims:
        sim.finish(60)
    percent = 100 * (cpu_after - cpu_before) / (wall_after - wall_before)
    if not clients:
        return percent
    followers.close()
    if len(followers.latencies_ms) < TALKING_BOXES * clients:
        raise Missed("the clients heard of %d box ends, not %d" % (len(followers.latencies_ms), TALKING_BOXES * clients))
    return percent, followers.latencies_ms


LINE_BYTES_PER_S = 11520


def write_station_logs(path, rows):
    """`rows` boxes of four benches of 16 ports, as their logs hold them (3 % failed)."""
    import datetime
    import random
    rng = random.Random(7)
    header = ("started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,flash_write_s,"
              "bytes_sent,reason,job,box_id,unique,box_crc32,boot,approval,operator,work_order\r\n")
    sha = "1113415048b1bdd114fad5f0aed804d3e2b863d6ff5c6039f6e7ab01f0c561e3"
    start = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc).timestamp()
    with open(path, "w", newline="") as out:
        out.write(header)
        chunk = []
        for i in range(rows):
            began = start + i * 30
            seconds = 120 + rng.random() * 40
            ok = rng.random() > 0.03

            def iso(t):
                return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int(t % 1 * 1000)
            chunk.append("%s,%s,bench%d,%d,/dev/ttyUSB%d,,fw.hex,0x5E1F0C27,%s,%s,3.1,112.0,%s,%d,%s,line3.toml,,"
                         "serial=STB%09d,0x12345678,%s,,,\r\n" % (
                             iso(began), iso(began + seconds), i % 4 + 1, i % 16 + 3, i % 16, sha,
                             "completed" if ok else "lost connection", "2.3" if ok else "", 1032192 if ok else 40000,
                             "" if ok else "the device hung up", i, "STB firmware 2.3.1" if ok else ""))
            if len(chunk) == 20000:
                out.write("".join(chunk))
                chunk = []
        out.write("".join(chunk))


def report_rows(build, work, program):
    """The report over REPORT_ROWS rows: its time and its peak memory (medians of three runs)."""
    logs = work / "year.csv"
    write_station_logs(logs, REPORT_ROWS)
    samples = []
    for _ in range(3):
        sample = run_process(build, [str(program), "--report", str(logs), "--html", str(work / "year.html")])
        if sample.status != 0:
            raise Missed("the report failed (exit status %d)" % sample.status)
        samples.append(sample)
    size = logs.stat().st_size / 1e6
    wall, rss = median(samples, "wall"), max(s.rss_mb for s in samples)
    return [("Report over %s rows (%.0f MB of logs), text and page" % ("{:,}".format(REPORT_ROWS), size),
             "<= %.0f s, <= %.0f MB" % (REPORT_SECONDS, REPORT_MB), "%.2f s, %.1f MB" % (wall, rss),
             "%.0f MB/s; CPU %.2f s" % (size / wall, median(samples, "cpu")),
             verdict(wall <= REPORT_SECONDS and rss <= REPORT_MB))]


def stations_at_once(folder, job, program, env):
    """LINE_STATIONS stations of LINE_PORTS fast simulated boxes each, on `job`,
    every port flashing LINE_BOXES boxes: the boxes, the seconds they took, the
    serial of each row."""
    import csv
    import signal
    steps = ["wait_config"]
    for box in range(LINE_BOXES):
        steps += ["ask 300 " + harness.PROMPT, "send " + harness.ERASING, "send " + harness.ERASED, "receive",
                  "send Data received.\\n", "send @", "drain 250", "reset", "mark box%d" % box]
    steps.append("linger")
    sims, stations = [], []
    started = time.monotonic()
    for station in range(LINE_STATIONS):
        bench = folder / ("bench%d" % station)
        bench.mkdir(parents=True)
        ports = range(station * LINE_PORTS + 1, station * LINE_PORTS + LINE_PORTS + 1)
        station_env = dict(env)
        for port in ports:
            sim = harness.Sim(bench, name="com%d" % port, script="\n".join(steps), timeout=600)
            sims.append(sim)
            station_env["STBLOAD_COM%d" % port] = str(sim.link)
        stations.append(subprocess.Popen(
            [str(program), "--job", job, "--station", ",".join(map(str, ports)), "--continuous", "--rearm-quiet",
             "0.2"], cwd=bench, env=station_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
    for sim in sims:
        sim.wait_mark("box%d" % (LINE_BOXES - 1), timeout=600)
    elapsed = time.monotonic() - started
    for station in stations:
        station.send_signal(signal.SIGINT)
    for number, station in enumerate(stations):
        try:
            station.wait(60)
        except subprocess.TimeoutExpired:
            raise Missed("station %d (%s) did not end within 60 s of its Ctrl+C" % (
                number, command_text(station.args))) from None
    for sim in sims:
        sim.stop()
    serials = []
    for station in range(LINE_STATIONS):
        with open(folder / ("bench%d" % station) / "stbload-station.csv", newline="") as log:
            for row in csv.DictReader(log):
                if row["result"] != "completed":
                    raise Missed("a box did not complete: %r" % row)
                serials.append(row["unique"].split()[0])
    return LINE_STATIONS * LINE_PORTS * LINE_BOXES, elapsed, serials


LINE_FIGURES = "The line's database figures (a PostgreSQL 15 cluster)"
LINE_COST_FIGURE = "The line's database per box"
LINE_VIEW_FIGURE = "The line view's refresh"
LINE_VIEW_ROWS = 1000000
LINE_VIEW_MS = 200
LINE_STATIONS_FIGURE = "%d stations of %d fast boxes at once, one pool" % (LINE_STATIONS, LINE_PORTS)


def line_rows(table, build, work, program):
    """The line's database against a local PostgreSQL 15 that forces its commits
    to the disk: the cost of a box, and LINE_STATIONS stations at once."""
    import postgres
    harness.STB_SIM = build / "tools" / "stb_sim"  # the bench build's, not build/'s
    missing = postgres.missing_tools()
    if missing:
        raise Missed("the line's database figures need PostgreSQL 15 and psqlODBC: missing " + ", ".join(missing))
    cluster = postgres.Cluster(durable=True)
    try:
        env = dict(os.environ, **cluster.env())
        return (table.figure(LINE_COST_FIGURE, line_cost_rows, build, cluster, env) +
                table.figure(LINE_STATIONS_FIGURE, line_station_rows, work, program, cluster, env) +
                table.figure(LINE_VIEW_FIGURE, line_view_rows, build, cluster, env))
    finally:
        cluster.close()


def line_view_rows(build, cluster, env):
    """One refresh of the line view over a million rows: 30 days of ten
    stations of 32 ports, nine of them in the view's pool; with the index the
    tool makes, then without it."""
    cluster.sql('INSERT INTO stb_boxes ("started", "ended", "station", "port", "result", "reason", "pool") '
                "SELECT e - interval '30 second', e, 'bench' || (i %% 10), 'COM' || (i / 10 %% 32 + 1), "
                "CASE WHEN i %% 40 = 0 THEN 'failed' ELSE 'completed' END, NULL, "
                "CASE WHEN i %% 10 = 9 THEN 'line4' ELSE 'line3' END FROM (SELECT i, "
                "(now() AT TIME ZONE 'UTC') - i * interval '%f second' AS e FROM generate_series(1, %d) i) s"
                % (30 * 86400 / LINE_VIEW_ROWS, LINE_VIEW_ROWS))
    cluster.sql("ANALYZE stb_boxes")
    run = lambda: json.loads(subprocess.run([str(build / "bench" / "bench_line_view"), cluster.connection(), "line3",
                                             "20"], env=env, stdout=subprocess.PIPE, check=True, timeout=600).stdout)
    indexed = run()
    cluster.sql("DROP INDEX stb_boxes_pool_ended")
    try:
        plain = run()
    finally:
        cluster.sql('CREATE INDEX stb_boxes_pool_ended ON stb_boxes ("pool", "ended")')
    return [("One refresh of /api/line over %s rows (index (\"pool\", \"ended\"))" % format(LINE_VIEW_ROWS, ","),
             "<= %d ms" % LINE_VIEW_MS, "%.1f ms (p95 %.1f)" % (indexed["refresh_ms"], indexed["refresh_p95_ms"]),
             "%d stations, %d ports in the last day; longest %.1f ms; without the index %.1f ms (p95 %.1f)" % (
                 indexed["stations"], indexed["ports"], indexed["refresh_max_ms"], plain["refresh_ms"],
                 plain["refresh_p95_ms"]),
             verdict(indexed["refresh_p95_ms"] <= LINE_VIEW_MS))]


def line_cost_rows(build, cluster, env):
    done = subprocess.run([str(build / "bench" / "bench_line_db"), cluster.connection(), "2000", "200",
                           str(LINE_LEASE)], env=env, stdout=subprocess.PIPE, check=True, timeout=600)
    cost = json.loads(done.stdout)
    per_box = cost["insert_ms"] + cost["lease_ms"] / LINE_LEASE
    per_box_cpu = cost["insert_cpu_ms"] + cost["lease_cpu_ms"] / LINE_LEASE
    return [("The line's database per box: an insert and 1/%d of a lease (local PostgreSQL, commits on the disk)"
             % LINE_LEASE, "<= %.0f ms" % LINE_BOX_MS,
             "%.2f ms (CPU %.2f ms)" % (per_box, per_box_cpu),
             "insert %.2f ms (p95 %.2f), lease %.2f ms (p95 %.2f)" % (
                 cost["insert_ms"], cost["insert_p95_ms"], cost["lease_ms"], cost["lease_p95_ms"]),
             verdict(per_box <= LINE_BOX_MS))]


def line_station_rows(work, program, cluster, env):
    """Stations at once, each of LINE_PORTS fast boxes (not paced), one pool;
    then the same with the job's own journal instead, for comparison."""
    import zlib
    blocks = [(0x4000, bytes(range(256)) * 16), (0xFF000, b"\xaa" * 32)]
    (work / "line.hex").write_text(harness.hex_text(blocks))
    window = harness.srec_window(work / "line.hex", work)
    job = ('[image]\nfile = "line.hex"\ncrc32 = "0x%08X"\n\n[[unique]]\nname = "serial"\naddress = 0xFF000\n'
           'format = "decimal"\nprefix = "STB"\nwidth = 9\nfirst = 1\nlast = 999999999\n\n[[unique]]\n'
           'name = "mac"\naddress = 0xFF010\nformat = "mac"\nfirst = "00:1A:2B:00:00:00"\n'
           'last = "00:1A:2B:FF:FF:FF"\n' % zlib.crc32(window))
    (work / "line.toml").write_text(job + '\n[line]\ndatabase = "%s"\nlease = %d\napproval = "none"\n'
                                    % (cluster.connection(), LINE_LEASE))
    (work / "local.toml").write_text(job)
    figures = {}
    for name in ("local", "line"):
        boxes, elapsed, serials = stations_at_once(work / name, "../../%s.toml" % name, program, env)
        stored = int(cluster.sql("SELECT count(*) FROM stb_boxes WHERE \"job\" = '../../%s.toml'" % name)[0][0])
        once = len(serials) == boxes and len(set(serials)) == boxes and stored == (boxes if name == "line" else 0)
        figures[name] = (boxes / elapsed, once, "%d boxes in %.1f s; %d rows in stb_boxes; values %s" % (
            boxes, elapsed, stored, "each once" if once else "REPEATED OR MISSING"))
    rate, once, detail = figures["line"]
    return [("%d stations of %d fast boxes (not paced), one pool, leases of %d" % (
                 LINE_STATIONS, LINE_PORTS, LINE_LEASE), "every value once", "%.1f boxes/s" % rate,
             "%s; with the job's own journal instead %.1f boxes/s" % (detail, figures["local"][0]),
             verdict(once and figures["local"][1]))]


FLOOD_FIGURE = "Reading a flood without line ends"
TALKING_FIGURE = "Station CPU, %d boxes talking" % TALKING_BOXES


def flood_rows(build, work, program, hex_path):
    flood = flood_rate(build, work, program, hex_path)
    return [("Reading a flood without line ends (%d MB, while waiting for the erase)" % FLOOD_MB,
             ">= %.0fx %.2f MB/s" % (FLOOD_SPEEDUP, FLOOD_BEFORE_MB_PER_S), "%.1f MB/s (%.0fx)" % (
                 flood, flood / FLOOD_BEFORE_MB_PER_S), "a read call per byte: %.2f MB/s" % FLOOD_BEFORE_MB_PER_S,
             verdict(flood >= FLOOD_SPEEDUP * FLOOD_BEFORE_MB_PER_S))]


def talking_rows(build, work, program, hex_path):
    talking = talking_station_cpu(build, work, program, hex_path)
    served, latencies = talking_station_cpu(build, work, program, hex_path, SERVE_CLIENTS)
    cost = served - talking
    p95 = statistics.quantiles(latencies, n=20)[18]
    return [("Station CPU, %d boxes talking at 115200 baud while they write their flash" % TALKING_BOXES,
             "<= %.0f%% of a core" % TALKING_CPU_PERCENT, "%.1f%% of a core" % talking, "",
             verdict(talking <= TALKING_CPU_PERCENT)),
            ("The same station serving %d clients that follow /api/events: its CPU more" % SERVE_CLIENTS,
             "<= %.0f%% of a core" % SERVE_CPU_PERCENT, "%+.1f%% of a core" % cost,
             "%.1f%% serving, %.1f%% not" % (served, talking), verdict(cost <= SERVE_CPU_PERCENT)),
            ("From a box's end to its event at a client (%d ends x %d clients), 95th percentile"
             % (TALKING_BOXES, SERVE_CLIENTS), "<= %.0f ms" % SERVE_LATENCY_P95_MS, "%.0f ms" % p95,
             "median %.0f ms, worst %.0f ms" % (statistics.median(latencies), max(latencies)),
             verdict(p95 <= SERVE_LATENCY_P95_MS))]


def read_rows(table, build, work, program, hex_path):
    """The port's read figures, each on its own."""
    return (table.figure(FLOOD_FIGURE, flood_rows, build, work, program, hex_path) +
            table.figure(TALKING_FIGURE, talking_rows, build, work, program, hex_path))


REPORT_FIGURE = "Report over %s rows" % "{:,}".format(REPORT_ROWS)


def print_table(table, rows):
    """The table of the figures measured, then those missed and why; the exit status."""
    header = ("Figure", "Target", "Measured", "Floor / srec_cat", "Result")
    if not rows:
        rows = [("(none measured)", "", "", "", "")]
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = "| " + " | ".join("%-*s" % (widths[i], header[i]) for i in range(len(header))) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print("| " + " | ".join("%-*s" % (widths[i], row[i]) for i in range(len(row))) + " |")
    failed = [row[0] for row in rows if row[4] == "FAIL"]
    print()
    for figure, why in table.missed:
        print("MISSED: %s: %s" % (figure, why))
    if failed:
        print("Missed: " + "; ".join(failed))
    if not failed and not table.missed:
        print("All targets met.")
    sys.stdout.flush()
    return 1 if failed or table.missed else 0


def hex_load(build, work, kind, hex_path, records):
    out = work / ("%s-%d.bin" % (kind, records))
    if kind == "stbload":
        argv = [str(build / "bench" / "bench_hex_load"), str(hex_path), str(out)]
    else:
        argv = ["srec_cat", str(hex_path), "-Intel", "-crop", "0x4000", "0x100000", "-o", str(out), "-Binary"]
    sample = run_process(build, argv)
    if sample.status != 0:
        raise Missed("%s on %s: exit status %d" % (argv[0], hex_path, sample.status))
    data = out.read_bytes()
    # srec_cat's binary output starts at address 0; the hex loader's at the window.
    return sample, data if kind == "stbload" else data[IMAGE_BASE:]


# A file with one 4-byte record at the image base: the hex load program's fixed
# work (16 MB fill, 1 MB output) with next to no text.
TINY_HEX = ":020000040000FA\r\n:0440000001020304B2\r\n:00000001FF\r\n"


def fixed_cost(build, work, kind):
    """The hex load program without a file (start and exit only) or on TINY_HEX."""
    program = str(build / "bench" / "bench_hex_load")
    if kind == "start":
        sample = run_process(build, [program, str(work / "missing.hex"), str(work / "missing.bin")], quiet=True)
        expected = 1  # cannot open the file
    else:
        sample = run_process(build, [program, str(work / "tiny.hex"), str(work / "tiny.bin")])
        expected = 0
    if sample.status != expected:
        raise Missed("bench_hex_load (%s): exit status %d" % (kind, sample.status))
    return sample


def median(samples, field):
    return statistics.median(getattr(s, field) for s in samples)


def gbench_medians(path):
    """Median entries of the Google Benchmark JSON report, by benchmark name."""
    report = json.loads(Path(path).read_text())
    return {entry["run_name"]: entry for entry in report["benchmarks"]
            if entry.get("aggregate_name") == "median"}


def verdict(ok):
    return "pass" if ok else "FAIL"


HEX_FILES_FIGURE = "The bench's hex files (bench_make_hex, srec_cat)"
HEX_FIGURE = "Hex loads as whole processes, against srec_cat"
DOWNLOAD_FIGURE = "Downloads against the floor"
GBENCH_HEX_FIGURE = "Hex load in process (Google Benchmark)"
GBENCH_EXCHANGE_FIGURE = "Whole exchange in memory (Google Benchmark)"
STATION_FIGURE = "Station of %d boxes at 115200 baud" % STATION_BOXES


def make_hex_files(build, work, hex_files):
    """The bench's hex files; the window the box should get, as srec_cat reads the files."""
    for records, path in hex_files.items():
        subprocess.run([str(build / "bench" / "bench_make_hex"), str(records), str(path)], check=True, timeout=600)
    (work / "tiny.hex").write_bytes(TINY_HEX.encode())
    return harness.srec_window(hex_files[16], work)


def hex_round(build, work, hex_files, window, round_number, hex_samples, fixed_samples):
    """One round of the hex loads, the compared programs taking turns."""
    # The hex loads are short and noisy: several of each per round.
    hex_jobs = [(kind, records) for records in (16, 32) for kind in ("stbload", "srec_cat")] * HEX_RUNS_PER_ROUND
    shift = round_number % len(hex_jobs)
    for kind, records in hex_jobs[shift:] + hex_jobs[:shift]:
        sample, data = hex_load(build, work, kind, hex_files[records], records)
        if data != window:
            raise Missed("%s on the %d-byte-record file: the window differs" % (kind, records))
        if round_number > 0:
            hex_samples[(kind, records)].append(sample)
    for kind in ("start", "tiny") * HEX_RUNS_PER_ROUND:
        sample = fixed_cost(build, work, kind)
        if round_number > 0:
            fixed_samples[kind].append(sample)
    return True


def download_round(build, work, hex_path, window, round_number, download_samples):
    """One round of the downloads, the floor, the pipe and the terminal taking turns."""
    kinds = ["floor", "pipe", "terminal"]
    shift = round_number % len(kinds)
    for kind in kinds[shift:] + kinds[:shift]:
        sample = download(build, work, kind, hex_path, window)
        if round_number > 0:
            download_samples[kind].append(sample)
    return True


def gbench_hex_rows(gbench):
    gb = gbench_medians(gbench)
    rows = []
    fill_ms = gb["BM_FillImage"]["cpu_time"]
    for records in (16, 32):
        entry = gb["BM_LoadHexImage/record_bytes:%d" % records]
        parse = gb["BM_ParseHexNoFill/record_bytes:%d" % records]
        rate = entry["hex_text_MB"]
        rows.append(("Hex load in process, %d-byte records, 16 MB fill included" % records,
                     ">= %d MB/s" % HEX_MB_PER_S, "%.0f MB/s (%.2f ms)" % (rate, entry["cpu_time"]),
                     "parse only %.0f MB/s; fill alone %.2f ms" % (parse["hex_text_MB"], fill_ms),
                     verdict(rate >= HEX_MB_PER_S)))
    return rows


def hex_rows(hex_files, hex_samples, fixed_samples):
    rows = []
    for records in (16, 32):
        ours, srec = hex_samples[("stbload", records)], hex_samples[("srec_cat", records)]
        size_mb = hex_files[records].stat().st_size / 1e6
        ours_wall, srec_wall = median(ours, "wall"), median(srec, "wall")
        ours_cpu, srec_cpu = median(ours, "cpu"), median(srec, "cpu")
        # The MB/s target is the loader's (in process, above); a whole process adds
        # its start and exit, a fixed cost shown below that no loader can shrink.
        rows.append(("Hex load, whole process, %d-byte records (%.2f MB of text)" % (records, size_mb),
                     "(info)",
                     "%.0f MB/s (%.1f ms; CPU %.1f ms)" % (size_mb / ours_wall, ours_wall * 1e3, ours_cpu * 1e3),
                     "srec_cat %.0f MB/s (%.1f ms; CPU %.1f ms)" % (size_mb / srec_wall, srec_wall * 1e3,
                                                                    srec_cpu * 1e3),
                     "info"))
        rows.append(("Hex load against srec_cat, whole process, %d-byte records" % records,
                     ">= %.0fx faster" % SREC_SPEEDUP,
                     "%.1fx faster (%.1fx less CPU)" % (srec_wall / ours_wall, srec_cpu / ours_cpu),
                     "srec_cat %.1f ms" % (srec_wall * 1e3),
                     verdict(srec_wall / ours_wall >= SREC_SPEEDUP)))

    for kind, what in (("start", "start and exit only (no file)"),
                       ("tiny", "one 4-byte record (16 MB fill, 1 MB output)")):
        runs = fixed_samples[kind]
        rows.append(("Hex load program, %s" % what, "(info)",
                     "%.1f ms; CPU %.1f ms" % (median(runs, "wall") * 1e3, median(runs, "cpu") * 1e3), "", "info"))
    return rows


def gbench_exchange_rows(gbench):
    gb = gbench_medians(gbench)
    rows = []
    exchange = gb["BM_WholeExchangeInMemory/numbers:0"]
    rows.append(("Whole exchange in memory (64,512 packets, no port, no terminal)", "(info)",
                 "%.2f ms (%.1f ns/packet)" % (exchange["cpu_time"], exchange["cpu_time"] * 1e6 / PACKETS),
                 "wire %.0f us/packet" % (WIRE_SECONDS / PACKETS * 1e6), "info"))
    numbered = gb["BM_WholeExchangeInMemory/numbers:1"]
    ratio = gb["BM_NumbersCost"]["with_over_without"]
    rows.append(("The same with a box's own numbers over the shared image (a job)",
                 "<= %.0f%% more" % (NUMBERS_COST * 100),
                 "%+.1f%% (%.2f ms; taking turns)" % ((ratio - 1) * 100, numbered["cpu_time"]),
                 "without %.2f ms" % exchange["cpu_time"], verdict(ratio <= 1 + NUMBERS_COST)))
    return rows


def download_rows(download_samples):
    rows = []
    floor = download_samples["floor"]
    floor_cpu, floor_wall = median(floor, "cpu"), median(floor, "wall")
    for kind, limit in (("pipe", PIPE_CPU_RATIO), ("terminal", TERMINAL_CPU_RATIO)):
        runs = download_samples[kind]
        cpu = median(runs, "cpu")
        rows.append(("Download CPU (user+sys), stdout on a %s" % kind, "<= %.1fx floor" % limit,
                     "%.0f ms (%.2fx; %.2f us/packet)" % (cpu * 1e3, cpu / floor_cpu, cpu / PACKETS * 1e6),
                     "floor %.0f ms (%.2f us/packet)" % (floor_cpu * 1e3, floor_cpu / PACKETS * 1e6),
                     verdict(cpu <= limit * floor_cpu)))
    for kind in ("pipe", "terminal"):
        wall = median(download_samples[kind], "wall")
        rows.append(("Download wall time, stdout on a %s" % kind, "(%.1f s on the wire)" % WIRE_SECONDS,
                     "%.0f ms" % (wall * 1e3), "floor %.0f ms" % (floor_wall * 1e3), "info"))
    for kind in ("pipe", "terminal"):
        rss = max(s.rss_mb for s in download_samples[kind])
        rows.append(("Download peak RSS (largest of the runs), stdout on a %s" % kind, "<= %.0f MB" % PEAK_RSS_MB,
                     "%.1f MB" % rss, "floor %.1f MB" % max(s.rss_mb for s in floor),
                     verdict(rss <= PEAK_RSS_MB)))
    return rows


def station_rows(build, work, hex_path, window):
    """At the line's real rate: a single download, then a station of STATION_BOXES boxes at once."""
    paced_single, single_wire = paced_run(build, work, hex_path, window, 0)
    paced_station, station_wire = paced_run(build, work, hex_path, window, STATION_BOXES)
    single_cpu = paced_single.cpu
    per_box = paced_station.cpu / STATION_BOXES
    worst = max(station_wire, key=lambda t: abs(t - WIRE_SECONDS))
    return [
        ("Station, %d boxes at 115200 baud: each box's transfer on the wire" % STATION_BOXES,
         "within %.0f%% of %.1f s" % (STATION_TRANSFER_TOLERANCE * 100, WIRE_SECONDS),
         "%.1f to %.1f s (worst %+.2f%%)" % (min(station_wire), max(station_wire),
                                             (worst - WIRE_SECONDS) / WIRE_SECONDS * 100),
         "single download %.1f s" % single_wire[0],
         verdict(abs(worst - WIRE_SECONDS) <= STATION_TRANSFER_TOLERANCE * WIRE_SECONDS)),
        ("Station CPU per box (user+sys of the station / %d)" % STATION_BOXES,
         "<= %.1fx single" % STATION_CPU_RATIO, "%.0f ms (%.2fx)" % (per_box * 1e3, per_box / single_cpu),
         "single download at line rate %.0f ms" % (single_cpu * 1e3),
         verdict(per_box <= STATION_CPU_RATIO * single_cpu)),
        ("Station peak RSS, %d ports" % STATION_BOXES, "<= %.1f MB" % STATION_RSS_MB,
         "%.1f MB" % paced_station.rss_mb, "single download %.1f MB" % paced_single.rss_mb,
         verdict(paced_station.rss_mb <= STATION_RSS_MB)),
    ]


def every_figure(args, build, work, program, table):
    hex_files = {records: work / ("image-%d.hex" % records) for records in (16, 32)}
    window = table.measure(HEX_FILES_FIGURE, make_hex_files, build, work, hex_files)
    needs_files = "no hex files to measure with (see %s)" % HEX_FILES_FIGURE

    load_before = os.getloadavg()
    hex_samples = {(kind, records): [] for kind in ("stbload", "srec_cat") for records in (16, 32)}
    fixed_samples = {"start": [], "tiny": []}
    download_samples = {kind: [] for kind in ("floor", "pipe", "terminal")}
    hex_going = downloads_going = window is not None
    # Round 0 warms the caches and checks every output; it is not counted.
    for round_number in range(args.rounds + 1):
        if hex_going:
            hex_going = table.measure(HEX_FIGURE, hex_round, build, work, hex_files, window, round_number,
                                      hex_samples, fixed_samples) is not None
        if downloads_going:
            downloads_going = table.measure(DOWNLOAD_FIGURE, download_round, build, work, hex_files[16], window,
                                            round_number, download_samples) is not None
    if window is not None:
        station = table.figure(STATION_FIGURE, station_rows, build, work, hex_files[16], window)
        reads = read_rows(table, build, work, program, hex_files[16])
    else:
        station, reads = [], []
        for figure in (HEX_FIGURE, DOWNLOAD_FIGURE, STATION_FIGURE, FLOOD_FIGURE, TALKING_FIGURE):
            table.miss(figure, needs_files)
    reads += table.figure(REPORT_FIGURE, report_rows, build, work, program)
    reads += table.figure(LINE_FIGURES, line_rows, table, build, work, program)
    load_after = os.getloadavg()

    rows = []
    if args.gbench is None:
        for figure in (GBENCH_HEX_FIGURE, GBENCH_EXCHANGE_FIGURE):
            table.miss(figure, "no --gbench report given")
    else:
        rows += table.figure(GBENCH_HEX_FIGURE, gbench_hex_rows, args.gbench)
    if hex_going:
        rows += table.figure(HEX_FIGURE, hex_rows, hex_files, hex_samples, fixed_samples)
    if args.gbench is not None:
        rows += table.figure(GBENCH_EXCHANGE_FIGURE, gbench_exchange_rows, args.gbench)
    if downloads_going:
        rows += table.figure(DOWNLOAD_FIGURE, download_rows, download_samples)
    rows += station + reads

    print()
    print("Medians of %d rounds (%d runs each of the hex loads); load average %.2f before, %.2f after (1 min)."
          % (args.rounds, args.rounds * HEX_RUNS_PER_ROUND, load_before[0], load_after[0]))
    print("MB = 10^6 bytes. In process: Google Benchmark medians of CPU time (see above).")
    print("Downloads: the 16-byte-record file into stb_sim (usual dialogue, --erase-ms 0, no pacing);")
    print("the floor writes the same packets into its own stb_sim, which only receives.")
    print()
    return rows


def make_reads_hex(build, hex_path):
    subprocess.run([str(build / "bench" / "bench_make_hex"), "16", str(hex_path)], check=True, timeout=600)
    return True


def only_some(args, build, work, program, table):
    if args.only == "report":
        return table.figure(REPORT_FIGURE, report_rows, build, work, program)
    if args.only == "line":
        return table.figure(LINE_FIGURES, line_rows, table, build, work, program)
    hex_path = work / "reads.hex"
    if table.measure(HEX_FILES_FIGURE, make_reads_hex, build, hex_path) is None:
        return []
    return read_rows(table, build, work, program, hex_path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--gbench")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", choices=["reads", "report", "line"])
    parser.add_argument("--stbload", type=Path, help="the program measured (default: the build's)")
    args = parser.parse_args()
    build, work = args.build.resolve(), args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    program = (args.stbload or build / "stbload").resolve()
    # A SIGTERM or SIGHUP ends the bench as Ctrl+C does: what it started ends first.
    # (One its starter ignores stays ignored, as Ctrl+C does in a background job.)
    for number in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, stop_on)
    table = Table()
    try:
        rows = (only_some if args.only else every_figure)(args, build, work, program, table)
        return print_table(table, rows)
    except Stopped as stop:
        end_processes()
        print("measure.py: stopped by %s; every process it started has ended" % stop, file=sys.stderr)
        signal.signal(stop.number, signal.SIG_DFL)
        os.kill(os.getpid(), stop.number)
        return 128 + stop.number
    finally:
        end_processes()


if __name__ == "__main__":
    raise SystemExit(main())
