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
    if (created) sync_folder_of(path);
    handle_ = fd;
    return true;
}

std::int64_t RecordFile::size() {
    struct stat info {};
    if (fstat(static_cast<int>(handle_), &info) != 0) {
        error_ = errno;
        return -1;
    }
    return info.st_size;
}

bool RecordFile::ends_torn() {
    const std::int64_t bytes = size();
    char last = '\n';
    return bytes > 0 && pread(static_cast<int>(handle_), &last, 1, bytes - 1) == 1 && last != '\n';
}

void RecordFile::lock() {
    while (flock(static_cast<int>(handle_), LOCK_EX) != 0 && errno == EINTR) {
    }
}

bool RecordFile::try_lock() {
    for (;;) {
        if (flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

void RecordFile::unlock() {
    flock(static_cast<int>(handle_), LOCK_UN);
}

bool RecordFile::append(const char* data, std::size_t size) {
    lock();
    const bool written = append_locked(data, size);
    unlock();
    return written;
}

bool RecordFile::read_at(std::uint64_t offset, std::size_t most, std::string& out) {
    out.resize(most);
    std::size_t got = 0;
    while (got < most) {
        const ssize_t n = pread(static_cast<int>(handle_), &out[got], most - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = errno;
            out.clear();
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return true;
}

// D5: a record that cannot be written whole is cut back to where it began.
bool RecordFile::append_locked(const char* data, std::size_t size) {
    const int fd = static_cast<int>(handle_);
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
