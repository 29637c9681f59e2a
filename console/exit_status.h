// The process's exit statuses, the same for a single download and a station.
#pragma once

#include "console/interrupt.h"

enum ExitStatus : int {
    EXIT_DOWNLOAD_COMPLETED = 0,
    EXIT_FAILED = 1,  // any failure: file, port, nothing to send, device lost, a box that did not complete
    EXIT_USAGE = 2,   // a command line that cannot be run
    EXIT_INTERRUPTED = INTERRUPTED_EXIT_STATUS,  // a station stopped by a second Ctrl+C
};
