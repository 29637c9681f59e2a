#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "console/console.h"
#include "console/figures.h"
#include "console/screen_block.h"
#include "console/trace.h"

void console_setup() {
    // Text mode would turn every "\r\n" into "\r\r\n". Standard error stays in
    // text mode: its notes end in "\n" and show as CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    // Fully buffered and flushed after each message: one write per message,
    // on a console, a pipe (Git Bash, mintty) or a file alike.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}

void console_failed(const std::string& reason) {
    // The console's own colours, which every Windows console takes; none off a console.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const bool red = colours_allowed() && GetConsoleScreenBufferInfo(err, &info) != FALSE;
    std::fflush(stderr);
    if (red) SetConsoleTextAttribute(err, FOREGROUND_RED | FOREGROUND_INTENSITY);
    std::fprintf(stderr, "FAILED: %s", reason.c_str());
    std::fflush(stderr);
    if (red) SetConsoleTextAttribute(err, info.wAttributes);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    trace("FAILED: %s", reason.c_str());
}

const char* no_figure() {
    // A console shows the bytes in its own code page; only UTF-8 shows the em dash.
    DWORD mode = 0;
    const bool console = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
    return !console || GetConsoleOutputCP() == CP_UTF8 ? "\xE2\x80\x94" : "-";
}
