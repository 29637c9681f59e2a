"""Whole downloads through a pseudo-terminal, checked on the wire and on the console."""

import subprocess
import unittest

from harness import (ERASED, PROMPT, ToolTest, hex_text, packet_stream, port_env, random_bytes,
                     run_tool, srec_window, transcript, window_of)


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
        self.assertEqual((report["line_raw"], report["line_8n1"]), (1, 1))
        # The port is the tool's alone while it runs, and not after it lets go.
        self.assertEqual((report["exclusive_held"], report["exclusive_after_release"]), (1, 0))
        self.assertSameBytes(sim.received(), b"y" + packet_stream(window), "bytes on the wire")
        self.assertSameBytes(sim.image(), window, "received image")

    def test_full_flash_image_matches_srec_cat(self):
        flash = random_bytes(0x100000, 11)
        for per_record, terminal in ((16, False), (16, True), (32, False)):
            with self.subTest(per_record=per_record, stdout_on_terminal=terminal):
                hex_path = self.write_hex("full%d.hex" % per_record, hex_text([(0, flash)], per_record=per_record))
                window = srec_window(hex_path, self.dir)
                self.assertSameBytes(window, flash[0x4000:], "srec_cat's window")
                run, sim = self.download(hex_path, terminal=terminal)
                self.check_download(run, sim, window)

    def test_line_settings_raw_8n1_and_hardware_flow_control_left_alone(self):
        hex_path = self.write_hex("fw.hex", hex_text([(0x4000, b"\x0a\x0d\x11\x13\x00\xff" * 100)]))
        for crtscts in (False, True):
            with self.subTest(hardware_flow_control=crtscts):
                run, sim = self.download(hex_path, sim_args=("--crtscts",) if crtscts else ())
                self.assertEqual(run.status, 0)
                report = sim.report()
                self.assertEqual((report["line_raw"], report["line_8n1"], report["line_crtscts"]),
                                 (1, 1, int(crtscts)))

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

    def test_each_update_request_gets_its_own_answer(self):
        script = "\n".join(["wait_config", "send " + PROMPT, "expect_y", "send xx want to update xx\\r\\n",
                            "expect_y", "send " + ERASED, "receive", "send ok\\n@", "linger"])
        run, sim = self.dialogue(script)
        self.assertEqual(run.status, 0)
        self.assertEqual(sim.report()["y_count"], 2)
        self.assertSameBytes(run.out, transcript(final_bytes=1, handshake=b"Slave machine update request\r\n" * 2))


if __name__ == "__main__":
    unittest.main()
