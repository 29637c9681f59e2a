// The keeper of a station under the line's database, against a pool kept in
// memory: when it leases, how it sends the log's rows through an outage, a
// refusal and a restart. One round of its work at a time (keep()), so that
// nothing here waits on a clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "job/job.h"
#include "job/leased_journal.h"
#include "line/approval.h"
#include "line/keeper.h"
#include "line/outbox.h"
#include "records/box_log.h"
#include "records/log_columns.h"
#include "support/folder.h"
#include "support/memory_pool.h"

namespace {

Job line_job(const std::string& folder, std::uint64_t serial_last, std::uint64_t lease) {
    Job job;
    job.path = folder + "/line.toml";
    UniqueField serial;
    serial.name = "serial";
    serial.format = UniqueFormat::Decimal;
    serial.prefix = "SN";
    serial.width = 6;
    serial.first = 10;
    serial.last = serial_last;
    UniqueField id;
    id.name = "id";
    id.format = UniqueFormat::U32be;
    id.first = 7;
    id.last = 1000000;
    job.unique = {serial, id};
    job.line = LineSettings{"DSN=memory", "line-3", lease};
    return job;
}

BoxRecord box(const std::string& port, int n) {
    BoxRecord record;
    record.started = "2026-12-09T05:40:" + std::to_string(10 + n) + ".000Z";
    record.ended = "2026-12-09T05:41:" + std::to_string(10 + n) + ".000Z";
    record.station = "st1";
    record.port = port;
    record.file = "fw.hex";
    record.crc32 = "0x5E1F0C27";
    record.result = "completed";
    return record;
}

// A station's parts, as the station puts them together: its log, its journal and its keeper.
struct Station {
    Station(const std::string& folder, const Job& job, unsigned ports, std::shared_ptr<MemoryPoolState> state)
        : log_path(folder + "/log.csv") {
        std::string problem;
        EXPECT_EQ(log.open(log_path, problem), LogOpen::Opened) << problem;
        EXPECT_TRUE(journal.open(job, line_journal_path(log_path), problem)) << problem;
        keeper = std::make_unique<LineKeeper>(job, log_path, &journal, "st1", ports,
                                              std::make_unique<MemoryPool>(std::move(state)));
    }
    void take(int boxes) {
        std::vector<std::uint64_t> values;
        std::string why;
        for (int i = 0; i < boxes; ++i) ASSERT_EQ(journal.take("st1", "1", values, why), TakeResult::Taken) << why;
    }

    std::string log_path;
    BoxLog log;
    LeasedJournal journal;
    std::unique_ptr<LineKeeper> keeper;
};

}  // namespace

