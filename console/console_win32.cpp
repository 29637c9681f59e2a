#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "console/console.h"

void console_setup() {
    // Text mode would turn every "\r\n" into "\r\r\n". Standard error stays in
    // text mode: its notes end in "\n" and show as CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    // Fully buffered and flushed after each message: one write per message,
    // on a console, a pipe (Git Bash, mintty) or a file alike.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}
