#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "console/console.h"

void console_setup() {
    // Text mode would turn every "\r\n" into "\r\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    if (_isatty(_fileno(stdout))) std::setvbuf(stdout, nullptr, _IONBF, 0);
}
