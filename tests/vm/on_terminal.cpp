// on_terminal: runs a command in the test guest with its standard output on a
// pseudo-terminal, as an operator's console is, and records what it prints and
// when. It is linked statically, so the guest needs nothing else to run it.
//
// usage: on_terminal [--user UID] DIR COMMAND [ARG...]
//
// With --user, the command runs as that user and group id, without the
// supplementary groups or the privileges of root: as an operator runs it.
//
// Writes in DIR: `pid` (the command's process id, once it runs), `out` (every
// byte of its standard output, as it arrives), `err` (its standard error) and,
// once it has ended, `result`:
//   status=N        its exit status (128 + N for signal N)
//   cpu=S           user + system seconds it used
//   output_end=T    when its last output arrived (CLOCK_MONOTONIC seconds)
//   exit=T          when it ended
// Standard input is /dev/null. Exit status: 0, or 2 when it cannot run.
//
// It also asks the guest's serial drivers what busybox cannot:
// `on_terminal --closing-wait DEVICE` prints how long closing DEVICE waits
// for its output, in hundredths of a second, or `none` (TIOCGSERIAL).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "on_terminal: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int create(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create " + path);
    return fd;
}

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void write_text(const std::string& path, const std::string& text) {
    const int fd = create(path);
    write_all(fd, text.data(), text.size());
    close(fd);
}

int print_closing_wait(const char* device) {
    // Opened beside the tool that uses the port: no controlling terminal, no wait for a carrier.
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct serial{};
    if (fd < 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0) fail(device);
    close(fd);
    if (serial.closing_wait == ASYNC_CLOSING_WAIT_NONE) {
        std::printf("none\n");
    } else {
        std::printf("%u\n", static_cast<unsigned>(serial.closing_wait));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--closing-wait") == 0) return print_closing_wait(argv[2]);
    int first = 1;
    long user = -1;
    if (argc > 2 && std::strcmp(argv[1], "--user") == 0) {
        user = std::strtol(argv[2], nullptr, 10);
        first = 3;
    }
    if (argc < first + 2 || user == 0) {
        std::fprintf(stderr, "usage: on_terminal [--user UID] DIR COMMAND [ARG...]\n");
        return 2;
    }
    const std::string dir = argv[first];
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fail("no pseudo-terminal");
    const char* slave_name = ptsname(master);
    if (slave_name == nullptr) fail("no pseudo-terminal name");
    const int slave = open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) fail("cannot open the pseudo-terminal");
    // Raw: the bytes the command writes arrive as written ("\n" stays "\n").
    termios tio{};
    if (tcgetattr(slave, &tio) != 0) fail("tcgetattr");
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0) fail("tcsetattr");
    const int out = create(dir + "/out");
    const int err = create(dir + "/err");
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0) fail("cannot open /dev/null");

    const pid_t child = fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        if (dup2(null, 0) < 0 || dup2(slave, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        if (user > 0) {
            const auto id = static_cast<uid_t>(user);
            if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(127);
        }
        execvp(argv[first + 1], argv + first + 1);
        std::perror(argv[first + 1]);
        _exit(127);
    }
    close(slave);
    close(null);
    close(err);
    write_text(dir + "/pid", std::to_string(child) + "\n");

    // Copy until the command has closed its end (the read then fails with EIO).
    double output_end = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output_end = now();
        write_all(out, buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) fail("wait4");
    }
    const double ended = now();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    char result[256];
    std::snprintf(result, sizeof result, "status=%d\ncpu=%.6f\noutput_end=%.6f\nexit=%.6f\n", code, cpu,
                  output_end, ended);
    write_text(dir + "/result", result);
    close(out);
    close(master);
    return 0;
}
