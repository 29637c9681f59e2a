// bench_hex_load: loads a hex file with stbload's own loader and writes the part
// of the image that a download sends (device addresses 0x4000-0xFFFFF) to a
// binary file. The counterpart, as a whole process, of
//   srec_cat FILE -Intel -crop 0x4000 0x100000 -o OUT -Binary
// usage: bench_hex_load HEXFILE OUT.bin

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "image/hex_file.h"
#include "image/hex_image.h"

namespace {

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_hex_load HEXFILE OUT.bin\n");
        return 2;
    }
    HexFile file;
    if (!file.open(argv[1])) {
        std::fprintf(stderr, "bench_hex_load: cannot open %s\n", argv[1]);
        return 1;
    }
    const LoadResult loaded = load_hex_image(file, IMAGE_BASE);
    file.close();
    if (loaded != LoadResult::Loaded) {
        std::fprintf(stderr, "bench_hex_load: nothing loaded from %s\n", argv[1]);
        return 1;
    }
    const int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !write_all(fd, flash_image, TRANSFER_LENGTH) || ::close(fd) != 0) {
        std::fprintf(stderr, "bench_hex_load: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
