"""Whole downloads through a pseudo-terminal, checked on the wire and on the console."""

import subprocess
import unittest

from harness import (COMPLETED, ERASED, ERASING, PROMPT, ToolTest, hex_text, packet_stream,
                     port_env, random_bytes, run_tool, srec_window, transcript, window_of, BANNER,
                     READY, transfer_console, final_wait_console)


class WholeDownload(ToolTest):

    def download(self, hex_path, terminal=False, sim_args=()):
        sim = self.sim(args=sim_args)
        run = run_tool(["7", str(hex_path)], port_env(sim), terminal=terminal)
        self.assertEqual(sim.finish(), 0)
        return run, sim

    def check_download(self, run, sim, window):
        self.assertEqual(run.status, 0, run.out[-200:])
        self.assertSameBytes(run.out, transcript(), "console")
        report = sim.report()
        self.assertEqual((report["packets"], report["bad_packets"], report["y_count"]), (64512, 0, 1))
        self.assertSameBytes(sim.received(), b"y" + packet_stream(window), "bytes on the wire")
        self.assertSameBytes(sim.image(), window, "received image")

    def test_full_flash_image_matches_srec_cat_on_pipe_and_terminal(self):
        flash = random_bytes(0x100000, 11)
        hex_path = self.write_hex("full.hex", hex_text([(0, flash)], per_record=16))
        window = srec_window(hex_path, self.dir)
        self.assertSameBytes(window, flash[0x4000:], "srec_cat's window")
        for terminal in (False, True):
            with self.subTest(terminal=terminal):
                run, sim = self.download(hex_path, terminal=terminal)
                self.check_download(run, sim, window)

    def test_sparse_image_in_32_byte_records_with_lf_line_ends(self):
        blocks = [(0x0000, random_bytes(0x4000, 1)),  # below the base: never sent
                  (0x4000, random_bytes(5000, 2)),
                  (0x23456, random_bytes(70000, 3)),
                  (0xFFF00, random_bytes(0x200, 4))]  # runs past the window's end
        hex_path = self.write_hex("sparse.hex", hex_text(blocks, per_record=32, eol="\n"))
        window = window_of(blocks)
        self.assertSameBytes(srec_window(hex_path, self.dir), window, "srec_cat's window")
        run, sim = self.download(hex_path)
        self.check_download(run, sim, window)

    def test_objcopy_file_with_segment_addresses(self):
        firmware = self.dir / "fw.bin"
        firmware.write_bytes(random_bytes(300000, 5))
        hex_path = self.dir / "objcopy.hex"
        subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses=0x9000",
                        str(firmware), str(hex_path)], check=True)
        self.assertIn(":02000002", hex_path.read_text())
        window = srec_window(hex_path, self.dir)
        self.assertSameBytes(window, window_of([(0x9000, firmware.read_bytes())]), "srec_cat's window")
        run, sim = self.download(hex_path)
        self.check_download(run, sim, window)


class DeviceDialogue(ToolTest):
    """The loader's side scripted: what the tool answers and prints."""

    def dialogue(self, script, hex_blocks=((0x4000, b"\x01\x02\x03"),)):
        hex_path = self.write_hex("fw.hex", hex_text(list(hex_blocks)))
        sim = self.sim(script=script)
        run = run_tool(["7", str(hex_path)], port_env(sim))
        sim.finish()
        return run, sim

    def test_erase_done_first_and_noise_in_every_wait(self):
        script = "\n".join([
            "wait_config",
            r'send "\0\0garbage\x01\xff\n"',
            "send_repeat 700 z",                       # over-long line, no LF
            r'send "\nErasing flash,please wait.\r\n"',  # CR before LF: not the loader's line
            "send_repeat 3 " + ERASING,
            "send " + ERASED,
            "receive",
            r'send "Rec\0eived @ all\n"',              # '@' in the confirmation line does not end it
            r'send "\0\0\0"',
            "send_repeat 1003 .",
            "send @",
            "linger",
        ])
        run, sim = self.dialogue(script)
        self.assertEqual(run.status, 0)
        self.assertSameBytes(run.out, transcript(final_bytes=1007, handshake=b"Slave ready\r\n" * 3), "console")
        self.assertSameBytes(sim.received(), packet_stream(window_of([(0x4000, b"\x01\x02\x03")])), "wire")

    def test_each_update_request_gets_its_own_answer(self):
        script = "\n".join(["wait_config", "send " + PROMPT, "expect_y", "send xx want to update xx\\r\\n",
                            "expect_y", "send " + ERASED, "receive", "send ok\\n@", "linger"])
        run, sim = self.dialogue(script)
        self.assertEqual(run.status, 0)
        self.assertEqual(sim.report()["y_count"], 2)
        self.assertSameBytes(run.out, transcript(final_bytes=1, handshake=b"Slave machine update request\r\n" * 2))


class LostLink(ToolTest):
    """The device goes away in each state: the tool says so and exits 1."""

    HANDSHAKE = ["wait_config", "send " + PROMPT, "expect_y", "send " + ERASING, "send " + ERASED]

    def lose(self, steps):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\xaa" * 64)]))
        sim = self.sim(script="\n".join(steps + ["close"]))
        run = run_tool(["7", str(hex_path)], port_env(sim), timeout=60)
        sim.finish()
        self.assertEqual(run.status, 1)
        self.assertTrue(run.out.endswith(b"\r\nlost connection to COM7\r\n"), run.out[-80:])
        return run, sim

    def test_closed_while_waiting_for_the_loader(self):
        run, _ = self.lose(["wait_config", "send " + PROMPT, "expect_y", "sleep 100"])
        self.assertEqual(run.out, BANNER + READY + b"Slave machine update request\r\n"
                         + b"\r\nlost connection to COM7\r\n")

    def test_closed_during_the_transfer(self):
        for received in (0, 20 * 1000 + 7, 20 * 64511):
            with self.subTest(received=received):
                _, sim = self.lose(self.HANDSHAKE + ["receive %d" % received])
                self.assertEqual(sim.report()["stream_bytes"], received)

    def test_closed_during_the_confirmation_and_the_final_wait(self):
        for tail, final in ((["send Data rec"], None), (["send ok\\n", "send_repeat 600 ."], 600)):
            with self.subTest(tail=tail):
                run, _ = self.lose(self.HANDSHAKE + ["receive", "sleep 50"] + tail + ["sleep 100"])
                expected = BANNER + READY + b"Slave machine update request\r\nSlave ready\r\n" + transfer_console()
                if final is not None:
                    expected += final_wait_console(final)
                self.assertSameBytes(run.out, expected + b"\r\nlost connection to COM7\r\n")

    def test_silent_device_costs_no_cpu(self):
        run, _ = self.lose(["wait_config", "sleep 3000"])
        # Three seconds of polling in 10 ms steps; a busy loop would burn ~3 s.
        self.assertLess(run.cpu, 0.5)


if __name__ == "__main__":
    unittest.main()
