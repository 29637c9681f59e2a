#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "console/replace_file.h"

namespace {

// How many names are tried before giving up (each taken by another file).
constexpr int NAME_TRIES = 100;

// The folder part of `path` with its slash ("" for a name alone).
std::string folder_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// "dir/.week.html.stbload-k3x9qa": six letters of `seed`, well mixed.
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

bool write_all(int file, const std::string& bytes, int& error) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(file, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool replace_file(const std::string& from, const std::string& to, int& error) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        error = errno;
        return false;
    }
    // The folder's entry too, so that the new file is the one there after a power cut.
    const std::string folder = folder_part(to);
    const int handle = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0) {
        ::fsync(handle);
        ::close(handle);
    }
    return true;
}

bool write_file_whole(const std::string& target, const std::string& bytes, int& error) {
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t seed = now ^ (static_cast<std::uint64_t>(::getpid()) << 40);
    std::string beside;
    int file = -1;
    for (int attempt = 0; attempt < NAME_TRIES && file < 0; ++attempt) {
        beside = file_beside(target, seed + static_cast<std::uint64_t>(attempt));
        file = ::open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file < 0 && errno != EEXIST) {
            error = errno;
            return false;
        }
    }
    if (file < 0) {
        error = EEXIST;
        return false;
    }
    bool whole = write_all(file, bytes, error);
    if (whole && ::fsync(file) != 0) {
        error = errno;
        whole = false;
    }
    if (::close(file) != 0 && whole) {
        error = errno;
        whole = false;
    }
    whole = whole && replace_file(beside, target, error);
    if (!whole) ::unlink(beside.c_str());
    return whole;
}
