#include "console/terminal.h"

#include <cstdio>
#include <cstring>

#include "console/environment.h"

namespace {

bool variable_is(const char* name, const char* value) {
    const char* set = environment_value(name);
    return set != nullptr && std::strcmp(set, value) == 0;
}

}  // namespace

bool progress_turned_off() {
    return variable_is("STBLOAD_PROGRESS", "off");
}

bool taskbar_known_from_environment() {
    const char* session = environment_value("WT_SESSION");
    return (session != nullptr && session[0] != '\0') || variable_is("ConEmuANSI", "ON") ||
           variable_is("TERM_PROGRAM", "WezTerm") || variable_is("TERM_PROGRAM", "ghostty");
}

void write_taskbar_sequence(TaskbarState state, unsigned percent) {
    char sequence[32];
    const int n = std::snprintf(sequence, sizeof sequence, "\x1b]9;4;%d;%u\x1b\\", static_cast<int>(state), percent);
    if (n > 0) write_stderr(sequence, static_cast<std::size_t>(n));
}
