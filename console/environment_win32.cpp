#include <windows.h>

#include "console/environment_source.h"

std::vector<std::string> environment_entries() {
    std::vector<std::string> entries;
    char* block = GetEnvironmentStringsA();
    if (block == nullptr) return entries;
    // "NAME=value\0NAME=value\0...\0\0"
    for (const char* entry = block; *entry != '\0'; entry += entries.back().size() + 1) entries.emplace_back(entry);
    FreeEnvironmentStringsA(block);
    return entries;
}
