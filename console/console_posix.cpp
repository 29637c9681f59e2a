#include <cstdio>

#include "console/console.h"

void console_setup() {
    // Fully buffered and flushed after each message: one write per message
    // whether standard output is a terminal, a pipe or a file. (A terminal's
    // default line buffering would also write at every "\n" inside a message.)
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}
