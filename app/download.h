// One download: the hex file and the serial port of a run, and the order of its steps.
#pragma once

#include "link/port_name.h"
#include "session/exit_status.h"

// Loads `hex_path` and downloads it through `port`. Prints every outcome on
// the console and returns the exit status for it.
int run_download(const PortName& port, const char* hex_path);
