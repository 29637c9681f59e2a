#include <windows.h>

#include "console/record_file.h"

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

// Holds the file's lock for one append: other processes appending wait.
class AppendLock {
public:
    explicit AppendLock(HANDLE file) : file_(file) {
        OVERLAPPED whole{};
        LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    }
    ~AppendLock() {
        OVERLAPPED whole{};
        UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &whole);
    }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;

private:
    HANDLE file_;
};

}  // namespace

bool RecordFile::open(const char* path) {
    close();
    // Others may read it meanwhile (a supervisor's viewer) and append to it
    // (another station on the same job), each append under the lock.
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = static_cast<int>(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        error_ = static_cast<int>(GetLastError());
        CloseHandle(file);
        return false;
    }
    was_empty_ = size.QuadPart == 0;
    ends_torn_ = false;
    if (!was_empty_) {
        OVERLAPPED at{};
        const ULONGLONG last_byte = static_cast<ULONGLONG>(size.QuadPart - 1);
        at.Offset = static_cast<DWORD>(last_byte);
        at.OffsetHigh = static_cast<DWORD>(last_byte >> 32);
        char last = '\n';
        DWORD got = 0;
        ends_torn_ = ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n';
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool RecordFile::append(const char* data, std::size_t size) {
    HANDLE file = as_handle(handle_);
    const AppendLock lock(file);
    LARGE_INTEGER start{};
    if (!GetFileSizeEx(file, &start) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        error_ = static_cast<int>(GetLastError());
        return false;
    }
    bool written = true;
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(size), &put, nullptr) || put == 0) {
            error_ = static_cast<int>(GetLastError());
            written = false;
            break;
        }
        data += put;
        size -= put;
    }
    if (written && !FlushFileBuffers(file)) {
        error_ = static_cast<int>(GetLastError());
        written = false;
    }
    if (!written && SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file)) FlushFileBuffers(file);
    return written;
}

void RecordFile::close() {
    if (handle_ == -1) return;
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}
