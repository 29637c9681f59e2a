#include "session/job_setup.h"

#include <cstdio>

#include "console/figures.h"
#include "session/unique_value.h"

bool read_job_for_use(const std::string& path, Job& job, ConsoleReport& report) {
    std::vector<std::string> problems;
    if (read_job(path, job, problems)) return true;
    report.message = "cannot use the job " + path + "\r\n";
    for (const std::string& problem : problems) report.notes.push_back(std::string(path).append(": ").append(problem));
    return false;
}

bool load_job_image(const Job& job, ImageLoad& load, ImageFingerprint& fingerprint, ConsoleReport& report,
                    bool strict) {
    const std::string file = job_relative(job, job.image_file);
    load = load_image(file.c_str(), strict || job.strict);
    report = describe_image_load(load, file.c_str());
    if (!load.ready()) return false;
    fingerprint = fingerprint_image(load.window);
    if (fingerprint.crc32 != job.crc32) {
        char text[512];
        std::snprintf(text, sizeof text, "0x%08X, %s gives 0x%08X", job.crc32, file.c_str(), fingerprint.crc32);
        report.message = "job " + job.path + " expects CRC-32 " + text + ": nothing flashed\r\n";
        return false;
    }
    char sha256[65];
    format_sha256(fingerprint.sha256, sha256);
    if (job.sha256 && *job.sha256 != sha256) {
        report.message = "job " + job.path + " expects SHA-256 " + *job.sha256 + ", " + file + " gives " + sha256 +
                         ": nothing flashed\r\n";
        return false;
    }
    return true;
}

bool open_job_numbers(const Job& job, const std::string& log_path, NumberJournal& numbers, ConsoleReport& report,
                      bool look_only) {
    if (job.unique.empty()) return true;
    std::string problem;
    if (numbers.open(job, log_path, problem, report.notes, look_only)) return true;
    report.message = problem + "\r\n";
    return false;
}

bool open_job_line(const Job& job, const std::string& log_path, const std::string& station, unsigned ports,
                   NumberJournal& numbers, std::unique_ptr<LineKeeper>& keeper, ConsoleReport& report,
                   std::string& state) {
    std::string problem;
    if (!job.unique.empty() && !numbers.open_leased(job, line_journal_path(log_path), problem)) {
        report.message = problem + "\r\n";
        return false;
    }
    keeper = std::make_unique<LineKeeper>(job, log_path, job.unique.empty() ? nullptr : &numbers, station, ports);
    const std::string database = without_password(job.line->database);
    switch (keeper->open(problem)) {
    case LineOpen::Ready:
        state = "database: " + database + ", pool " + job.line->pool;
        return true;
    case LineOpen::Unreachable:
        state = problem + "; ";
        if (job.unique.empty()) {
            state += "rows wait in the outbox " + keeper->outbox_path();
        } else {
            char left[32];
            format_thousands(numbers.lease_left(), left, sizeof left);
            state += numbers.lease_left() > 0 ? "running on this station's lease: " + std::string(left) + " left"
                                              : "no value at hand: boxes wait for numbers until it is back";
        }
        return true;
    case LineOpen::Refused:
        break;
    }
    report.message = problem + ": nothing flashed\r\n";
    keeper.reset();
    return false;
}

std::string numbers_left_text(const NumberJournal& numbers) {
    const std::vector<UniqueField>& fields = numbers.fields();
    if (numbers.leased()) {
        // A station's lease: the pool's own figures are the database's.
        const std::uint64_t left = numbers.lease_left();
        const std::vector<std::uint64_t> next = numbers.next();
        if (left == 0) {
            const std::string spent = numbers.used_up();
            return spent.empty() ? "none at hand (waiting for a lease)" : "the pool's " + spent + " is used up";
        }
        char count[32];
        format_thousands(left, count, sizeof count);
        std::string text = std::string(count) + " left of this station's lease";
        for (std::size_t f = 0; f < fields.size(); ++f) {
            text += (f == 0 ? " (" : ", ") + unique_text(fields[f], next[f]);
        }
        return text + " next)";
    }
    const std::vector<std::uint64_t> left = numbers.left();
    const std::vector<std::uint64_t> next = numbers.next();
    std::string text;
    std::string few;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        char count[32];
        format_thousands(left[f], count, sizeof count);
        text += (f == 0 ? "" : ", ") + fields[f].name + " " + count + " left";
        if (left[f] > 0) text += " (" + unique_text(fields[f], next[f]) + " next)";
        const std::uint64_t range = fields[f].last - fields[f].first + 1;
        const std::uint64_t warn = range / 100 > 100 ? range / 100 : 100;
        if (left[f] < warn) few += (few.empty() ? "" : ", ") + fields[f].name;
    }
    if (!few.empty()) text += "; few left: " + few;
    return text;
}

std::string job_log_path(const Job& job) {
    return job.station_log.empty() ? "stbload-station.csv" : job_relative(job, job.station_log);
}
