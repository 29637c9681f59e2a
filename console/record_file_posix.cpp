#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/record_file.h"

bool RecordFile::open(const char* path) {
    close();
    const int fd = ::open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error_ = errno;
        ::close(fd);
        return false;
    }
    was_empty_ = info.st_size == 0;
    char last = '\n';
    ends_torn_ = !was_empty_ && pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
    handle_ = fd;
    return true;
}

bool RecordFile::append(const char* data, std::size_t size) {
    const int fd = static_cast<int>(handle_);
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

void RecordFile::close() {
    if (handle_ < 0) return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}
