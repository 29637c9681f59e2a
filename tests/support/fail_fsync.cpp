// Preloaded into a tool under test (LD_PRELOAD): fsync fails with EIO the
// first N times it is called on the file whose path ends as
// STBLOAD_FAIL_FSYNC="NAME:N" says, as a disk that lost a write would.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

std::atomic<int> failed{0};

bool names_the_file(int fd, const char* name, std::size_t length) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t size = readlink(link, path, sizeof path - 1);
    if (size < 0) return false;
    path[size] = '\0';
    const auto got = static_cast<std::size_t>(size);
    return got >= length && std::strncmp(path + got - length, name, length) == 0;
}

}  // namespace

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const auto real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    const char* rule = std::getenv("STBLOAD_FAIL_FSYNC");
    const char* colon = rule != nullptr ? std::strrchr(rule, ':') : nullptr;
    if (colon != nullptr && names_the_file(fd, rule, static_cast<std::size_t>(colon - rule)) &&
        failed.fetch_add(1) < std::atoi(colon + 1)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}
