"""Resources at every exit of a run: no descriptor left open, memory near the image size."""

import os
import re
import shutil
import unittest

from harness import STBLOAD, ToolTest, hex_text, port_env, run_tool, run_tool_measured

SANITIZED = os.environ.get("STBLOAD_SANITIZED") == "1"
OPEN_FD = re.compile(r"^==\d+== Open (?:file descriptor \d+|AF_\w+ socket \d+): ?(.*)$", re.M)


@unittest.skipIf(SANITIZED, "valgrind cannot run a sanitizer build; that build checks leaks itself")
class Descriptors(ToolTest):

    def setUp(self):
        super().setUp()
        if shutil.which("valgrind") is None:
            self.fail("valgrind is missing (scripts/install-deps test installs it)")
        self.hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x5a" * 100)]))

    def open_at_exit(self, args, env=None):
        """Runs stbload under valgrind and lists the descriptors still open at exit."""
        log = self.dir / "valgrind.log"
        command = ["valgrind", "--track-fds=yes", "--log-file=%s" % log, str(STBLOAD)]
        run = run_tool(args, env, program=command, timeout=90)  # valgrind: a few seconds a run
        text = log.read_text()
        self.assertIn("FILE DESCRIPTORS", text)
        leaked = [path for path in OPEN_FD.findall(text) if path != str(log)]
        return run.status, leaked

    def test_every_exit_of_a_run_closes_what_it_opened(self):
        cases = [
            ("usage", [], None, None, 2),
            ("file cannot be opened", ["7", str(self.dir / "missing.hex")], None, None, 1),
            ("port cannot be opened", ["7", "fw"], {"STBLOAD_COM7": str(self.dir / "none")}, None, 1),
            ("port cannot be configured", ["7", "fw"], {"STBLOAD_COM7": "/dev/null"}, None, 1),
            ("file cannot be read", ["7", "/proc/self/mem"], "sim", "wait_config\nlinger", 1),
            ("nothing to download", ["7", "empty"], "sim", "wait_config\nlinger", 1),
            ("connection lost", ["7", "fw"], "sim", "wait_config\nsleep 200\nclose", 1),
            ("download completed", ["7", "fw"], "sim", None, 0),
        ]
        empty = self.write_hex("empty.hex", "")
        for name, args, env, script, status in cases:
            with self.subTest(exit=name):
                args = [{"fw": str(self.hex_path), "empty": str(empty)}.get(a, a) for a in args]
                sim = None
                if env == "sim":
                    sim = self.sim(name="com-" + name.replace(" ", "-"), script=script,
                                   args=("--erase-ms", "0"))
                    env = port_env(sim)
                got_status, leaked = self.open_at_exit(args, env)
                if sim is not None:
                    sim.stop()
                self.assertEqual(got_status, status)
                self.assertEqual(leaked, [], "descriptors left open at exit")


@unittest.skipIf(SANITIZED, "the sanitizer's shadow memory inflates the resident size")
class Memory(ToolTest):

    def test_whole_download_stays_near_the_image_size(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0, bytes(range(256)) * 4096)]))
        sim = self.sim(args=("--erase-ms", "0"))
        run = run_tool_measured(["7", str(hex_path)], port_env(sim))
        sim.finish()
        self.assertEqual(run.status, 0)
        # The 16 MB flash image is the floor; everything else must be small.
        self.assertLess(run.max_rss_kb, 20 * 1024)


if __name__ == "__main__":
    unittest.main()
