#include "line/approval.h"

#include <fstream>
#include <utility>

#include "console/record_file.h"
#include "console/trace.h"

namespace {

constexpr char MEMORY_HEADER[] = "stbload approvals 1";

std::vector<std::string> tab_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (const char c : line) {
        if (c == '\t') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

bool plain(const std::string& text) {
    return !text.empty() && text.find_first_of("\t\r\n") == std::string::npos;
}

}  // namespace

ApprovalJudged judge_approval(const std::vector<Approval>& approvals, const std::string& job_sha256,
                              const std::string& image_sha256) {
    ApprovalJudged judged;
    const Approval* revoked = nullptr;
    for (const Approval& approval : approvals) {
        if (approval.job_sha256 != job_sha256 || approval.image_sha256 != image_sha256) continue;
        if (approval.revoked.empty()) return ApprovalJudged{ApprovalVerdict::Approved, approval};
        if (revoked == nullptr) revoked = &approval;
    }
    if (revoked != nullptr) return ApprovalJudged{ApprovalVerdict::Revoked, *revoked};
    if (!approvals.empty()) return ApprovalJudged{ApprovalVerdict::Changed, approvals.front()};
    return judged;
}

std::string approval_words(const Approval& approval) {
    return "approved by " + approval.approved_by + " on " + approval.approved + " (approval " + approval.id + ")";
}

std::string approval_refusal(const ApprovalJudged& judged, const Job& job) {
    const std::string pool = job.line ? job.line->pool : std::string();
    switch (judged.verdict) {
    case ApprovalVerdict::Approved: return std::string();
    case ApprovalVerdict::NotApproved:
        return "job " + job.path + " is not approved for the pool " + pool + ": a supervisor approves it with " +
               "stbload --job " + job.path + " --approve";
    case ApprovalVerdict::Changed:
        return "job " + job.path + " has changed since its pool's last approval (" + approval_words(judged.approval) +
               "): its file or its image is not the one approved";
    case ApprovalVerdict::Revoked:
        return "job " + job.path + " was revoked by " + judged.approval.revoked_by + " on " + judged.approval.revoked +
               " (" + approval_words(judged.approval) + ")";
    }
    return std::string();
}

ApprovalGuard::ApprovalGuard(const Job& job, std::string image_sha256, std::string memory)
    : job_(job), image_sha256_(std::move(image_sha256)), memory_(std::move(memory)) {}

bool ApprovalGuard::judge(LinePool& pool, DbError& error, std::string& problem) {
    std::vector<Approval> approvals;
    if (!pool.read_approvals(approvals, error)) return false;
    const ApprovalJudged judged = judge_approval(approvals, job_.file_sha256, image_sha256_);
    problem = approval_refusal(judged, job_);
    if (!problem.empty()) return false;
    trace("job: %s", approval_words(judged.approval).c_str());
    remember(judged.approval);
    const MutexLock hold(lock_);
    standing_ = judged.approval;
    return true;
}

bool ApprovalGuard::judge_from_memory(std::string& problem) {
    Approval found;
    if (!remembered(found)) {
        problem = "the line's database is away, and this station has never seen an approval of job " + job_.path +
                  " as it is now: it runs only an approval it has seen";
        return false;
    }
    trace("job: %s (seen before; the database is away)", approval_words(found).c_str());
    const MutexLock hold(lock_);
    standing_ = found;
    return true;
}

void ApprovalGuard::look_again(LinePool& pool) {
    std::vector<Approval> approvals;
    DbError error;
    if (!pool.read_approvals(approvals, error)) return;
    const ApprovalJudged judged = judge_approval(approvals, job_.file_sha256, image_sha256_);
    if (judged.verdict == ApprovalVerdict::Approved) remember(judged.approval);
    const MutexLock hold(lock_);
    if (!revoked_.empty()) return;  // once stopped, a station stays so until it is started again
    if (judged.verdict == ApprovalVerdict::Approved) {
        if (judged.approval.id != standing_.id) trace("job: %s", approval_words(judged.approval).c_str());
        standing_ = judged.approval;  // one seen while the database was away, now read from it
        return;
    }
    const std::string by = judged.verdict == ApprovalVerdict::Revoked ? judged.approval.revoked_by : "the line";
    revoked_ = "job revoked by " + by;
    trace("%s: %s; no new box is answered", revoked_.c_str(), approval_refusal(judged, job_).c_str());
}

std::string ApprovalGuard::id() const {
    const MutexLock hold(lock_);
    return standing_.id;
}

std::string ApprovalGuard::revoked() const {
    const MutexLock hold(lock_);
    return revoked_;
}

bool ApprovalGuard::remembered(Approval& found) const {
    std::ifstream in(memory_, std::ios::binary);
    std::string line;
    const std::string pool = job_.line ? job_.line->pool : std::string();
    while (std::getline(in, line)) {
        const std::vector<std::string> f = tab_fields(line);
        if (f.size() == 7 && f[0] == "approval" && f[2] == pool && f[3] == job_.file_sha256 && f[4] == image_sha256_) {
            found = Approval{f[1], f[3], f[4], f[6], f[5], "", ""};
            return true;
        }
    }
    return false;
}

void ApprovalGuard::remember(const Approval& approval) const {
    Approval seen;
    const std::string pool = job_.line ? job_.line->pool : std::string();
    if (remembered(seen) && seen.id == approval.id) return;
    if (!plain(pool) || !plain(approval.approved_by) || !plain(approval.id)) return;
    RecordFile file;
    if (!file.open(memory_.c_str())) {
        trace("approvals: cannot keep %s (error %d): the station runs on it only while the database answers",
              memory_.c_str(), file.error());
        return;
    }
    file.lock();
    std::string lines;
    if (file.size() == 0) lines = std::string(MEMORY_HEADER) + "\r\n";
    if (file.ends_torn()) lines = "\r\n";  // a line a power cut tore is left alone
    lines += "approval\t" + approval.id + "\t" + pool + "\t" + approval.job_sha256 + "\t" + approval.image_sha256 +
             "\t" + approval.approved + "\t" + approval.approved_by + "\r\n";
    if (!file.append_locked(lines.data(), lines.size())) trace("approvals: cannot append to %s", memory_.c_str());
    file.unlock();
}
