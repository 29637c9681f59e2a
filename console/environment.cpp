#include "console/environment.h"

#include <map>
#include <mutex>

#include "console/environment_source.h"

namespace {

// Written by read_environment() alone; read by anyone once it is taken.
std::map<std::string, std::string> copy;
std::once_flag taken;

void take() {
    copy.clear();
    for (const std::string& entry : environment_entries()) {
        const std::size_t equals = entry.find('=', 1);  // Windows' "=C:=C:\dir" entries start with '='
        if (equals == std::string::npos) continue;
        copy.emplace(entry.substr(0, equals), entry.substr(equals + 1));
    }
}

}  // namespace

void read_environment() {
    std::call_once(taken, [] {});
    take();
}

const char* environment_value(const char* name) {
    std::call_once(taken, take);
    const auto found = copy.find(name);
    return found == copy.end() ? nullptr : found->second.c_str();
}

std::vector<std::pair<std::string, std::string>> environment_with_prefix(const char* prefix) {
    std::call_once(taken, take);
    std::vector<std::pair<std::string, std::string>> found;
    const std::string start = prefix;
    for (auto it = copy.lower_bound(start); it != copy.end() && it->first.compare(0, start.size(), start) == 0; ++it) {
        found.emplace_back(it->first, it->second);
    }
    return found;
}
