#include "app/approval_commands.h"

#include "console/console.h"
#include "console/exit_status.h"
#include "db/line_database.h"
#include "line/approval.h"
#include "line/keeper.h"
#include "records/log_columns.h"
#include "session/setup.h"

namespace {

int refuse(const std::string& message) {
    console_print("%s\r\n", message.c_str());
    return EXIT_FAILED;
}

}  // namespace

int run_job_approval(const std::string& job_path, bool revoke) {
    const char* act = revoke ? "--revoke" : "--approve";
    RunSetup run;
    Problem problem;
    if (!setup_job(job_path, run, problem) || !setup_image(run, std::string(), false, problem)) {
        console_show(problem);
        return EXIT_FAILED;
    }
    const Job& job = run.job;
    if (!job.line) return refuse(std::string(act) + " needs the job's [line]: approvals are kept in the line's database");
    std::string secret;
    LineDatabase database(line_connection(*job.line, secret), secret, job.line->pool, box_table_columns());
    const std::string where = "the line's database (" + without_password(job.line->database) + ")";
    DbError error;
    std::vector<Approval> approvals;
    if (!database.read_approvals(approvals, error)) return refuse("cannot use " + where + ": " + error.message);
    console_print("job %s, pool %s\r\n  job file SHA-256 %s\r\n  image SHA-256    %s\r\n", job.path.c_str(),
                  job.line->pool.c_str(), job.file_sha256.c_str(), run.sha256.c_str());
    const ApprovalJudged judged = judge_approval(approvals, job.file_sha256, run.sha256);
    if (revoke) {
        if (judged.verdict != ApprovalVerdict::Approved) {
            return refuse("nothing to revoke: " + approval_refusal(judged, job));
        }
        long long revoked = 0;
        if (!database.revoke(job.file_sha256, run.sha256, revoked, error)) {
            return refuse("cannot revoke: " + error.message);
        }
        console_print("revoked by %s: %s; stations running it answer no new box from now on\r\n",
                      database.user_name().c_str(), approval_words(judged.approval).c_str());
        return EXIT_DOWNLOAD_COMPLETED;
    }
    if (judged.verdict == ApprovalVerdict::Approved) {
        console_print("already %s\r\n", approval_words(judged.approval).c_str());
        return EXIT_DOWNLOAD_COMPLETED;
    }
    Approval made;
    if (!database.approve(job.file_sha256, run.sha256, made, error)) return refuse("cannot approve: " + error.message);
    console_print("%s\r\n", approval_words(made).c_str());
    return EXIT_DOWNLOAD_COMPLETED;
}
