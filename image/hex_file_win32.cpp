#include "image/hex_file.h"

#include <windows.h>

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

bool HexFile::open(const char* path) {
    close();
    // Shared for reading: several downloads, one per port, may read one
    // firmware file at once; a program writing it still keeps it from us.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = static_cast<int>(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

long HexFile::read(std::uint8_t* dst, std::size_t size) {
    DWORD got = 0;
    if (!ReadFile(as_handle(handle_), dst, static_cast<DWORD>(size), &got, nullptr)) {
        error_ = static_cast<int>(GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}

void HexFile::close() {
    if (handle_ == -1) return;
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}
