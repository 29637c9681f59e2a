#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "console/system_error.h"
#include "console/writable.h"

namespace {

std::string words(int error) {
    char text[256];
    describe_system_error(error, text, sizeof text);
    return text;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool can_write(const std::string& path, std::string& why) {
    const int existing = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (existing >= 0) {
        ::close(existing);
        return true;
    }
    if (errno != ENOENT) {
        why = words(errno);
        return false;
    }
    // Missing: can its folder take a new file?
    const std::string probe = folder_of(path) + "/.stbload-check-" + std::to_string(getpid());
    const int made = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made < 0) {
        why = errno == ENOENT ? "its folder " + folder_of(path) + " does not exist"
                              : "no file can be made in " + folder_of(path) + ": " + words(errno);
        return false;
    }
    ::close(made);
    ::unlink(probe.c_str());
    return true;
}
