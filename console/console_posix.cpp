#include <cstdio>
#include <unistd.h>

#include "console/console.h"
#include "console/figures.h"
#include "console/screen_block.h"
#include "console/trace.h"

void console_setup() {
    // Fully buffered and flushed after each message: one write per message
    // whether standard output is a terminal, a pipe or a file. (A terminal's
    // default line buffering would also write at every "\n" inside a message.)
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}

void console_failed(const std::string& reason) {
    const bool red = isatty(STDERR_FILENO) == 1 && colours_allowed();
    std::fprintf(stderr, "%sFAILED: %s%s\n", red ? "\x1b[31m" : "", reason.c_str(), red ? "\x1b[0m" : "");
    std::fflush(stderr);
    trace("FAILED: %s", reason.c_str());
}

const char* no_figure() {
    return "\xE2\x80\x94";  // U+2014, the em dash, in UTF-8
}
