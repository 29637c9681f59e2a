#include <windows.h>

#include <cstdint>

#include "console/replace_file.h"

namespace {

// How many names are tried before giving up (each taken by another file).
constexpr int NAME_TRIES = 100;

// The folder part of `path` with its separator or drive ("" for a name alone).
std::string folder_part(const std::string& path) {
    const std::size_t end = path.find_last_of("/\\:");
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// "dir\.week.html.stbload-k3x9qa": six letters of `seed`, well mixed.
std::string file_beside(const std::string& target, std::uint64_t seed) {
    std::uint64_t mixed = seed + 0x9E3779B97F4A7C15ULL;
    mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBULL;
    mixed ^= mixed >> 31;
    std::string letters;
    for (int i = 0; i < 6; ++i, mixed /= 36) letters += "abcdefghijklmnopqrstuvwxyz0123456789"[mixed % 36];
    const std::string folder = folder_part(target);
    return folder + "." + target.substr(folder.size()) + ".stbload-" + letters;
}

bool write_all(HANDLE file, const std::string& bytes, int& error) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const std::size_t left = bytes.size() - written;
        const DWORD ask = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!WriteFile(file, bytes.data() + written, ask, &n, nullptr)) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        if (n == 0) {
            error = ERROR_DISK_FULL;
            return false;
        }
        written += n;
    }
    return true;
}

}  // namespace

bool replace_file(const std::string& from, const std::string& to, int& error) {
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

bool write_file_whole(const std::string& target, const std::string& bytes, int& error) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const std::uint64_t seed =
        static_cast<std::uint64_t>(now.QuadPart) ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40);
    std::string beside;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < NAME_TRIES && file == INVALID_HANDLE_VALUE; ++attempt) {
        beside = file_beside(target, seed + static_cast<std::uint64_t>(attempt));
        file = CreateFileA(beside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            error = static_cast<int>(GetLastError());
            return false;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        error = ERROR_FILE_EXISTS;
        return false;
    }
    bool whole = write_all(file, bytes, error);
    if (whole && !FlushFileBuffers(file)) {
        error = static_cast<int>(GetLastError());
        whole = false;
    }
    if (!CloseHandle(file) && whole) {
        error = static_cast<int>(GetLastError());
        whole = false;
    }
    whole = whole && replace_file(beside, target, error);
    if (!whole) DeleteFileA(beside.c_str());
    return whole;
}
