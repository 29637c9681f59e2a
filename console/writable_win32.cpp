#include <windows.h>

#include "console/system_error.h"
#include "console/writable.h"

namespace {

std::string words(DWORD error) {
    char text[256];
    describe_system_error(static_cast<int>(error), text, sizeof text);
    return text;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

bool can_write(const std::string& path, std::string& why) {
    // Shared as a station shares its files, so that a running one is not disturbed.
    HANDLE existing = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        CloseHandle(existing);
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
        why = error == ERROR_PATH_NOT_FOUND ? "its folder " + folder_of(path) + " does not exist" : words(error);
        return false;
    }
    const std::string probe = folder_of(path) + "\\.stbload-check-" + std::to_string(GetCurrentProcessId());
    HANDLE made = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (made == INVALID_HANDLE_VALUE) {
        why = "no file can be made in " + folder_of(path) + ": " + words(GetLastError());
        return false;
    }
    CloseHandle(made);
    return true;
}
