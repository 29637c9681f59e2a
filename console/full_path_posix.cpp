#include <climits>
#include <cstdlib>

#include "console/full_path.h"

std::string full_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}
