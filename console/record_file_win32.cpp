#include <windows.h>

#include "console/record_file.h"

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

bool RecordFile::open(const char* path) {
    close();
    // Others may read it meanwhile (a supervisor's viewer), not write it.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(size), &put, nullptr) || put == 0) {
            error_ = static_cast<int>(GetLastError());
            return false;
        }
        data += put;
        size -= put;
    }
    if (!FlushFileBuffers(file)) {
        error_ = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

void RecordFile::close() {
    if (handle_ == -1) return;
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}
