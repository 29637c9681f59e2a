"""Bad devices: links that close in every state, noise, floods, stalls and interrupts.

Every check names what the simulated loader sent, what it received and the
tool's exit status.
"""

import os
import random
import re
import signal
import time
import unittest

from harness import (BANNER, ERASED, ERASING, PROMPT, READY, SLAVE_READY, STREAM_SIZE, TOOL_TIMEOUT,
                     UPDATE_REQUEST, ToolTest, device_line_length, escaped, final_wait_console,
                     finish_tool, hex_text, packet_stream, port_env, random_bytes, run_tool, run_tool_measured,
                     start_tool,
                     transcript, transfer_console, window_of)

SANITIZED = os.environ.get("STBLOAD_SANITIZED") == "1"
LOST = b"\r\nlost connection to COM7\r\n"
HANDSHAKE = ["wait_config", "send " + PROMPT, "expect_y", "send " + ERASING, "send " + ERASED]
BLOCKS = [(0x4000, random_bytes(4096, 21)), (0x80000, random_bytes(999, 22))]


class FaultTest(ToolTest):

    def setUp(self):
        super().setUp()
        self.hex_path = self.write_hex("fw.hex", hex_text(BLOCKS))
        self.stream = packet_stream(window_of(BLOCKS))

    def run_against(self, steps, name="com7", timeout=TOOL_TIMEOUT, measured=False):
        sim = self.sim(name=name, script="\n".join(steps), timeout=max(timeout, 120))
        runner = run_tool_measured if measured else run_tool
        run = runner(["7", str(self.hex_path)], port_env(sim), timeout=timeout)
        sim.finish()
        return run, sim

    def describe(self, sent, run, sim):
        report = sim.report()
        return "sent: %s; received %d bytes (%d of the stream, %d 'y'); exit status %d" % (
            sent, report["rx_bytes"], report["stream_bytes"], report["y_count"], run.status)


class LinkClosed(FaultTest):
    """The device vanishes: the tool reports it and exits 1 in every state."""

    def test_closed_in_each_state(self):
        before_transfer = BANNER + READY + UPDATE_REQUEST + SLAVE_READY
        cases = [
            # (state, steps before the link closes, console before the message, bytes received)
            ("before the prompt", ["wait_config", "sleep 100"], BANNER + READY, b""),
            ("after 'y'", ["wait_config", "send " + PROMPT, "expect_y", "sleep 100"],
             BANNER + READY + UPDATE_REQUEST, b"y"),
            ("during the erase", HANDSHAKE[:4] + ["sleep 100"], before_transfer, b"y"),
            ("at the first packet", HANDSHAKE + ["receive 7"], None, b"y" + self.stream[:7]),
            ("at a middle packet", HANDSHAKE + ["receive %d" % (20 * 32256 + 11)], None,
             b"y" + self.stream[:20 * 32256 + 11]),
            ("at the last packet", HANDSHAKE + ["receive %d" % (STREAM_SIZE - 5)], None,
             b"y" + self.stream[:-5]),
            ("in the confirmation line", HANDSHAKE + ["receive", "send Data rec", "sleep 100"],
             before_transfer + transfer_console(), b"y" + self.stream),
            ("during the final wait", HANDSHAKE + ["receive", "send ok\\n", "send_repeat 1500 .", "sleep 100"],
             before_transfer + transfer_console() + final_wait_console(1500), b"y" + self.stream),
        ]
        for state, steps, console, received in cases:
            with self.subTest(state=state):
                run, sim = self.run_against(steps + ["close"])
                what = self.describe(state, run, sim)
                self.assertEqual(run.status, 1, what)
                self.assertSameBytes(sim.received(), received, what)
                # The reason: the system's words, or the hang-up that said it.
                self.assertRegex(run.err.decode(), r"^stbload: COM7 \(%s\): (the device hung up|Input/output "
                                 r"error)\n$" % re.escape(str(sim.link)), what)
                if console is not None:
                    self.assertSameBytes(run.out, console + LOST, what)
                else:
                    # Packets the pty had queued were already written: the tool may be
                    # anywhere from that packet to the confirmation line when it notices.
                    self.assertTrue(run.out.startswith(before_transfer + b"Slave request data\r\n"), what)
                    self.assertTrue(run.out.endswith(LOST), what)

    def test_silent_device_costs_next_to_no_cpu(self):
        run, sim = self.run_against(["wait_config", "sleep 3000", "close"])
        what = self.describe("nothing for 3 s, then close", run, sim)
        self.assertEqual((run.status, run.out), (1, BANNER + READY + LOST), what)
        # 3 s of waiting in 10 ms polls; a busy loop would burn about 3 s of CPU.
        self.assertLess(run.cpu, 0.5, what)

    def test_device_that_stops_reading_blocks_the_tool_until_the_link_closes(self):
        run, sim = self.run_against(HANDSHAKE + ["receive 100000", "sleep 1500", "close"])
        what = self.describe("100,000 stream bytes read, then 1.5 s without reading, then close", run, sim)
        self.assertEqual(run.status, 1, what)
        self.assertTrue(run.out.endswith(LOST), what)
        self.assertNotIn(b"\b done", run.out, "the transfer cannot have finished: " + what)
        self.assertSameBytes(sim.received(), b"y" + self.stream[:100000], what)


    def test_output_still_queued_at_the_end_never_reaches_the_box(self):
        # The loader confirms before it has read the last 12,000 bytes of the
        # stream (they wait in the line's queue). Once the tool has let go, they
        # are gone, but for what the pseudo-terminal had already handed to its
        # far side's 4 KB line buffer, which no flush reaches.
        unread = 12000
        run, sim = self.run_against(HANDSHAKE + ["receive %d" % (STREAM_SIZE - unread), "send ok\\n@",
                                                 "wait_release_unread"])
        self.assertEqual(run.status, 0, run.out[-100:])
        self.assertLessEqual(sim.report()["unread_after_release"], 4096, "bytes left queued for the box")


