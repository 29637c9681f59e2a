#include "console/terminal.h"

#include <cstdlib>
#include <cstring>

namespace {

bool variable_is(const char* name, const char* value) {
    const char* set = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read before any thread starts
    return set != nullptr && std::strcmp(set, value) == 0;
}

}  // namespace

bool progress_turned_off() {
    return variable_is("STBLOAD_PROGRESS", "off");
}

bool taskbar_known_from_environment() {
    const char* session = std::getenv("WT_SESSION");  // NOLINT(concurrency-mt-unsafe)
    return (session != nullptr && session[0] != '\0') || variable_is("ConEmuANSI", "ON") ||
           variable_is("TERM_PROGRAM", "WezTerm") || variable_is("TERM_PROGRAM", "ghostty");
}
