#include "image/hex_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool HexFile::open(const char* path) {
    close();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    // A directory opens on POSIX but can never be read as a file.
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        error_ = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

long HexFile::read(std::uint8_t* dst, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle_), dst, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

void HexFile::close() {
    if (handle_ < 0) return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}
