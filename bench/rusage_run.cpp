// bench_rusage: runs a program and reports its wall time, CPU time and peak
// resident memory, taken from wait4() on the program itself.
// usage: bench_rusage RESULT_FILE PROGRAM [ARGS...]
// RESULT_FILE gets one line: wall_seconds user_seconds system_seconds max_rss_kb exit_status
//
// Linux carries the peak memory of a process from before its exec() into its
// own figure, so a program started straight from a large parent (Python) would
// report the parent's size. This small program is the parent instead.

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_rusage RESULT_FILE PROGRAM [ARGS...]\n");
        return 2;
    }
    const double start = now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("bench_rusage: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror("bench_rusage: exec");
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("bench_rusage: wait4");
            return 2;
        }
    }
    const double wall = now() - start;
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror("bench_rusage: result file");
        return 2;
    }
    std::fprintf(out, "%.6f %.6f %.6f %ld %d\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime),
                 usage.ru_maxrss, exit_status);
    return std::fclose(out) == 0 ? exit_status : 2;
}
