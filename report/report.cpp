#include "report/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/replace_file.h"
#include "console/same_file.h"
#include "console/system_error.h"
#include "report/report_data.h"
#include "report/report_html.h"
#include "report/report_tables.h"
#include "console/exit_status.h"

namespace {

struct ReportOptions {
    std::vector<std::string> logs;
    std::string html_path;  // empty: no page
};

bool is_option(const char* arg) {
    return arg[0] == '-' && arg[1] != '\0';
}

// The command line after --report; false with `error` (empty when there is
// nothing to say but the usage).
bool parse_report_options(int argc, char** argv, ReportOptions& options, std::string& error) {
    bool html_given = false;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--html") == 0) {
            if (html_given) {
                error = "--html given twice";
                return false;
            }
            if (i + 1 >= argc || is_option(argv[i + 1]) || argv[i + 1][0] == '\0') {
                error = "--html needs the page's file name";
                return false;
            }
            options.html_path = argv[++i];
            html_given = true;
        } else if (is_option(arg)) {
            error = std::string("unknown option ") + arg;
            return false;
        } else {
            options.logs.emplace_back(arg);
        }
    }
    return !options.logs.empty();
}

// A row that cannot be read: skipped, and named on standard error.
void note_skipped(void* /*context*/, const std::string& file, std::uint64_t line, const std::string& why) {
    console_note("%s:%llu: skipped: %s", file.c_str(), static_cast<unsigned long long>(line), why.c_str());
}


// Why the page may not be written as `path`, or empty if it may: the page
// replaces a missing file or a page of the report, never a log the report
// reads nor any other file.
std::string page_refusal(const std::string& path, const std::vector<std::string>& logs) {
    for (const std::string& log : logs) {
        if (log == path || same_file(log, path)) return "is one of the logs this report reads; not replaced";
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return std::string();  // a new page
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the report has one thread
        return std::string("cannot be read (") + std::strerror(errno) +
               "), so not known to be a page stbload --report wrote; not replaced";
    }
    std::string start(REPORT_PAGE_MARK_WITHIN, '\0');
    start.resize(std::fread(&start[0], 1, start.size(), file));
    std::fclose(file);
    return is_report_page(start)
               ? std::string()
               : "not a page that stbload --report wrote; not replaced (give another file to --html)";
}

}  // namespace

int run_report(int argc, char** argv) {
    ReportOptions options;
    std::string error;
    if (!parse_report_options(argc, argv, options, error)) {
        console_print("Usage: stbload --report LOG... [--html FILE]\r\n");
        if (!error.empty()) console_note("%s", error.c_str());
        return EXIT_USAGE;
    }
    const std::string& html_path = options.html_path;
    // A page that cannot be written is refused before a row is read.
    std::string refusal = html_path.empty() ? std::string() : page_refusal(html_path, options.logs);
    if (!refusal.empty()) {
        console_note("%s: %s", html_path.c_str(), refusal.c_str());
        return EXIT_USAGE;
    }
    ReportData data;
    std::size_t read = 0;
    for (const std::string& log : options.logs) {
        std::string trouble;
        if (!read_station_log(log, data, trouble, note_skipped, nullptr)) {
            console_note("%s: %s; not read", log.c_str(), trouble.c_str());
            continue;
        }
        if (!trouble.empty()) console_note("%s: %s", log.c_str(), trouble.c_str());
        ++read;
    }
    const std::string text = report_text(data, read);
    console_print("%s", text.c_str());
    if (data.rows == 0) {
        if (html_path.empty()) {
            console_note("no box was read");
        } else {
            console_note("no box was read; %s not written", html_path.c_str());
        }
        return EXIT_FAILED;
    }
    if (!html_path.empty()) {
        // Once more: a file may have come in its place while the logs were read.
        refusal = page_refusal(html_path, options.logs);
        if (!refusal.empty()) {
            console_note("%s: %s", html_path.c_str(), refusal.c_str());
            return EXIT_USAGE;
        }
        int code = 0;
        if (!write_file_whole(html_path, report_html(data, read), code)) {
            console_note("%s: %s; the page is not written", html_path.c_str(), system_words(code).c_str());
            return EXIT_FAILED;
        }
    }
    return EXIT_DOWNLOAD_COMPLETED;
}
