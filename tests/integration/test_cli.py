"""The command line and every way a run can fail before the device dialogue."""

import fcntl
import os
import unittest

from harness import BANNER, USAGE, ToolTest, hex_text, port_env, run_tool

HELP = (b"\r\n"
        b"  stbload PORT HEXFILE   download HEXFILE (Intel HEX) into the box on port PORT\r\n"
        b"  stbload --version      print the version\r\n"
        b"  stbload --help         print this help\r\n"
        b"\r\n"
        b"PORT is a COM number: COM<n> is the device named by $STBLOAD_COM<n>, or else\r\n"
        b"/dev/ttyS<n-1> (COM1 is /dev/ttyS0). Example: STBLOAD_COM3=/dev/ttyUSB0 stbload 3 fw.hex\r\n"
        b"\r\n"
        b"Exit status: 0 when the box confirmed the download (\"Download completed\"),\r\n"
        b"1 for any failure (the message says which), 2 for a wrong command line.\r\n"
        b"\r\n"
        b"Environment:\r\n"
        b"  STBLOAD_COM<n>=DEVICE  the serial device for COM<n>\r\n"
        b"  STBLOAD_TRACE=FILE     append a trace of the run to FILE\r\n")


class CommandLine(ToolTest):

    def test_usage_without_two_arguments(self):
        for args in ([], ["3"], ["--versions"], ["-v"], ["help"], ["--HELP"]):
            with self.subTest(args=args):
                run = run_tool(args)
                self.assertEqual((run.status, run.out), (2, BANNER + USAGE))

    def test_version_and_help_flags(self):
        for flag in ("--version", "-V"):
            with self.subTest(flag=flag):
                run = run_tool([flag])
                self.assertEqual((run.status, run.out), (0, b"stbload 1.1.0\r\n"))
        for flag in ("--help", "-h", "/?"):
            with self.subTest(flag=flag):
                run = run_tool([flag])
                self.assertEqual((run.status, run.out), (0, BANNER + USAGE + HELP))

    def test_a_flag_with_a_second_argument_is_a_port(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        run = run_tool(["--version", str(hex_path)], {"STBLOAD_COM0": None})
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot open COM0\r\n"))

    def test_missing_file_is_reported_before_the_port_is_touched(self):
        missing = str(self.dir / "missing.hex")
        for port in ("3", "-5", "abc"):
            with self.subTest(port=port):
                run = run_tool([port, missing, "extra", "args"])
                self.assertEqual(run.status, 1)
                self.assertEqual(run.out, BANNER + b"cannot open file " + missing.encode()
                                 + b"\r\ncheck you specified file\r\n")

    def test_a_directory_is_not_a_hex_file(self):
        run = run_tool(["3", str(self.dir)])
        self.assertEqual(run.status, 1)
        self.assertTrue(run.out.endswith(b"\r\ncheck you specified file\r\n"))

    def test_ports_that_cannot_be_opened(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        cases = [
            ("abc", {}, b"cannot open COM0\r\n"),
            ("4294967303", {"STBLOAD_COM7": str(self.dir / "no-such-device")}, b"cannot open COM7\r\n"),
            ("-2", {}, b"cannot open COM-2\r\n"),
            ("7", {"STBLOAD_COM7": "/dev/null"}, b"cannot configure COM7\r\n"),
        ]
        for port, env, message in cases:
            with self.subTest(port=port, env=env):
                run = run_tool([port, str(hex_path)], env)
                self.assertEqual((run.status, run.out), (1, BANNER + message))

    def test_port_in_use_by_another_program(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x01")]))
        sim = self.sim(script="sleep 100000")
        holder = os.open(str(sim.link), os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            run = run_tool(["7", str(hex_path)], port_env(sim))
        finally:
            os.close(holder)
        self.assertEqual((run.status, run.out), (1, BANNER + b"cannot open COM7\r\n"))

    def test_files_with_nothing_to_send_reach_no_device(self):
        cases = {
            "empty.hex": "",
            "low.hex": hex_text([(0x0000, b"\x55" * 0x3000)]),
            "high.hex": hex_text([(0x100000, b"\x55" * 16)]),
            "start-address-only.hex": ":0400000500008000F7\r\n:00000001FF\r\n",
        }
        for name, text in cases.items():
            with self.subTest(file=name):
                hex_path = self.write_hex(name, text)
                sim = self.sim(name="com-" + name, script="wait_config\nsend want to update\\n\nlinger")
                run = run_tool(["7", str(hex_path)], port_env(sim))
                sim.stop()
                self.assertEqual(run.status, 1)
                self.assertEqual(run.out, BANNER + b"no data to download in " + str(hex_path).encode() + b"\r\n")
                self.assertEqual(sim.received(), b"")


if __name__ == "__main__":
    unittest.main()
