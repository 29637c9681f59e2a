// bench_line_db: what the line's database costs a bench PC for each box, as
// a station's keeper spends it: one row inserted, and a share of a lease.
// usage: bench_line_db CONNECTION ROWS LEASES LEASE_SIZE
// (the password, if any, in STBLOAD_DB_PASSWORD). Prints one line of JSON:
// the median and 95th percentile wall time of an insert and of a lease, and
// the CPU time this process spent on them.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>
#include <unistd.h>

#include "db/line_database.h"
#include "records/log_columns.h"
#include "line/keeper.h"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double quantile(std::vector<double> samples, double q) {
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_line_db CONNECTION ROWS LEASES LEASE_SIZE\n");
        return 2;
    }
    const int rows = std::atoi(argv[2]);
    const int leases = std::atoi(argv[3]);
    const auto lease_size = static_cast<std::uint64_t>(std::atoll(argv[4]));
    LineSettings settings;
    settings.database = argv[1];
    std::string secret;
    const std::string pool = "bench-" + std::to_string(getpid());
    LineDatabase database(line_connection(settings, secret), secret, pool, box_table_columns());
    DbError error;
    if (!database.ready(error)) {
        std::fprintf(stderr, "bench_line_db: %s\n", error.message.c_str());
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    std::vector<double> insert_ms;
    double cpu = cpu_seconds();
    for (int row = 0; row < rows; ++row) {
        char started[40];
        std::snprintf(started, sizeof started, "2026-12-09T10:%02d:%02d.%03dZ", row / 60000 % 60, row / 1000 % 60,
                      row % 1000);
        const std::vector<std::string> fields = {
            started, started, pool, "COM7", "\\\\.\\COM7", "usb:A12345", "fw-2.3.1.hex", "0x5E1F0C27",
            std::string(64, 'a'), "completed", "2.0", "112.0", "14.0", "1032192", "", "line3.toml", "A1B2C3",
            "serial=STB000000123 mac=00:1A:2B:00:00:7A", "0x1A2B3C4D", "STB firmware 2.3.1 (build 7)"};
        const Clock::time_point begun = Clock::now();
        if (!database.insert_box(fields, error)) {
            std::fprintf(stderr, "bench_line_db: insert: %s\n", error.message.c_str());
            return 1;
        }
        insert_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    }
    const double insert_cpu = cpu_seconds() - cpu;
    std::vector<double> lease_ms;
    const std::vector<PoolField> fields = {{"serial", 1, 999999999}, {"mac", 0x001A2B000000, 0x001A2BFFFFFF}};
    cpu = cpu_seconds();
    for (int taken = 0; taken < leases; ++taken) {
        Lease lease;
        std::string used_up;
        const Clock::time_point begun = Clock::now();
        if (database.take_lease(fields, lease_size, "bench", "/bench/journal", lease, used_up, error) !=
            LeaseResult::Taken) {
            std::fprintf(stderr, "bench_line_db: lease: %s\n", error.message.c_str());
            return 1;
        }
        lease_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    }
    const double lease_cpu = cpu_seconds() - cpu;
    std::printf("{\"insert_ms\": %.3f, \"insert_p95_ms\": %.3f, \"insert_cpu_ms\": %.3f, \"lease_ms\": %.3f, "
                "\"lease_p95_ms\": %.3f, \"lease_cpu_ms\": %.3f}\n",
                quantile(insert_ms, 0.5), quantile(insert_ms, 0.95), insert_cpu * 1e3 / rows, quantile(lease_ms, 0.5),
                quantile(lease_ms, 0.95), lease_cpu * 1e3 / leases);
    return 0;
}
