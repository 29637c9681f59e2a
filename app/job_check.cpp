#include "app/job_check.h"

#include "console/console.h"
#include "console/figures.h"
#include "image/image_fingerprint.h"
#include "session/box_log.h"
#include "session/exit_status.h"
#include "session/job_setup.h"
#include "session/unique_value.h"

namespace {

std::string thousands(unsigned long long value) {
    char text[32];
    format_thousands(value, text, sizeof text);
    return text;
}

}  // namespace

int run_job_check(const std::string& job_path) {
    Job job;
    ConsoleReport report;
    if (!read_job_for_use(job_path, job, report)) {
        console_show(report);
        return EXIT_FAILED;
    }
    console_print("job %s\r\n", job.path.c_str());
    ImageLoad loaded;
    ImageFingerprint fingerprint{};
    const bool locked = load_job_image(job, loaded, fingerprint, report);
    console_show(report);
    if (!locked) return EXIT_FAILED;
    char sha256[65];
    format_sha256(fingerprint.sha256, sha256);
    const std::string file = job_relative(job, job.image_file);
    console_print("image: %s, %s data bytes placed, from 0x%X to 0x%X\r\n"
                  "CRC-32 0x%08X, as the job expects\r\n"
                  "SHA-256 %s%s\r\n",
                  file.c_str(), thousands(loaded.report.bytes_placed).c_str(), loaded.report.lowest_address,
                  loaded.report.highest_address, fingerprint.crc32, sha256,
                  job.sha256 ? ", as the job expects" : " (the job gives none to compare)");

    const std::string log_path = job_log_path(job);
    bool usable = true;
    if (!job.unique.empty()) {
        NumberJournal numbers;
        report = ConsoleReport();
        if (!open_job_numbers(job, log_path, numbers, report, true)) {
            console_show(report);
            return EXIT_FAILED;
        }
        console_print("numbers: kept in %s%s\r\n", numbers.path().c_str(),
                      numbers.missing() ? " (made with the first box)" : "");
        const std::vector<std::uint64_t> next = numbers.next();
        const std::vector<std::uint64_t> left = numbers.left();
        for (std::size_t f = 0; f < job.unique.size(); ++f) {
            const UniqueField& field = job.unique[f];
            console_print("  %s at 0x%05X: %s%s left of %s to %s\r\n", field.name.c_str(), field.address,
                          left[f] > 0 ? ("next " + unique_text(field, next[f]) + ", ").c_str() : "",
                          thousands(left[f]).c_str(), unique_text(field, field.first).c_str(),
                          unique_text(field, field.last).c_str());
        }
        const std::string spent = numbers.used_up();
        if (!spent.empty()) {
            console_print("the numbers of %s are used up: no box can be flashed under this job\r\n", spent.c_str());
            usable = false;
        } else {
            console_print("numbers: %s\r\n", numbers_left_text(numbers).c_str());
        }
    }
    if (job.identity_pattern) console_print("identity: the first line that matches %s\r\n", job.identity_pattern->c_str());
    if (job.boot_expect) console_print("boot: \"%s\" within %.0f s\r\n", job.boot_expect->c_str(), job.boot_within_s);
    std::string error;
    if (log_header_usable(log_path, error)) {
        console_print("log: %s\r\n", log_path.c_str());
    } else {
        console_print("cannot use the log %s: %s\r\n", log_path.c_str(), error.c_str());
        usable = false;
    }
    if (usable) console_print("a box can be flashed under this job\r\n");
    return usable ? EXIT_DOWNLOAD_COMPLETED : EXIT_FAILED;
}
