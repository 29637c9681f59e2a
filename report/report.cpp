#include "report/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "report/report_data.h"
#include "report/report_html.h"
#include "report/report_tables.h"
#include "session/exit_status.h"

namespace {

// A row that cannot be read: skipped, and named on standard error.
void note_skipped(void* /*context*/, const std::string& file, std::uint64_t line, const std::string& why) {
    console_note("%s:%llu: skipped: %s", file.c_str(), static_cast<unsigned long long>(line), why.c_str());
}

bool write_page(const std::string& path, const std::string& html, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): the report has one thread
        return false;
    }
    const bool written = std::fwrite(html.data(), 1, html.size(), file) == html.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) error = "the page could not be written whole";
    return written && closed;
}

}  // namespace

int run_report(int argc, char** argv) {
    std::vector<std::string> logs;
    std::string html_path;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--html") == 0 && i + 1 < argc) {
            html_path = argv[++i];
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            logs.clear();
            break;
        } else {
            logs.emplace_back(argv[i]);
        }
    }
    if (logs.empty()) {
        console_print("Usage: stbload --report LOG... [--html FILE]\r\n");
        return EXIT_USAGE;
    }
    ReportData data;
    std::size_t read = 0;
    for (const std::string& log : logs) {
        std::string error;
        if (!read_station_log(log, data, error, note_skipped, nullptr)) {
            console_note("%s: %s; not read", log.c_str(), error.c_str());
            continue;
        }
        if (!error.empty()) console_note("%s: %s", log.c_str(), error.c_str());
        ++read;
    }
    const std::string text = report_text(data, read);
    console_print("%s", text.c_str());
    if (!html_path.empty()) {
        std::string error;
        if (!write_page(html_path, report_html(data, read), error)) {
            console_note("%s: %s", html_path.c_str(), error.c_str());
            return EXIT_FAILED;
        }
    }
    if (data.rows == 0) console_note("no box was read");
    return data.rows > 0 ? EXIT_DOWNLOAD_COMPLETED : EXIT_FAILED;
}
