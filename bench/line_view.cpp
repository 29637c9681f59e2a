// bench_line_view: what one refresh of the line view costs over the rows a
// line's database holds: its one query and the document made from it.
// usage: bench_line_view CONNECTION POOL REFRESHES
// (the password, if any, in STBLOAD_DB_PASSWORD). Prints one line of JSON:
// the median, 95th percentile and longest wall time of a refresh, and the
// stations and ports it found.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/line_database.h"
#include "line/keeper.h"
#include "records/log_columns.h"
#include "report/line_figures.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_line_view CONNECTION POOL REFRESHES\n");
        return 2;
    }
    const int refreshes = std::atoi(argv[3]);
    Job job;
    LineSettings settings;
    settings.database = argv[1];
    settings.pool = argv[2];
    job.unique.push_back(UniqueField{"serial", 0xFF000, UniqueFormat::Decimal, "STB", 9, 1, 999999999});
    std::string secret;
    LineDatabase database(line_connection(settings, secret), secret, settings.pool, box_table_columns());
    DbError error;
    if (!database.ready(error)) {
        std::fprintf(stderr, "bench_line_view: %s\n", error.message.c_str());
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    std::vector<double> refresh_ms;
    std::size_t stations = 0;
    std::size_t ports = 0;
    for (int refresh = 0; refresh < refreshes; ++refresh) {
        const Clock::time_point begun = Clock::now();
        const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        LineReading reading;
        if (!database.read_line(line_window(now_ms), reading, error)) {
            std::fprintf(stderr, "bench_line_view: %s\n", error.message.c_str());
            return 1;
        }
        const nlohmann::json document = line_document(job, reading, now_ms);
        refresh_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
        stations = document["stations"].size();
        ports = reading.ports.size();
    }
    std::sort(refresh_ms.begin(), refresh_ms.end());
    const auto at = [&](double q) { return refresh_ms[static_cast<std::size_t>(q * (refresh_ms.size() - 1))]; };
    std::printf("{\"refresh_ms\": %.3f, \"refresh_p95_ms\": %.3f, \"refresh_max_ms\": %.3f, \"stations\": %zu, "
                "\"ports\": %zu}\n",
                at(0.5), at(0.95), refresh_ms.back(), stations, ports);
    return 0;
}
