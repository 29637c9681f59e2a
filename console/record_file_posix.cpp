#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/record_file.h"

namespace {

// A new file's name lives in its folder: synced too, or a power cut may lose the file.
void sync_folder_of(const char* path) {
    const std::string text = path;
    const std::size_t slash = text.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    ::close(fd);
}

// Holds the file's lock for one append: other processes appending wait.
class AppendLock {
public:
    explicit AppendLock(int fd) : fd_(fd) {
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~AppendLock() { flock(fd_, LOCK_UN); }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;

private:
    int fd_;
};

}  // namespace

bool RecordFile::open(const char* path) {
    close();
    bool created = true;
    int fd = ::open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path, O_RDWR | O_APPEND | O_CLOEXEC);
    }
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
    if (created) sync_folder_of(path);
    was_empty_ = info.st_size == 0;
    char last = '\n';
    ends_torn_ = !was_empty_ && pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
    handle_ = fd;
    return true;
}

bool RecordFile::append(const char* data, std::size_t size) {
    const int fd = static_cast<int>(handle_);
    const AppendLock lock(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error_ = errno;
        return false;
    }
    const off_t start = info.st_size;
    bool written = true;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            written = false;
            break;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    if (written && fsync(fd) != 0) {
        // What failed to reach the disk may still be in the file: after a
        // failed sync it cannot be trusted, and is written again whole.
        error_ = errno;
        written = false;
    }
    if (!written && ftruncate(fd, start) == 0) fsync(fd);
    return written;
}

void RecordFile::close() {
    if (handle_ < 0) return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}
