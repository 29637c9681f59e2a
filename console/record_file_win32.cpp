#include <windows.h>

#include "console/record_file.h"

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

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
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

std::int64_t RecordFile::size() {
    LARGE_INTEGER bytes{};
    if (!GetFileSizeEx(as_handle(handle_), &bytes)) {
        error_ = static_cast<int>(GetLastError());
        return -1;
    }
    return bytes.QuadPart;
}

bool RecordFile::ends_torn() {
    const std::int64_t bytes = size();
    std::string last;
    return bytes > 0 && read_at(static_cast<std::uint64_t>(bytes - 1), 1, last) && last.size() == 1 && last[0] != '\n';
}

void RecordFile::lock() {
    OVERLAPPED whole{};
    LockFileEx(as_handle(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

bool RecordFile::try_lock() {
    OVERLAPPED whole{};
    if (LockFileEx(as_handle(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole)) {
        return true;
    }
    error_ = static_cast<int>(GetLastError());
    return false;
}

void RecordFile::unlock() {
    OVERLAPPED whole{};
    UnlockFileEx(as_handle(handle_), 0, MAXDWORD, MAXDWORD, &whole);
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
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + got);
        at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
        DWORD n = 0;
        const DWORD ask = most - got > 0x10000000 ? 0x10000000 : static_cast<DWORD>(most - got);
        if (!ReadFile(as_handle(handle_), &out[got], ask, &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            error_ = static_cast<int>(GetLastError());
            out.clear();
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return true;
}

// D5: a record that cannot be written whole is cut back to where it began.
bool RecordFile::append_locked(const char* data, std::size_t size) {
    HANDLE file = as_handle(handle_);
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
