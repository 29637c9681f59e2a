"""A production line: many downloads at once, one process per port."""

import unittest

from harness import (BANNER, ToolTest, finish_tool, hex_text, packet_stream, port_env, random_bytes,
                     run_tool, start_tool, transcript, window_of)

PORTS = range(7, 15)


class ManyPorts(ToolTest):

    def test_eight_downloads_at_once_and_a_second_process_on_a_busy_port(self):
        images = {}
        sims = {}
        runs = {}
        for port in PORTS:
            blocks = [(0x4000 + 0x1000 * port, random_bytes(20000 + port, port)),
                      (0xF0000 - 0x100 * port, random_bytes(3000, 100 + port))]
            images[port] = window_of(blocks)
            hex_path = self.write_hex("fw%d.hex" % port, hex_text(blocks, per_record=16 + port))
            script = None
            if port == 7:
                # Hold the dialogue until a second process has tried the port.
                script = "\n".join(["wait_config", "mark open", "sleep 300",
                                    "send want to update\\n", "expect_y", "send Erasing flash,please wait.\\n",
                                    "send Erase done.\\n", "receive", "send ok\\n", "send_repeat 1200 .",
                                    "send @", "linger"])
            sims[port] = self.sim(name="com%d" % port, script=script)
            env = port_env(sims[port], port)
            runs[port] = start_tool([str(port), str(hex_path)], env)

        sims[7].wait_mark("open")
        intruder = run_tool(["7", str(self.dir / "fw8.hex")], port_env(sims[7]))
        self.assertEqual((intruder.status, intruder.out), (1, BANNER + b"cannot open COM7\r\n"))

        for port in PORTS:
            run = finish_tool(runs[port], timeout=90)  # eight at once on a shared machine
            sims[port].finish()
            with self.subTest(port=port):
                self.assertEqual(run.status, 0, run.out[-100:])
                self.assertSameBytes(run.out, transcript(), "console of COM%d" % port)
                self.assertSameBytes(sims[port].received(), b"y" + packet_stream(images[port]),
                                     "bytes received on COM%d" % port)


if __name__ == "__main__":
    unittest.main()
