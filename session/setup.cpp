#include "session/setup.h"

#include <cstdio>

#include "console/environment.h"
#include "console/figures.h"
#include "db/line_database.h"
#include "image/image_fingerprint.h"
#include "job/unique_value.h"
#include "records/log_columns.h"

namespace {

// The line's database as the keeper reaches it: the job's connection with the
// password from STBLOAD_DB_PASSWORD added, and the log's columns.
std::unique_ptr<LinePool> line_pool(const LineSettings& line) {
    std::string secret;
    std::string connection = line_connection(line, secret);
    return std::make_unique<LineDatabase>(std::move(connection), std::move(secret), line.pool, box_table_columns());
}

// The fingerprint against the job's: a file other than the one it locks is refused.
bool locked_to_the_job(const RunSetup& run, Problem& problem) {
    const Job& job = run.job;
    if (run.fingerprint.crc32 != job.crc32) {
        problem.message = {"job " + job.path + " expects CRC-32 " + crc32_text(job.crc32) + ", " + run.file +
                           " gives " + crc32_text(run.fingerprint.crc32) + ": nothing flashed"};
        return false;
    }
    if (job.sha256 && *job.sha256 != run.sha256) {
        problem.message = {"job " + job.path + " expects SHA-256 " + *job.sha256 + ", " + run.file + " gives " +
                           run.sha256 + ": nothing flashed"};
        return false;
    }
    return true;
}

// What the bench runs on while the line's database is away.
std::string unreachable_state(const RunSetup& run, const std::string& problem) {
    if (run.job.unique.empty()) return problem + "; rows wait in the outbox " + run.line->outbox_path();
    const std::uint64_t left = run.leased_numbers.lease_left();
    char count[32];
    format_thousands(left, count, sizeof count);
    return problem + "; " + (left > 0 ? "running on this station's lease: " + std::string(count) + " left"
                                      : std::string("no value at hand: boxes wait for numbers until it is back"));
}

}  // namespace

bool setup_job(const std::string& path, RunSetup& run, Problem& problem) {
    std::vector<std::string> faults;
    run.under_job = true;
    if (read_job(path, run.job, faults)) return true;
    problem.message = {"cannot use the job " + path};
    for (const std::string& fault : faults) problem.notes.push_back(std::string(path).append(": ").append(fault));
    return false;
}

bool setup_image(RunSetup& run, const std::string& hex_path, bool strict, Problem& problem) {
    run.file = run.under_job ? job_relative(run.job, run.job.image_file) : hex_path;
    run.loaded = load_image(run.file.c_str(), strict || (run.under_job && run.job.strict));
    problem = describe_image_load(run.loaded, run.file.c_str());
    if (!run.loaded.ready()) return false;
    run.fingerprint = fingerprint_image(run.loaded.window);
    run.crc32 = crc32_text(run.fingerprint.crc32);
    run.sha256 = sha256_text(run.fingerprint.sha256);
    return !run.under_job || locked_to_the_job(run, problem);
}

bool setup_log(RunSetup& run, const std::string& log_path, const char* elsewhere, Problem& problem) {
    run.log_path = log_path;
    std::string error;
    const LogOpen opened = run.log.open(log_path, error);
    if (opened == LogOpen::Opened) return true;
    problem.message = {"cannot open the log " + log_path};
    problem.notes.push_back(log_path + ": " + error +
                            (opened == LogOpen::ForeignHeader
                                 ? std::string("; nothing in it is changed: move it aside, or ") + elsewhere
                                 : std::string()));
    return false;
}

bool setup_numbers(RunSetup& run, const std::string& station, unsigned ports, Problem& problem) {
    const Job& job = run.job;
    std::string why;
    if (!job.line) {
        if (job.unique.empty()) return true;
        if (!run.local_numbers.open(job, run.log_path, why, problem.notes)) {
            problem.message = {why};
            return false;
        }
        run.numbers = &run.local_numbers;
        return true;
    }
    if (!job.unique.empty()) {
        if (!run.leased_numbers.open(job, line_journal_path(run.log_path), why)) {
            problem.message = {why};
            return false;
        }
        run.numbers = &run.leased_numbers;
    }
    run.line = std::make_unique<LineKeeper>(job, run.log_path, job.unique.empty() ? nullptr : &run.leased_numbers,
                                            station, ports, line_pool(*job.line));
    if (job.line->approval_required) {
        // Beside the log, as the outbox is: the approvals this station saw, for a start while the database is away.
        run.approval = std::make_unique<ApprovalGuard>(job, run.sha256, run.log_path + ".approvals");
        run.line->guard_approval(run.approval.get());
    }
    switch (run.line->open(why)) {
    case LineOpen::Ready:
        run.line_state = "database: " + without_password(job.line->database) + ", pool " + job.line->pool;
        if (run.approval) run.line_state += ", approval " + run.approval->id();
        return true;
    case LineOpen::Unreachable:
        run.line_state = unreachable_state(run, why);
        return true;
    case LineOpen::Refused:
        break;
    }
    problem.message = {why + ": nothing flashed"};
    run.line.reset();
    return false;
}

bool setup_operator(RunSetup& run, const std::string& given_operator, const std::string& given_order,
                    Problem& problem) {
    std::string name;
    std::string order;
    if ((!given_operator.empty() && !clean_operator_name(given_operator, name)) ||
        (!given_order.empty() && !clean_operator_name(given_order, order))) {
        problem.message = {"--operator and --work-order take 1 to 255 characters, on one line"};
        return false;
    }
    const char* from_environment = environment_value("STBLOAD_OPERATOR");
    if (name.empty() && from_environment != nullptr && !clean_operator_name(from_environment, name)) {
        problem.message = {"STBLOAD_OPERATOR takes the operator's name (1 to 255 characters, on one line)"};
        return false;
    }
    if (name.empty() && run.under_job && run.job.operator_required) {
        problem.message = {"job " + run.job.path + " asks for the operator's name: give --operator NAME (or set "
                           "STBLOAD_OPERATOR); nothing flashed"};
        return false;
    }
    run.on_duty.set_operator(name);
    run.on_duty.set_work_order(!order.empty() ? order : run.under_job ? run.job.work_order : std::string());
    return true;
}

BoxRecord box_record(const RunSetup& run, const BoxResult& box, const std::string& station, const std::string& port,
                     const std::string& device, const std::string& adapter) {
    BoxRecord record;
    take_result(record, box);
    record.station = station;
    record.port = port;
    record.device = device;
    record.adapter = adapter;
    record.file = run.file;
    record.crc32 = run.crc32;
    record.sha256 = run.sha256;
    if (run.under_job) record.job = run.job.path;
    if (run.line) record.approval = run.line->approval_id();
    record.operator_name = run.on_duty.operator_name();
    record.work_order = run.on_duty.work_order();
    return record;
}

void finish_line(RunSetup& run, double grace_s, const char* waits, const char* goes) {
    if (!run.line) return;
    run.line->wake();
    run.line->stop(grace_s);
    if (run.line->status().waiting > 0) {
        console_note("%s; %s %s %s", run.line->status_line().c_str(), waits, run.line->outbox_path().c_str(), goes);
    }
}
