#include "app/job_check.h"

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/figures.h"
#include "console/writable.h"
#include "db/line_database.h"
#include "line/approval.h"
#include "records/log_columns.h"
#include "image/image_fingerprint.h"
#include "records/box_log.h"
#include "console/exit_status.h"
#include "session/setup.h"
#include "line/outbox.h"
#include "job/local_journal.h"
#include "job/leased_journal.h"
#include "line/keeper.h"
#include "session/station_plan.h"
#include "job/unique_value.h"

namespace {

std::string thousands(unsigned long long value) {
    char text[32];
    format_thousands(value, text, sizeof text);
    return text;
}

const char* format_name(UniqueFormat format) {
    switch (format) {
    case UniqueFormat::Decimal: return "decimal";
    case UniqueFormat::Mac: return "mac";
    case UniqueFormat::U32le: return "u32le";
    case UniqueFormat::U32be: return "u32be";
    }
    return "";
}

// What the check found, as text or as one JSON document; `problems`: why no
// box could be flashed, each thing that would fail.
int finish(bool json, nlohmann::json& document, const std::vector<std::string>& problems, const Problem& report) {
    document["ok"] = problems.empty();
    if (!problems.empty()) {
        document["problem"] = problems.front();
        document["problems"] = problems;
    }
    if (!report.notes.empty()) document["notes"] = report.notes;
    if (json) {
        const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        console_data(text.data(), text.size());
    }
    return problems.empty() ? EXIT_DOWNLOAD_COMPLETED : EXIT_FAILED;
}

// One field's next value and what is left of its range, on the console
// (`pool` before the next value under the line's database) and as JSON.
nlohmann::json show_field(const UniqueField& field, std::uint64_t next, std::uint64_t left, const char* pool) {
    console_print("  %s at 0x%05X: %s%s%s left of %s to %s\r\n", field.name.c_str(), field.address, pool,
                  left > 0 ? ("next " + unique_text(field, next) + ", ").c_str() : "", thousands(left).c_str(),
                  unique_text(field, field.first).c_str(), unique_text(field, field.last).c_str());
    return {{"name", field.name},
            {"address", field.address},
            {"format", format_name(field.format)},
            {"next", left > 0 ? nlohmann::json(unique_text(field, next)) : nullptr},
            {"left", left},
            {"first", unique_text(field, field.first)},
            {"last", unique_text(field, field.last)}};
}

// This station's lease: the journal beside its log, read and left as it is.
// Returns why no box could be flashed, or empty.
std::string check_station_lease(const Job& job, const std::string& log_path, const std::string& spent,
                                nlohmann::json& document) {
    LeasedJournal numbers;
    std::string problem;
    if (!numbers.open(job, line_journal_path(log_path), problem, true)) {
        console_print("%s\r\n", problem.c_str());
        return problem;
    }
    const std::uint64_t held = numbers.lease_left();
    nlohmann::json lease = {{"journal", numbers.path()}, {"left", held}};
    if (held > 0) {
        console_print("numbers: %s, kept in %s\r\n", numbers.left_text().c_str(), numbers.path().c_str());
        lease["next"] = unique_pairs(job.unique, numbers.next());
    } else {
        console_print("numbers: this station holds no lease (one is taken with the first box), kept in %s\r\n",
                      numbers.path().c_str());
    }
    document["line"]["station_lease"] = lease;
    if (!spent.empty() && held == 0) {
        problem = "the pool's " + spent + " is used up: no box can be flashed under this job";
        console_print("%s\r\n", problem.c_str());
    }
    return problem;
}

// Under the line's database: whether the job's bytes and image are
// approved, as a station judges them at its start. Returns why no box could
// be flashed, or empty.
std::string check_approval(const Job& job, const std::string& image_sha256, LineDatabase& pool,
                           nlohmann::json& document) {
    if (!job.line->approval_required) {
        console_print("approval: not asked (approval = \"none\")\r\n");
        document["line"]["approval"] = {{"required", false}};
        return std::string();
    }
    std::vector<Approval> approvals;
    DbError error;
    if (!pool.read_approvals(approvals, error)) {
        std::string problem = "cannot read the job's approval: " + error.message;
        console_print("%s\r\n", problem.c_str());
        document["line"]["approval"] = {{"required", true}, {"approved", false}, {"why", problem}};
        return problem;
    }
    const ApprovalJudged judged = judge_approval(approvals, job.file_sha256, image_sha256);
    std::string refusal = approval_refusal(judged, job);
    nlohmann::json approval = {{"required", true}, {"approved", refusal.empty()}, {"job_sha256", job.file_sha256}};
    if (refusal.empty()) {
        console_print("approval: %s\r\n", approval_words(judged.approval).c_str());
        approval.update({{"id", judged.approval.id}, {"by", judged.approval.approved_by},
                         {"when", judged.approval.approved}});
    } else {
        console_print("%s\r\n", refusal.c_str());
        approval["why"] = refusal;
    }
    document["line"]["approval"] = approval;
    return refusal;
}

// Under the line's database: the pool's next values and what is left of
// them, and this station's lease. Returns why no box could be flashed.
std::string check_line(const Job& job, const std::string& image_sha256, const std::string& log_path,
                       nlohmann::json& document) {
    const LineSettings& line = *job.line;
    const std::string database = without_password(line.database);
    console_print("database: %s, pool %s, leases of %s values\r\n", database.c_str(), line.pool.c_str(),
                  thousands(line.lease).c_str());
    document["line"] = {{"database", database}, {"pool", line.pool}, {"lease", line.lease}};
    std::string secret;
    LineDatabase pool(line_connection(line, secret), secret, line.pool, box_table_columns());
    std::vector<PoolField> fields;
    for (const UniqueField& field : job.unique) fields.push_back(PoolField{field.name, field.first, field.last});
    std::vector<std::uint64_t> next;
    DbError error;
    if (!pool.next_values(fields, next, error)) {
        std::string problem = "cannot use the line's database (" + database + "): " + error.message;
        console_print("%s\r\n", problem.c_str());
        document["line"]["reached"] = false;
        return problem;
    }
    document["line"]["reached"] = true;
    nlohmann::json pool_fields = nlohmann::json::array();
    std::string spent;
    for (std::size_t f = 0; f < job.unique.size(); ++f) {
        const UniqueField& field = job.unique[f];
        const std::uint64_t left = next[f] > field.last ? 0 : field.last - next[f] + 1;
        if (left == 0 && spent.empty()) spent = field.name;
        pool_fields.push_back(show_field(field, next[f], left, "pool "));
    }
    document["line"]["fields"] = pool_fields;
    std::string refusal = check_approval(job, image_sha256, pool, document);
    if (!refusal.empty()) return refusal;
    if (job.unique.empty()) return std::string();
    return check_station_lease(job, log_path, spent, document);
}

// A job's own journal: the next values and what is left. Returns why no box
// could be flashed, or empty.
std::string check_local_numbers(const Job& job, const LocalJournal& numbers, nlohmann::json& document) {
    console_print("numbers: kept in %s%s\r\n", numbers.path().c_str(),
                  numbers.missing() ? " (made with the first box)" : "");
    const std::vector<std::uint64_t> next = numbers.next();
    const std::vector<std::uint64_t> left = numbers.left();
    nlohmann::json fields = nlohmann::json::array();
    for (std::size_t f = 0; f < job.unique.size(); ++f) {
        const UniqueField& field = job.unique[f];
        fields.push_back(show_field(field, next[f], left[f], ""));
    }
    document["numbers"] = {{"journal", numbers.path()}, {"exists", !numbers.missing()}, {"fields", fields}};
    const std::string spent = numbers.used_up();
    if (!spent.empty()) {
        std::string problem = "the numbers of " + spent + " are used up: no box can be flashed under this job";
        console_print("%s\r\n", problem.c_str());
        return problem;
    }
    console_print("numbers: %s\r\n", numbers.left_text().c_str());
    return std::string();
}

// The job's [station] as the station reads it: its ports (none is no fault:
// the command line may give them), log, mode and a box's limits.
void check_station(const Job& job, nlohmann::json& document, std::vector<std::string>& problems) {
    StationPlan plan;
    std::string error;
    std::string refusal;
    // Without ports the command line gives them: no fault.
    if (!apply_job_station(job, plan, error) && !job.station_ports.empty()) {
        refusal = "the job's " + error;
    } else if (find_port_named_twice(plan.ports, error)) {
        refusal = "the job's station.ports: " + error;
    }
    nlohmann::json ports = nlohmann::json::array();
    std::string labels;
    for (const StationPort& port : plan.ports) {
        ports.push_back({{"port", port.given}, {"name", port.label}});
        labels += (labels.empty() ? "" : ", ") + port.label;
    }
    char limits[160];
    std::snprintf(limits, sizeof limits, "a box fails after %.0f s without taking data, or %.0f s of flash write",
                  plan.stall_s, plan.flash_write_max_s);
    console_print("station: %s%s%s; %s\r\n",
                  job.station_ports.empty() ? "ports from the command line" : ("ports " + job.station_ports).c_str(),
                  labels.empty() ? "" : (" (" + labels + ")").c_str(),
                  plan.continuous ? ", box after box" : ", one box a port", limits);
    if (!refusal.empty()) {
        console_print("cannot use %s\r\n", refusal.c_str());
        problems.push_back(refusal);
    }
    document["station"] = {{"ports_text", job.station_ports.empty() ? nlohmann::json(nullptr)
                                                                     : nlohmann::json(job.station_ports)},
                           {"ports", ports},
                           {"log", plan.log_path},
                           {"continuous", plan.continuous},
                           {"rearm_quiet_s", plan.rearm_quiet_s},
                           {"stall_s", plan.stall_s},
                           {"flash_write_max_s", plan.flash_write_max_s},
                           {"strict", plan.strict}};
}

// The files a station writes: the log (this tool's, and writable) and the
// journal (and under the line's database the outbox), where they will be.
void check_files(const Job& job, const std::string& log_path, std::vector<std::string>& problems) {
    std::string error;
    if (!log_header_usable(log_path, error)) {
        console_print("cannot use the log %s: %s\r\n", log_path.c_str(), error.c_str());
        problems.push_back("cannot use the log " + log_path + ": " + error);
    } else if (!can_write(log_path, error)) {
        console_print("cannot write the log %s: %s\r\n", log_path.c_str(), error.c_str());
        problems.push_back("cannot write the log " + log_path + ": " + error);
    } else {
        console_print("log: %s\r\n", log_path.c_str());
    }
    std::vector<std::pair<std::string, std::string>> files;  // what, where
    if (job.line) {
        if (!job.unique.empty()) files.emplace_back("the journal", line_journal_path(log_path));
        files.emplace_back("the outbox", line_outbox_path(log_path));
    } else if (!job.unique.empty()) {
        files.emplace_back("the journal", job.journal_path());
    }
    for (const auto& [what, path] : files) {
        if (can_write(path, error)) continue;
        std::string problem = "cannot write " + what;
        problem.append(" ").append(path).append(": ").append(error);
        if (!job.line && what == "the journal") {
            problem += " (a job on a read-only share names a writable one in [numbers] journal)";
        }
        console_print("%s\r\n", problem.c_str());
        problems.push_back(problem);
    }
}


// The job read and its image loaded as a station would; the image's figures shown.
bool check_image(const std::string& job_path, bool strict, RunSetup& run, nlohmann::json& document,
                 Problem& report) {
    if (!setup_job(job_path, run, report)) {
        console_show(report);
        return false;
    }
    const Job& job = run.job;
    console_print("job %s\r\n", job.path.c_str());
    const bool locked = setup_image(run, std::string(), strict, report);
    console_show(report);
    document["image"] = {{"file", run.file}, {"crc32_expected", crc32_text(job.crc32)},
                         {"sha256_expected", job.sha256 ? nlohmann::json(*job.sha256) : nlohmann::json(nullptr)},
                         {"matches", locked}};
    if (!locked) return false;
    document["image"].update(
        {{"crc32", run.crc32}, {"sha256", run.sha256}, {"bytes_placed", run.loaded.report.bytes_placed}});
    console_print("image: %s, %s data bytes placed, from 0x%X to 0x%X\r\n"
                  "CRC-32 %s, as the job expects\r\n"
                  "SHA-256 %s%s\r\n",
                  run.file.c_str(), thousands(run.loaded.report.bytes_placed).c_str(),
                  run.loaded.report.lowest_address, run.loaded.report.highest_address, run.crc32.c_str(),
                  run.sha256.c_str(), job.sha256 ? ", as the job expects" : " (the job gives none to compare)");
    return true;
}

}  // namespace

