#include <windows.h>

#include "console/full_path.h"

std::string full_path(const std::string& path) {
    char resolved[MAX_PATH * 4];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof resolved, resolved, nullptr);
    return length > 0 && length < sizeof resolved ? std::string(resolved, length) : path;
}
