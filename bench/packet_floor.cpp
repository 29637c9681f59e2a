// bench_packet_floor: the least a download can cost. Opens a serial device the
// way stbload does, then only writes the 64,512 packets of 20 bytes of the
// benchmark image, one write each, with the same wait for room when the port's
// queue is full. No hex file, no console, no dialogue.
// usage: bench_packet_floor DEVICE

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "bench/sample_image.h"

namespace {

constexpr std::uint32_t WINDOW_START = 0x4000;
constexpr std::uint32_t WINDOW_END = 0x100000;
constexpr std::size_t PACKET_BYTES = 20;

std::uint8_t image[SAMPLE_IMAGE_SIZE];

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait{fd, POLLOUT, 0};
            poll(&wait, 1, -1);
            continue;
        }
        return false;
    }
    return true;
}

bool open_raw(const char* path, int& fd) {
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios tio{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return cfsetispeed(&tio, B115200) == 0 && cfsetospeed(&tio, B115200) == 0 && tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_packet_floor DEVICE\n");
        return 2;
    }
    fill_sample_image(image);
    int fd = -1;
    if (!open_raw(argv[1], fd)) {
        std::fprintf(stderr, "bench_packet_floor: cannot open %s\n", argv[1]);
        return 1;
    }
    std::uint8_t packet[PACKET_BYTES];
    for (std::uint32_t address = WINDOW_START; address < WINDOW_END; address += 16) {
        packet[0] = static_cast<std::uint8_t>(address >> 16);
        packet[1] = static_cast<std::uint8_t>(address >> 8);
        packet[2] = static_cast<std::uint8_t>(address);
        packet[3] = 0x10;
        std::memcpy(packet + 4, image + address, 16);
        if (!write_all(fd, packet, sizeof packet)) {
            std::fprintf(stderr, "bench_packet_floor: write failed\n");
            return 1;
        }
    }
    ::close(fd);
    return 0;
}
