"""A station's web server: the API against simulated boxes, and what it refuses."""

import datetime
import json
import socket
import unittest

from harness import ERASING, PROMPT, finish_tool, run_tool, start_tool
from browser import Browser
from test_station import BOX, Station
from web_client import EventStream, get_json, request, served_port

TOKEN = "line3-bench-7c1f"
STATES = {"waiting", "answered", "erasing", "sending", "confirming", "writing flash", "checking boot",
          "waiting for numbers", "numbers used up", "remove the box", "port lost", "cannot open", "opening", "done"}
def utc_seconds(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc).timestamp()


STUCK = ["wait_config", "send " + PROMPT, "expect_y", "send " + ERASING, "mark erasing", "sleep 60000"]


class Serve(Station):

    def start_station(self, sims, *options, token=TOKEN):
        env = {"STBLOAD_COM%s" % port: str(sim.link) for port, sim in sims.items()}
        env["STBLOAD_SERVE_TOKEN"] = token
        station = start_tool(["--station", ",".join(sims), str(self.hex_path), *options], env, cwd=self.dir)
        return station, served_port(station)

    def events_until(self, stream, wanted, seen):
        """Events into `seen` until one is `wanted` (event, port)."""
        while True:
            event_id, data = stream.next()
            seen.append((event_id, data))
            if (data["event"], data["port"]) == wanted:
                return data

    def test_status_events_log_reset_and_stop_follow_the_station(self):
        sims = {"7": self.sim(name="com7", script="\n".join(["wait_go"] + BOX + ["linger"])),
                "8": self.sim(name="com8", script="\n".join(STUCK))}
        events_path = self.dir / "events.jsonl"
        station, port = self.start_station(sims, "--continuous", "--serve", "127.0.0.1:0", "--events", str(events_path))
        stream = EventStream(port)
        self.assertEqual(stream.status, 200)
        self.assertIn("text/event-stream", stream.head)
        self.assertNotIn("Access-Control-Allow-Origin", stream.head)

        status, before = get_json(port, "/api/status")
        self.assertEqual(status, 200)
        self.assertEqual((before["station"], before["job"], before["database"]), (socket.gethostname(), None, None))
        self.assertEqual(before["image"]["file"], str(self.hex_path))
        self.assertEqual([p["port"] for p in before["ports"]], ["7", "8"])
        self.assertLessEqual({p["state"] for p in before["ports"]}, STATES)
        started = utc_seconds(before["started"])
        for entry in before["ports"]:  # each state since the station's start (to the ms), not long before it
            self.assertGreaterEqual(utc_seconds(entry["since"]), started - 1, entry)

        sims["7"].go()
        seen = []
        self.events_until(stream, ("completed", "7"), seen)
        sims["8"].wait_mark("erasing")
        status, during = get_json(port, "/api/status")
        seven, eight = during["ports"]
        self.assertEqual((seven["last_result"], seven["completed"], seven["failed"]), ("completed", 1, 0))
        self.assertIn(eight["state"], {"answered", "erasing"})
        self.assertEqual((during["totals"]["completed"], during["totals"]["yield"]), (1, 1.0))

        # Changes need the token; a form's body is refused even with it.
        self.assertEqual(request(port, "POST", "/api/ports/8/reset")[0], 401)
        self.assertEqual(request(port, "POST", "/api/ports/8/reset", headers={"Authorization": "Bearer wrong"})[0], 403)
        self.assertEqual(request(port, "POST", "/api/ports/8/reset", body=b"a=1",
                                 headers={"Authorization": "Bearer " + TOKEN,
                                          "Content-Type": "application/x-www-form-urlencoded"})[0], 415)
        self.assertEqual(request(port, "POST", "/api/ports/9/reset", headers={"Authorization": "Bearer " + TOKEN})[0],
                         404)
        status, _, body = request(port, "POST", "/api/ports/8/reset", headers={"Authorization": "Bearer " + TOKEN})
        self.assertEqual((status, json.loads(body)), (200, {"port": "8", "reset": True}))
        reset = self.events_until(stream, ("failed", "8"), seen)
        self.assertEqual((reset["result"], reset["reason"]), ("reset", "reset by the operator"))

        # Coming back with Last-Event-ID: the events after it, none missed, none twice.
        first_id = seen[0][0]
        again = EventStream(port, last_event_id=first_id)
        resumed = [again.next() for _ in seen[1:]]
        self.assertEqual(resumed, seen[1:])
        self.assertEqual([i for i, _ in seen], list(range(first_id, first_id + len(seen))))
        again.close()

        rows = self.rows()
        status, logged = get_json(port, "/api/log?since=" + rows[0]["ended"].replace(":", "%3A"))
        self.assertEqual((status, logged), (200, rows))
        status, later = get_json(port, "/api/log?since=" + rows[-1]["ended"])
        self.assertEqual(later, [r for r in rows if r["ended"] >= rows[-1]["ended"]])

        status, _, body = request(port, "POST", "/api/stop", headers={"Authorization": "Bearer " + TOKEN})
        self.assertEqual((status, json.loads(body)), (202, {"stopping": True}))
        run = finish_tool(station)
        self.assertEqual(run.status, 1, run.out[-300:])  # a box was reset: it failed
        stream.close()
        # Each event as the events file has it, by its number.
        lines = [json.loads(line) for line in events_path.read_text().splitlines()]
        for event_id, data in seen:
            self.assertEqual(lines[event_id - 1], data)
        self.assertSameBytes(sims["7"].received(), self.stream)

    def test_what_the_server_refuses(self):
        sims = {"7": self.sim(name="com7", script="wait_config\nsleep 60000")}
        station, port = self.start_station(sims, "--serve", "127.0.0.1:0", token="")
        cases = [
            ("a name the server is not", dict(host="evil.example:%d" % port), 421),
            ("localhost, with its port", dict(host="localhost:%d" % port), 200),
            ("the address without a port", dict(host="127.0.0.1"), 200),
            ("another port", dict(host="localhost:1"), 421),
            ("no Host", dict(host=False), 400),
            ("a head over 8 KiB", dict(headers={"X-Pad": "a" * 9000}), 431),
        ]
        for what, kwargs, wanted in cases:
            with self.subTest(what):
                status, fields, body = request(port, "GET", "/api/status", **kwargs)
                self.assertEqual(status, wanted)
                self.assertNotIn("access-control-allow-origin", fields)
                if wanted != 200:
                    self.assertIn("error", json.loads(body))
        answers = [
            ("POST", "/api/stop", {}, b"", 403),  # no token was set: nothing may be changed
            ("POST", "/api/stop", {"Content-Type": "application/json"}, b"[" + b" " * 70000 + b"]", 413),
            ("GET", "/api/stop", {}, b"", 405),
            ("GET", "/api/nothing", {}, b"", 404),
            ("GET", "/api/events", {"Last-Event-ID": "twelve"}, b"", 400),
            ("GET", "/api/log?since=yesterday", {}, b"", 400),
        ]
        for method, path, headers, body, wanted in answers:
            with self.subTest(method=method, path=path, headers=headers):
                self.assertEqual(request(port, method, path, headers=headers, body=body)[0], wanted)

        # 64 clients at once; the next is told to come back.
        waiting = [socket.create_connection(("127.0.0.1", port)) for _ in range(64)]
        for client in waiting:
            client.sendall(b"GET /api/status HTTP/1.1\r\n")  # a head not yet whole
        get_json_ok = request(port, "GET", "/api/status")
        self.assertEqual(get_json_ok[0], 503)
        # A client that sends no whole head is closed (10 s after it began).
        waiting[0].settimeout(60)
        self.assertEqual(waiting[0].recv(100), b"")
        for client in waiting:
            client.close()

        station.process.terminate()
        finish_tool(station)

    def test_an_address_that_cannot_be_served_is_refused_before_any_box(self):
        sim = self.sim(name="com7", script="wait_config\nsleep 60000")
        env = {"STBLOAD_COM7": str(sim.link), "STBLOAD_SERVE_TOKEN": None}
        run = run_tool(["--station", "7", str(self.hex_path), "--serve", "0.0.0.0:8080"], env, cwd=self.dir)
        self.assertEqual(run.status, 2)
        self.assertIn(b"STBLOAD_SERVE_TOKEN", run.err)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            busy = taken.getsockname()[1]
            run = run_tool(["--station", "7", str(self.hex_path), "--serve", "127.0.0.1:%d" % busy], env, cwd=self.dir)
        self.assertEqual(run.status, 1)
        self.assertIn(b"cannot serve on 127.0.0.1:%d\r\n" % busy, run.out)
        for bad in ("80a", "127.0.0.1:", "127.0.0.1:70000", "::1:8080"):
            with self.subTest(serve=bad):
                run = run_tool(["--station", "7", str(self.hex_path), "--serve", bad], env, cwd=self.dir)
                self.assertEqual(run.status, 2, run.err)
        self.assertFalse(sim.rx_path.exists() and sim.received(), "a box was answered")


