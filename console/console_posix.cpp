#include <cstdio>
#include <unistd.h>

#include "console/console.h"

void console_setup() {
    if (isatty(fileno(stdout))) std::setvbuf(stdout, nullptr, _IONBF, 0);
}
