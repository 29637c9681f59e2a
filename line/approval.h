// Whether a job may run: under [line] with approval = "required", only a job
// whose file's bytes and image a supervisor approved for its pool, and did
// not revoke. Judged at the start from the database, or, while it is away,
// from the approvals this station saw before (kept beside its log); judged
// again while the station runs, so that a revocation stops new boxes.
//
// Mutex rules: `lock_` guards `standing_` and `revoked_`; the keeper's thread
// writes them, the ports' threads read them. Nothing is taken inside it.
#pragma once

#include <string>
#include <vector>

#include "console/thread_safety.h"
#include "db/line_pool.h"
#include "job/job.h"

enum class ApprovalVerdict {
    Approved,     // these bytes and this image, standing
    NotApproved,  // never approved for the pool
    Changed,      // the pool has approvals, none of these bytes and image
    Revoked,      // these bytes and image were approved, then revoked
};

struct ApprovalJudged {
    ApprovalVerdict verdict = ApprovalVerdict::NotApproved;
    Approval approval;  // the one that decides: the match, or the pool's newest
};

// The pool's approvals (the newest first) for these bytes and image.
ApprovalJudged judge_approval(const std::vector<Approval>& approvals, const std::string& job_sha256,
                              const std::string& image_sha256);

// Why the job may not run, as the operator reads it (empty when approved).
std::string approval_refusal(const ApprovalJudged& judged, const Job& job);

// "approved by supervisor1 on 2026-12-10T06:58:00.123Z (approval 7)".
std::string approval_words(const Approval& approval);

class ApprovalGuard {
public:
    // `memory`: the file of approvals seen, beside the station's log.
    ApprovalGuard(const Job& job, std::string image_sha256, std::string memory);

    // At the start, from the database. False, with `problem`, for a job that
    // may not run; an approval found is remembered in the file.
    bool judge(LinePool& pool, DbError& error, std::string& problem) EXCLUDES(lock_);
    // At the start with the database away: only an approval seen before.
    bool judge_from_memory(std::string& problem) EXCLUDES(lock_);
    // While running: the verdict again. A job no longer approved answers
    // no new box. Errors (the database away) change nothing.
    void look_again(LinePool& pool) EXCLUDES(lock_);

    // The approval the rows carry: its id, or empty.
    std::string id() const EXCLUDES(lock_);
    // "job revoked by supervisor1" once it no longer stands, else empty.
    std::string revoked() const EXCLUDES(lock_);

private:
    bool remembered(Approval& found) const;
    void remember(const Approval& approval) const;

    const Job& job_;
    std::string image_sha256_;
    std::string memory_;
    mutable Mutex lock_;
    Approval standing_ GUARDED_BY(lock_);
    std::string revoked_ GUARDED_BY(lock_);
};
