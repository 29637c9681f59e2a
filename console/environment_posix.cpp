#include <unistd.h>

#include "console/environment_source.h"

std::vector<std::string> environment_entries() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) entries.emplace_back(*entry);
    return entries;
}