// A lease is taken while the values at hand are fewer than the ports plus a
// quarter of a lease, so that every port can start a box without waiting;
// never a third while two are held; and a range's last values come in a
// shorter lease before the pool says it is used up.
TEST(LineKeeper, LeasesEarlyEnoughAndNeverMoreThanTwo) {
    const struct {
        const char* name;
        unsigned ports;
        std::uint64_t lease;
        std::uint64_t serial_last;
        // Boxes started before each round, and after it the leases asked for,
        // the values at hand and the leases held.
        std::vector<std::vector<std::uint64_t>> rounds;
    } cases[] = {
        // 4 ports, leases of 10: the next one once 6 are left (4 * 6 < 4 * 4 + 10).
        {"four ports", 4, 10, 100000, {{0, 1, 10, 1}, {3, 1, 7, 1}, {1, 2, 16, 2}, {6, 2, 10, 1}, {5, 3, 15, 2}}},
        // Leases smaller than the ports: two at once, and no third however few are left.
        {"small leases", 8, 2, 100000, {{0, 2, 4, 2}, {1, 2, 3, 2}, {2, 3, 3, 2}}},
        // Serials 10-15 by 4: a lease of 2 for the last two, then the pool says so.
        {"range ends", 1, 4, 15, {{0, 1, 4, 1}, {3, 2, 3, 2}, {3, 3, 0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Folder folder;
        const Job job = line_job(folder.path(), c.serial_last, c.lease);
        auto state = std::make_shared<MemoryPoolState>();
        Station station(folder.path(), job, c.ports, state);
        std::string problem;
        for (std::size_t round = 0; round < c.rounds.size(); ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            station.take(static_cast<int>(c.rounds[round][0]));
            if (round == 0) {
                ASSERT_EQ(station.keeper->open(problem), LineOpen::Ready) << problem;
            } else {
                station.keeper->keep();
            }
            EXPECT_EQ(static_cast<std::uint64_t>(state->lease_calls), c.rounds[round][1]);
            EXPECT_EQ(station.journal.lease_left(), c.rounds[round][2]);
            EXPECT_EQ(station.journal.leases_held(), c.rounds[round][3]);
        }
    }
    // The last case's pool is used up: a take says so, and the keeper stops asking.
    const Folder folder;
    const Job job = line_job(folder.path(), 11, 4);
    auto state = std::make_shared<MemoryPoolState>();
    Station station(folder.path(), job, 1, state);
    std::string problem;
    ASSERT_EQ(station.keeper->open(problem), LineOpen::Ready) << problem;
    station.take(2);
    station.keeper->keep();
    EXPECT_EQ(station.journal.used_up(), "serial");
    std::vector<std::uint64_t> values;
    EXPECT_EQ(station.journal.take("st1", "1", values, problem), TakeResult::UsedUp);
}

// A database that is away: the station opens on its journal, and a box
// waits (no lease); the lease is taken once the database is back.
TEST(LineKeeper, AnUnreachableDatabaseLeavesTheBoxWaitingForALease) {
    const Folder folder;
    const Job job = line_job(folder.path(), 100000, 10);
    auto state = std::make_shared<MemoryPoolState>();
    state->away = true;
    Station station(folder.path(), job, 2, state);
    std::string problem;
    ASSERT_EQ(station.keeper->open(problem), LineOpen::Unreachable);
    EXPECT_NE(problem.find("the line's database (DSN=memory) is unreachable"), std::string::npos) << problem;
    EXPECT_FALSE(station.journal.may_give());
    EXPECT_EQ(station.keeper->numbers_wait_reason(), "database unreachable");
    station.keeper->keep();
    EXPECT_FALSE(station.journal.may_give());
    state->away = false;
    station.keeper->keep();
    EXPECT_TRUE(station.journal.may_give());
    EXPECT_EQ(station.journal.lease_left(), 10U);
}

// D3: every row reaches the database once, in the log's order, whatever
// the outage; a row the database refuses is tried three times and then
// left to the log alone, without holding up the rows behind it; a restart
// sends again what came after the mark, and the database keeps one of each.
TEST(LineKeeper, RowsReachTheDatabaseInOrderOnceEach) {
    const Folder folder;
    const Job job = line_job(folder.path(), 100000, 10);
    auto state = std::make_shared<MemoryPoolState>();
    std::string mark_at_start;
    {
        Station station(folder.path(), job, 2, state);
        std::string problem;
        ASSERT_EQ(station.keeper->open(problem), LineOpen::Ready) << problem;
        mark_at_start = folder.read("log.csv.outbox");
        state->away = true;
        for (int n = 0; n < 3; ++n) ASSERT_TRUE(station.log.write(box(std::to_string(n + 1), n)));
        for (int round = 0; round < 20; ++round) station.keeper->keep();
        EXPECT_TRUE(state->boxes.empty());
        EXPECT_EQ(station.keeper->status().waiting, 3U) << "an outage never gives a row up";
        EXPECT_EQ(station.keeper->status_line().rfind("database: 3 rows waiting (", 0), 0U)
            << station.keeper->status_line();
        state->away = false;
        station.keeper->keep();
        ASSERT_EQ(state->boxes.size(), 3U);
        for (int n = 0; n < 3; ++n) EXPECT_EQ(state->boxes[n][col::PORT], std::to_string(n + 1));
        EXPECT_EQ(station.keeper->status_line(), "database: every row sent");

        // Refused three times: the fourth row stays in the log alone; the fifth is sent all the same.
        state->refuse_rows = 3;
        ASSERT_TRUE(station.log.write(box("4", 4)));
        ASSERT_TRUE(station.log.write(box("5", 5)));
        station.keeper->keep();
        station.keeper->keep();
        EXPECT_EQ(state->boxes.size(), 3U) << "the fifth row waits behind the fourth while it is retried";
        EXPECT_EQ(station.keeper->status().waiting, 2U);
        station.keeper->keep();
        ASSERT_EQ(state->boxes.size(), 4U);
        EXPECT_EQ(state->boxes[3][col::PORT], "5");
        EXPECT_EQ(station.keeper->status().refused, 1U);
        EXPECT_NE(station.keeper->status_line().find("1 refused (the trace names them)"), std::string::npos);
    }
    // Killed before the mark moved: the outbox says only the header was sent.
    folder.file("log.csv.outbox", mark_at_start);
    state->refuse_rows = 0;
    {
        Station station(folder.path(), job, 2, state);
        ASSERT_TRUE(station.log.write(box("6", 6)));
        std::string problem;
        ASSERT_EQ(station.keeper->open(problem), LineOpen::Ready) << problem;
        station.keeper->keep();
        EXPECT_EQ(station.keeper->status_line(), "database: every row sent");
    }
    EXPECT_EQ(state->duplicates, 4) << "rows 1, 2, 3 and 5 were sent again";
    ASSERT_EQ(state->boxes.size(), 6U) << "the refused row got in this time, and the new one";
    EXPECT_EQ(state->boxes[4][col::PORT], "4");
    EXPECT_EQ(state->boxes[5][col::PORT], "6");
}

// The outbox is one station's: a second keeper on the same log is refused.
TEST(LineKeeper, TheOutboxIsOneStations) {
    const Folder folder;
    const Job job = line_job(folder.path(), 100000, 10);
    auto state = std::make_shared<MemoryPoolState>();
    Station first(folder.path(), job, 1, state);
    std::string problem;
    ASSERT_EQ(first.keeper->open(problem), LineOpen::Ready) << problem;
    LineKeeper second(job, first.log_path, nullptr, "st2", 1, std::make_unique<MemoryPool>(state));
    EXPECT_EQ(second.open(problem), LineOpen::Refused);
    EXPECT_NE(problem.find("is in use: another stbload runs"), std::string::npos) << problem;
}

// Which approval decides, for the pool's approvals (newest first) and one
// job's bytes and image.
TEST(Approvals, TheVerdictOfThePoolsApprovals) {
    const Approval a1{"1", "jobA", "img1", "anna", "t1", "", ""};
    const Approval a2_revoked{"2", "jobA", "img2", "anna", "t2", "ben", "t3"};
    const Approval a3{"3", "jobB", "img2", "ben", "t4", "", ""};
    const Approval a4_again{"4", "jobA", "img2", "anna", "t5", "", ""};
    const struct {
        std::vector<Approval> approvals;
        const char* job;
        const char* image;
        ApprovalVerdict verdict;
        const char* id;
    } cases[] = {
        {{}, "jobA", "img1", ApprovalVerdict::NotApproved, ""},
        {{a1}, "jobA", "img1", ApprovalVerdict::Approved, "1"},
        {{a1}, "jobA", "img2", ApprovalVerdict::Changed, "1"},  // the same job, another image
        {{a3, a1}, "jobC", "img1", ApprovalVerdict::Changed, "3"},  // the newest names when and by whom
        {{a2_revoked, a1}, "jobA", "img2", ApprovalVerdict::Revoked, "2"},
        {{a4_again, a2_revoked}, "jobA", "img2", ApprovalVerdict::Approved, "4"},  // approved again after a revocation
    };
    for (const auto& c : cases) {
        const ApprovalJudged judged = judge_approval(c.approvals, c.job, c.image);
        EXPECT_EQ(judged.verdict, c.verdict) << c.job << " " << c.image;
        EXPECT_EQ(judged.approval.id, c.id) << c.job << " " << c.image;
    }
}

// The keeper's open judges the approval; away, only one seen before; and a
// revocation seen later stops new boxes.
TEST(Approvals, TheKeeperJudgesAtTheOpenAndLooksAgain) {
    const Folder folder;
    Job job = line_job(folder.path(), 1000, 5);
    job.file_sha256 = "jobA";
    auto state = std::make_shared<MemoryPoolState>();
    {
        Station station(folder.path(), job, 1, state);
        ApprovalGuard guard(job, "img1", folder.path() + "/log.csv.approvals");
        station.keeper->guard_approval(&guard);
        std::string problem;
        EXPECT_EQ(station.keeper->open(problem), LineOpen::Refused);
        EXPECT_EQ(problem, "job " + job.path + " is not approved for the pool line-3: a supervisor approves it with "
                           "stbload --job " + job.path + " --approve");
    }
    state->approvals = {{"7", "jobA", "img1", "anna", "2026-12-10T06:00:00.000Z", "", ""}};
    {
        Station station(folder.path(), job, 1, state);
        ApprovalGuard guard(job, "img1", folder.path() + "/log.csv.approvals");
        station.keeper->guard_approval(&guard);
        std::string problem;
        EXPECT_EQ(station.keeper->open(problem), LineOpen::Ready) << problem;
        EXPECT_EQ(station.keeper->approval_id(), "7");
        EXPECT_EQ(station.keeper->revoked(), "");
        state->approvals[0].revoked_by = "ben";
        state->approvals[0].revoked = "2026-12-10T07:00:00.000Z";
        guard.look_again(*std::make_unique<MemoryPool>(state));
        EXPECT_EQ(station.keeper->revoked(), "job revoked by ben");
        EXPECT_EQ(station.keeper->approval_id(), "7") << "the rows of boxes in progress keep their approval";
    }
    // Away at the start: the approval seen before carries it, another job's bytes do not.
    state->away = true;
    state->approvals.clear();
    for (const char* sha : {"jobA", "jobB"}) {
        job.file_sha256 = sha;
        Station station(folder.path(), job, 1, state);
        ApprovalGuard guard(job, "img1", folder.path() + "/log.csv.approvals");
        station.keeper->guard_approval(&guard);
        std::string problem;
        const bool seen = std::string(sha) == "jobA";
        EXPECT_EQ(station.keeper->open(problem), seen ? LineOpen::Unreachable : LineOpen::Refused) << problem;
        EXPECT_EQ(station.keeper->approval_id(), seen ? "7" : "");
    }
}

TEST(Approvals, AUserInTheConnectionString) {
    const struct {
        const char* connection;
        const char* user;
        const char* expected;
    } cases[] = {
        {"DSN=stbline", "anna", "DSN=stbline;UID=anna"},
        {"Driver={PostgreSQL Unicode};Server=db1;Uid=station;Database=x", "anna",
         "Driver={PostgreSQL Unicode};Server=db1;Database=x;UID=anna"},
        {"DSN=stbline;User = station;Username=st", "a;b}c", "DSN=stbline;UID={a;b}}c}"},
    };
    for (const auto& c : cases) EXPECT_EQ(with_user(c.connection, c.user), c.expected) << c.connection;
}