class Noise(FaultTest):

    def test_binary_noise_and_nul_bytes_in_every_waiting_state(self):
        rng = random.Random(5)

        def noise(size, allowed=range(256)):
            choices = [b for b in allowed]
            return bytes(rng.choice(choices) for _ in range(size))

        no_at = [b for b in range(256) if b != 0x40]
        confirmation = noise(400, [b for b in no_at if b != 0x0A]) + b"\n"
        final = noise(3000, no_at) + b"\0\0@"
        steps = ["wait_config",
                 "send " + escaped(noise(2000) + b"\n"),
                 "send " + PROMPT,
                 "expect_y",
                 "send " + escaped(noise(700) + b"\0\0\n\0"),
                 "send " + ERASING,
                 "send " + escaped(noise(1000) + b"\r\nErase done.\r\n\n"),
                 "send " + ERASED,
                 "receive",
                 "send " + escaped(confirmation + final),
                 "linger"]
        run, sim = self.run_against(steps)
        what = self.describe("noise before and between every loader line", run, sim)
        self.assertEqual(run.status, 0, what)
        final_bytes = len(confirmation + final) - device_line_length(confirmation + final)
        self.assertSameBytes(run.out, transcript(final_bytes=final_bytes), "console: " + what)
        self.assertSameBytes(sim.received(), b"y" + self.stream, "wire: " + what)

    def test_erase_done_first_and_loader_lines_that_do_not_match(self):
        steps = ["wait_config",
                 r'send "\0\0garbage\x01\xff\n"',
                 "send_repeat 700 z",                           # over-long line, no LF
                 r'send "\nErasing flash,please wait.\r\n"',    # CR before LF: not the loader's line
                 r'send "erase done.\n"',
                 "send_repeat 3 " + ERASING,
                 "send " + ERASED,
                 "receive",
                 r'send "Rec\0eived @ all\n"',                 # '@' in the confirmation line does not end it
                 r'send "\0\0\0"',
                 "send_repeat 1003 .",
                 "send @",
                 "linger"]
        run, sim = self.run_against(steps)
        what = self.describe("no prompt, near-miss lines, '@' in the confirmation line", run, sim)
        self.assertEqual(run.status, 0, what)
        self.assertSameBytes(run.out, transcript(final_bytes=1007, handshake=SLAVE_READY * 3), what)
        self.assertSameBytes(sim.received(), self.stream, what)

    def test_flood_without_line_ends_while_waiting(self):
        # 50 MB as a device gone mad would send it (5 MB under the slower
        # sanitizer build): a second or two natively, read in blocks. The
        # deadlines are far beyond that, for slow machines: nothing races them.
        size = (5 if SANITIZED else 50) * 1024 * 1024
        steps = ["wait_config", "send " + PROMPT, "expect_y", "send_repeat %d Z" % size, "send \\n",
                 "send " + ERASED, "receive", "send ok\\n@", "linger"]
        run, sim = self.run_against(steps, timeout=900, measured=True)
        what = self.describe("%d bytes without an LF, then Erase done" % size, run, sim)
        self.assertEqual(run.status, 0, what)
        self.assertSameBytes(run.out, transcript(final_bytes=1, handshake=UPDATE_REQUEST), what)
        self.assertSameBytes(sim.received(), b"y" + self.stream, what)
        if not SANITIZED:
            self.assertLess(run.max_rss_kb, 20 * 1024, "memory grew: " + what)


class Interrupted(FaultTest):

    def test_ctrl_c_during_the_transfer_releases_the_port(self):
        steps = ["wait_config", "send " + PROMPT, "expect_y", "send " + ERASED, "receive 20",
                 "wait_release", "reset", "mark released",
                 "wait_open", "send " + PROMPT, "expect_y", "send " + ERASING, "send " + ERASED,
                 "receive", "send ok\\n", "send_repeat 1200 .", "send @", "linger"]
        sim = self.sim(script="\n".join(steps))
        # Its stderr on a terminal that shows a title and taskbar progress: both are put back.
        first = start_tool(["7", str(self.hex_path)], {**port_env(sim), "TERM": "xterm", "WT_SESSION": "1"},
                           err_terminal=True)
        deadline = time.monotonic() + 60
        # Two spinner characters and their backspaces per packet: some two
        # thousand packets have gone out.
        while len(first.out().partition(b"start transfer")[2]) < 4096:
            self.assertLess(time.monotonic(), deadline, "the transfer never started")
            time.sleep(0.01)
        first.process.send_signal(signal.SIGINT)
        interrupted = finish_tool(first)
        self.assertEqual(interrupted.status, -signal.SIGINT)
        self.assertTrue(interrupted.err.endswith(b"\x1b[23;0t\x1b]9;4;0;0\x1b\\"), interrupted.err[-60:])
        sim.wait_mark("released")

        second = run_tool(["7", str(self.hex_path)], port_env(sim))
        self.assertEqual(second.status, 0, "second run: %r %r" % (second.out[-200:], second.err))
        sim.finish()
        what = self.describe("first run interrupted mid-transfer, then a second run", second, sim)
        self.assertEqual(second.status, 0, what)
        self.assertSameBytes(second.out, transcript(), what)
        self.assertSameBytes(sim.received(), b"y" + self.stream, what)


if __name__ == "__main__":
    unittest.main()