int run_job_check(const std::string& job_path, bool json, bool strict) {
    nlohmann::json document = {{"job", job_path}};
    RunSetup run;
    Problem report;
    if (!check_image(job_path, strict, run, document, report)) {
        return finish(json, document, {report.message_text()}, report);
    }
    const Job& job = run.job;
    const std::string log_path = job.log_path();
    std::vector<std::string> problems;
    auto problem_from = [&problems](const std::string& problem) {
        if (!problem.empty()) problems.push_back(problem);
    };
    if (job.line) {
        problem_from(check_line(job, run.sha256, log_path, document));
    } else if (!job.unique.empty()) {
        LocalJournal numbers;
        Problem refusal;
        std::string why;
        if (!numbers.open(job, log_path, why, refusal.notes, true)) {
            refusal.message = {why};
            console_show(refusal);
            report.notes.insert(report.notes.end(), refusal.notes.begin(), refusal.notes.end());
            return finish(json, document, {why}, report);
        }
        problem_from(check_local_numbers(job, numbers, document));
    }
    document["identity"] = job.identity_pattern ? nlohmann::json(*job.identity_pattern) : nlohmann::json(nullptr);
    document["boot"] = job.boot_expect ? nlohmann::json{{"expect", *job.boot_expect}, {"within_s", job.boot_within_s}}
                                       : nlohmann::json(nullptr);
    document["log"] = log_path;
    if (job.identity_pattern) console_print("identity: the first line that matches %s\r\n", job.identity_pattern->c_str());
    if (job.boot_expect) console_print("boot: \"%s\" within %.0f s\r\n", job.boot_expect->c_str(), job.boot_within_s);
    check_station(job, document, problems);
    check_files(job, log_path, problems);
    if (problems.empty()) console_print("a box can be flashed under this job\r\n");
    return finish(json, document, problems, report);
}