class Page(Serve):
    """The station's page in a real browser."""

    def test_a_tile_turns_green_without_a_reload_and_a_broken_stream_is_said(self):
        sims = {"7": self.sim(name="com7", script="\n".join(["wait_go"] + BOX + ["linger"])),
                "8": self.sim(name="com8", script="wait_config\nsleep 60000")}
        station, port = self.start_station(sims, "--continuous", "--serve", "127.0.0.1:0")
        browser = Browser(1280, 800)
        try:
            browser.open("http://127.0.0.1:%d/" % port)
            browser.wait_for("document.querySelectorAll('.tile').length == 2")
            browser.evaluate("window.stillThisPage = true")
            tile = "document.querySelector('.tile[data-port=\"7\"]')"
            self.assertFalse(browser.evaluate(tile + ".classList.contains('green')"))
            sims["7"].go()
            browser.wait_for(tile + ".classList.contains('green')")
            self.assertTrue(browser.evaluate("window.stillThisPage === true"), "the page was reloaded")
            self.assertIn("1 completed", browser.evaluate("document.getElementById('totals').textContent"))
            station.process.terminate()
            finish_tool(station)
            browser.wait_for("document.getElementById('lost').className == 'shown'")
        finally:
            browser.close()

    def test_thirty_two_ports_fit_a_wall_screen(self):
        sims = {str(n): self.sim(name="com%d" % n, script="wait_config\nsleep 60000") for n in range(1, 33)}
        station, port = self.start_station(sims, "--serve", "127.0.0.1:0")
        browser = Browser(1920, 1080)
        try:
            browser.open("http://127.0.0.1:%d/" % port)
            browser.wait_for("document.querySelectorAll('.tile').length == 32")
            figures = browser.evaluate("""(() => {
                const tiles = [...document.querySelectorAll('.tile')].map(t => t.getBoundingClientRect());
                return {bottom: Math.max(...tiles.map(r => r.bottom)), right: Math.max(...tiles.map(r => r.right)),
                        narrowest: Math.min(...tiles.map(r => r.width)), scroll: document.documentElement.scrollHeight,
                        help: document.getElementById('help').getBoundingClientRect().bottom};
            })()""")
            self.assertLessEqual(figures["bottom"], 1080, figures)
            self.assertLessEqual(figures["right"], 1920, figures)
            self.assertLessEqual(figures["scroll"], 1080, figures)
            self.assertGreaterEqual(figures["narrowest"], 200, figures)
            png, width, height = browser.screenshot()
            self.assertEqual((png[:8], width, height), (b"\x89PNG\r\n\x1a\n", 1920, 1080))
        finally:
            browser.close()
            station.process.terminate()
            finish_tool(station)


def load_tests(loader, tests, pattern):
    """Only the tests written here, not those of the station's tests these classes build on."""
    suite = unittest.TestSuite()
    for case in (Serve, Page):
        for name in sorted(vars(case)):
            if name.startswith("test_"):
                suite.addTest(case(name))
    return suite


if __name__ == "__main__":
    unittest.main()
