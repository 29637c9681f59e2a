// stbload --list: the serial ports of this machine, and how to name each.
#pragma once

// Prints one line per port (what to give as PORT, the device, its kind and
// what is known of it), and a second, indented line with a USB adapter's
// identity; with `json`, one JSON document. Opens no port. Returns the exit status.
int run_port_list(bool json);
