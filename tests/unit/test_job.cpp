#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "image/image_fingerprint.h"
#include "image/image_window.h"
#include "link/update_exchange.h"
#include "db/odbc.h"
#include "records/box_log.h"
#include "records/log_columns.h"
#include "records/csv_reader.h"
#include "job/job.h"
#include "job/number_journal.h"
#include "job/local_journal.h"
#include "job/leased_journal.h"
#include "job/unique_value.h"
#include "support/folder.h"
#include "support/memory_port.h"

namespace {

UniqueField field(UniqueFormat format, const std::string& prefix = "", unsigned width = 0) {
    UniqueField f;
    f.name = "f";
    f.format = format;
    f.prefix = prefix;
    f.width = width;
    f.first = 0;
    f.last = 0xFFFFFFFFFFFFULL;
    return f;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

Job job_with_fields(const std::string& path) {
    Job job;
    job.path = path;
    UniqueField serial = field(UniqueFormat::Decimal, "SN", 4);
    serial.name = "serial";
    serial.first = 10;
    serial.last = 13;
    UniqueField id = field(UniqueFormat::U32be);
    id.name = "id";
    id.first = 7;
    id.last = 100;
    job.unique = {serial, id};
    return job;
}

}  // namespace

// Each format's text and bytes, and its text read back.
TEST(UniqueValue, TextAndBytesOfEachFormat) {
    const struct {
        UniqueField field;
        std::uint64_t value;
        const char* text;
        const char* bytes;
    } cases[] = {
        {field(UniqueFormat::Decimal, "STB", 9), 123, "STB000000123", "535442303030303030313233"},
        {field(UniqueFormat::Decimal, "", 3), 7, "007", "303037"},
        {field(UniqueFormat::Decimal, "S/N ", 1), 9, "S/N 9", "532f4e2039"},
        {field(UniqueFormat::Mac), 0x001A2B000007ULL, "00:1A:2B:00:00:07", "001a2b000007"},
        {field(UniqueFormat::Mac), 0xFFFFFFFFFFFFULL, "FF:FF:FF:FF:FF:FF", "ffffffffffff"},
        {field(UniqueFormat::U32le), 0x01020304, "16909060", "04030201"},
        {field(UniqueFormat::U32be), 0x01020304, "16909060", "01020304"},
        {field(UniqueFormat::U32le), 4294967295ULL, "4294967295", "ffffffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unique_text(c.field, c.value), c.text);
        EXPECT_EQ(hex(unique_bytes(c.field, c.value)), c.bytes) << c.text;
        EXPECT_EQ(unique_bytes(c.field, c.value).size(), c.field.size()) << c.text;
        std::uint64_t back = 0;
        EXPECT_TRUE(parse_unique_text(c.field, c.text, back)) << c.text;
        EXPECT_EQ(back, c.value) << c.text;
    }
    std::uint64_t value = 0;
    for (const char* wrong : {"STX000000123", "STB00000012", "STB0000001234", "STB00000012x", ""}) {
        EXPECT_FALSE(parse_unique_text(field(UniqueFormat::Decimal, "STB", 9), wrong, value)) << wrong;
    }
    for (const char* wrong : {"00:1A:2B:00:00", "00-1A-2B-00-00-07", "00:1A:2B:00:00:0G", "00:1A:2B:00:00:071"}) {
        EXPECT_FALSE(parse_mac(wrong, value)) << wrong;
    }
    EXPECT_FALSE(parse_unique_text(field(UniqueFormat::U32le), "4294967296", value));
}

// A box's bytes over the shared image: every packet as the image with them
// put in by hand, and the CRC-32 of what is sent.
TEST(ImageOverlay, PacketsCarryTheBoxsBytesAndNothingElseChanges) {
    std::vector<std::uint8_t> image(TRANSFER_LENGTH);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    const ImageWindow shared{image.data(), nullptr, 0};
    ImageOverlay overlay(shared);
    std::vector<std::uint8_t> want = image;
    const struct {
        std::uint32_t address;
        std::string bytes;
    } puts[] = {{0x4000, "first"}, {0x4FFC, "across a packet"}, {0x80000, "mid"}, {0xFFFF9, "the end"},
                {0x4002, "over"}};
    for (const auto& p : puts) {
        overlay.put(p.address, reinterpret_cast<const std::uint8_t*>(p.bytes.data()), p.bytes.size());
        std::copy(p.bytes.begin(), p.bytes.end(), want.begin() + (p.address - 0x4000));
    }
    const ImageWindow box = overlay.window();
    EXPECT_EQ(box.patched_count, 5U);  // 1 + 2 + 1 + 1 chunks, "over" in the first's
    EXPECT_EQ(window_crc32(box), crc32_of(want.data(), want.size()));
    EXPECT_EQ(window_crc32(shared), crc32_of(image.data(), image.size()));

    MemoryPort port;
    port.bytes("Erase done.\n").bytes("ok\n@");
    struct Quiet final : ExchangeObserver {
        void box_line(const char*, BoxLine) override {}
        void lines_dropped(unsigned long) override {}
        void answered(bool) override {}
        void transfer_started(std::uint32_t) override {}
        void transfer_progress(std::uint32_t) override {}
        void transfer_ended(std::uint32_t, bool) override {}
        void confirmation(const char*) override {}
        void flash_waiting(unsigned long) override {}
        void flash_turn(unsigned) override {}
        void finished(ExchangeResult) override {}
    } quiet;
    ASSERT_EQ(run_update_exchange(port, box, quiet), ExchangeResult::Completed);
    ASSERT_EQ(port.written.size(), STREAM_BYTES);
    for (std::uint32_t k = 0; k < PACKET_COUNT; ++k) {
        const std::string packet = port.written.substr(k * PACKET_SIZE + 4, PACKET_DATA_BYTES);
        ASSERT_EQ(packet, std::string(want.begin() + k * 16, want.begin() + k * 16 + 16)) << "packet " << k;
    }
}

// The journal: the next value after the highest ever given, a torn last line
// skipped, a damaged one refused, a used-up range, and two takers at once.
TEST(NumberJournal, GivesEachValueOnceWhateverTheFileHolds) {
    const Folder folder;
    const std::string header = "stbload numbers 1\r\n";
    const struct {
        const char* journal;  // nullptr: none
        bool usable;
        const char* next;     // "serial id" as text, or the problem
    } cases[] = {
        {nullptr, true, "SN0010 7"},
        {"", true, "SN0010 7"},
        {"stbload numbers 1\r\ntake t station=a port=1 serial=SN0011 id=50\r\n", true, "SN0012 51"},
        {"stbload numbers 1\r\ntake t station=a port=1 serial=SN0011 id=50\r\n"
         "take t station=b port=2 serial=SN0010 id=60\r\nend t port=2 serial=SN0010 result=completed\r\n",
         true, "SN0012 61"},
        {"stbload numbers 1\r\n# rebuilt by hand\r\n   \r\ntake t station=a port=1 serial=SN0012\r\n", true,
         "SN0013 7"},
        {"stbload numbers 1\r\ntake t station=a port=1 serial=SN0011 id=5\r\ntake t station=a port=1 serial=SN00",
         true, "SN0012 7"},
        {"stbload numbers 1\r\ntake t station=a port=1 serial=SN00 # torn\r\ntake t serial=SN0010 id=9\r\n", true,
         "SN0011 10"},
        {"stbload numbers 1\r\ngarbage\r\ntake t serial=SN0011\r\n", false, "line 2 is no journal line: garbage"},
        {"stbload numbers 1\r\ntake t station=a port=1 serial=XX0011 id=5\r\n", false,
         "line 2: serial=XX0011 is no value of the job's serial"},
        {"stbload numbers 1\r\ntake t station=a port=1 serial=SN0013 id=5 serial=SN0011\r\n", false,
         "line 2 names serial twice"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "job" + std::to_string(++n);
        const Job job = job_with_fields(folder.path() + "/" + name + ".toml");
        if (c.journal != nullptr) folder.file(name + ".numbers", c.journal);
        LocalJournal journal;
        std::string problem;
        std::vector<std::string> detail;
        ASSERT_EQ(journal.open(job, folder.path() + "/none.csv", problem, detail), c.usable) << c.next << problem;
        if (!c.usable) {
            EXPECT_NE(problem.find(c.next), std::string::npos) << problem;
            continue;
        }
        const std::vector<std::uint64_t> next = journal.next();
        EXPECT_EQ(unique_text(job.unique[0], next[0]) + " " + unique_text(job.unique[1], next[1]), c.next);
        std::vector<std::uint64_t> values;
        std::string why;
        ASSERT_EQ(journal.take("here", "COM 7", values, why), TakeResult::Taken) << why;
        EXPECT_EQ(values, next);
        EXPECT_EQ(folder.read(name + ".numbers").rfind(header, 0), 0U);
        // The line it wrote, with the port's blank escaped.
        EXPECT_NE(folder.read(name + ".numbers").find("station=here port=COM%207 serial=" +
                                                      unique_text(job.unique[0], next[0])),
                  std::string::npos);
    }

    // A range used up: the four serials of 10-13, then none, on every journal that shares the file.
    const Job job = job_with_fields(folder.path() + "/shared.toml");
    LocalJournal first;
    LocalJournal second;
    std::string problem;
    std::vector<std::string> detail;
    ASSERT_TRUE(first.open(job, "", problem, detail));
    ASSERT_TRUE(second.open(job, "", problem, detail));
    std::vector<std::uint64_t> got[2];
    std::thread takers[2];
    NumberJournal* journals[2] = {&first, &second};
    for (int t = 0; t < 2; ++t) {
        takers[t] = std::thread([&, t] {
            std::vector<std::uint64_t> values;
            std::string why;
            while (journals[t]->take("s", "p", values, why) == TakeResult::Taken) got[t].push_back(values[0]);
            EXPECT_EQ(why, "serial");
        });
    }
    for (std::thread& taker : takers) taker.join();
    std::vector<std::uint64_t> all = got[0];
    all.insert(all.end(), got[1].begin(), got[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<std::uint64_t>{10, 11, 12, 13}));
    EXPECT_EQ(first.used_up(), "serial");
    EXPECT_EQ(first.left(), (std::vector<std::uint64_t>{0, 90}));
}

// A lost journal beside a log that holds the job's numbers: refused, with
// the lines that rebuild it.
TEST(NumberJournal, ALostJournalIsRefusedWhenTheLogHoldsNumbers) {
    // This build's log, and one of the first builds of jobs (no approval, operator or order).
    for (const bool with_approval : {true, false}) {
        const Folder folder;
        const Job job = job_with_fields(folder.path() + "/line.toml");
        const std::string end = with_approval ? ",,,\r\n" : "\r\n";
        const std::string header =
            "started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,flash_write_s,"
            "bytes_sent,reason,job,box_id,unique,box_crc32,boot" +
            std::string(with_approval ? ",approval,operator,work_order" : "") +
            "\r\n";
        const std::string log = folder.file(
            "log.csv", header + "t1,,,COM3,,,,,,completed,,,,0,,jobs/line.toml,,serial=SN0012 id=40,," + end +
                           "t2,,,COM4,,,,,,lost connection,,,,0,,line.toml,,serial=SN0011 id=44,," + end +
                           "t3,,,COM5,,,,,,completed,,,,0,,other.toml,,serial=SN0013 id=99,," + end +
                           "t4,,,COM6,,,,,,completed,,,,0,,,,,," + end);
        std::vector<std::uint64_t> highest;
        EXPECT_EQ(last_values_in_log(job, log, highest), "serial=SN0012 id=44 (the highest serial on COM3 at t1)");
        LocalJournal journal;
        std::string problem;
        std::vector<std::string> detail;
        EXPECT_FALSE(journal.open(job, log, problem, detail));
        EXPECT_NE(problem.find("is missing"), std::string::npos) << problem;
        ASSERT_EQ(detail.size(), 4U);
        EXPECT_EQ(detail[2], "stbload numbers 1");
        EXPECT_EQ(detail[3].substr(detail[3].find(" station=")), " station=rebuilt port=- serial=SN0012 id=44");
        EXPECT_EQ(folder.read("line.numbers"), "") << "no journal made";
        // A log without this job's numbers: a new journal.
        EXPECT_TRUE(journal.open(job, folder.file("empty.csv", header), problem, detail));
    }
}

// A station's journal under the line's database: values only from the
// leases it recorded, in their order, and read back whole after a kill.
TEST(NumberJournal, LeasedValuesComeOnlyFromTheJournalsLeases) {
    const Folder folder;
    Job job = job_with_fields(folder.path() + "/line.toml");
    job.unique[0].last = 9999;
    const std::string path = folder.path() + "/log.csv.numbers";
    LeasedJournal journal;
    std::string problem;
    ASSERT_TRUE(journal.open(job, path, problem)) << problem;
    std::vector<std::uint64_t> values;
    std::string why;
    // Nothing leased: no box is answered, and a take says why: the box waits.
    EXPECT_FALSE(journal.may_give());
    EXPECT_EQ(journal.take("s", "1", values, why), TakeResult::NoneAtHand);
    EXPECT_NE(why.find("waits for a lease"), std::string::npos) << why;
    ASSERT_TRUE(journal.add_lease("s", {100, 50}, 2, why)) << why;
    ASSERT_TRUE(journal.add_lease("s", {300, 90}, 3, why)) << why;
    EXPECT_EQ(journal.leases_held(), 2U);
    EXPECT_TRUE(journal.may_give());
    EXPECT_EQ(journal.lease_left(), 5U);
    const std::vector<std::vector<std::uint64_t>> want = {{100, 50}, {101, 51}, {300, 90}, {301, 91}, {302, 92}};
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(journal.take("s", "1", values, why), TakeResult::Taken) << why;
        EXPECT_EQ(values, want[i]);
    }
    EXPECT_EQ(journal.leases_held(), 1U);
    // Read again after a kill: the same place in the same leases.
    LeasedJournal again;
    ASSERT_TRUE(again.open(job, path, problem)) << problem;
    EXPECT_EQ(again.lease_left(), 2U);
    EXPECT_EQ(again.next(), want[3]);
    ASSERT_EQ(again.take("s", "2", values, why), TakeResult::Taken);
    ASSERT_EQ(again.take("s", "2", values, why), TakeResult::Taken);
    EXPECT_EQ(values, want[4]);
    EXPECT_EQ(again.leases_held(), 0U);
    EXPECT_FALSE(again.may_give());
    EXPECT_EQ(again.used_up(), "") << "the pool may still have values";
    again.set_pool_used_up("serial");
    EXPECT_EQ(again.used_up(), "serial");
    EXPECT_TRUE(again.may_give()) << "a take now says the pool is used up";
    EXPECT_EQ(again.take("s", "2", values, why), TakeResult::UsedUp);
    EXPECT_NE(folder.read("log.csv.numbers").find("lease "), std::string::npos);
    // A lease line that lacks a field or its count is refused: the place in it would be unknown. So is
    // one that holds values past a field's range (ids run 7-100, serials to 9999), however large its count.
    for (const char* damaged : {"stbload numbers 1\r\nlease t station=s count=3 serial=SN0100\r\n",
                                "stbload numbers 1\r\nlease t station=s count=x serial=SN0100 id=5\r\n",
                                "stbload numbers 1\r\nlease t station=s count=3 serial=SN0100 id=5\r\n",
                                "stbload numbers 1\r\nlease t station=s count=3 serial=SN9998 id=50\r\n",
                                "stbload numbers 1\r\nlease t station=s count=18446744073709551615 serial=SN0100 "
                                "id=50\r\n"}) {
        folder.file("damaged.numbers", damaged);
        LeasedJournal refused;
        EXPECT_FALSE(refused.open(job, folder.path() + "/damaged.numbers", problem)) << damaged;
    }
    folder.file("edge.numbers", "stbload numbers 1\r\nlease t station=s count=2 serial=SN9998 id=99\r\n");
    LeasedJournal edge;
    ASSERT_TRUE(edge.open(job, folder.path() + "/edge.numbers", problem)) << problem;
    EXPECT_EQ(edge.lease_left(), 2U) << "a lease that ends on both ranges' last values";
    // Takes whose fields did not keep step (a journal put together by hand): past the highest of any.
    folder.file("apart.numbers", "stbload numbers 1\r\nlease t station=s count=5 serial=SN0100 id=50\r\n"
                                 "take t station=s port=1 serial=SN0100 id=52\r\n");
    LeasedJournal apart;
    ASSERT_TRUE(apart.open(job, folder.path() + "/apart.numbers", problem)) << problem;
    EXPECT_EQ(apart.next(), (std::vector<std::uint64_t>{103, 53}));
    EXPECT_EQ(apart.lease_left(), 2U);
}

// Jobs as people write them: the forms each value may take, and the paths.
TEST(JobFile, ValuesAndPaths) {
    const Folder folder;
    const std::string path = folder.file("line 3.job.toml", R"(
[image]
file = "images/fw.hex"
crc32 = 0x5E1F0C27
sha256 = "ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789"

[[unique]]
name = "key"
address = 0x5000
format = "u32be"
first = 0
last = 4294967295

[boot]
expect = "v2"

[station]
ports = "3,5"
log = "/var/log/line3.csv"
continuous = false
rearm_quiet_s = 1.5
)");
    Job job;
    std::vector<std::string> problems;
    ASSERT_TRUE(read_job(path, job, problems)) << (problems.empty() ? "" : problems[0]);
    EXPECT_EQ(job.crc32, 0x5E1F0C27U);
    EXPECT_EQ(*job.sha256, "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789");
    EXPECT_EQ(job_relative(job, job.image_file), folder.path() + "/images/fw.hex");
    EXPECT_EQ(job_relative(job, job.station_log), "/var/log/line3.csv");
    EXPECT_EQ(job.journal_path(), folder.path() + "/line 3.job.numbers");
    EXPECT_EQ(job.boot_within_s, 30);
    EXPECT_EQ(*job.rearm_quiet_s, 1.5);
    EXPECT_FALSE(*job.continuous);
    EXPECT_EQ(job.unique[0].size(), 4U);
    EXPECT_FALSE(job.line.has_value());
    // [line]: the pool defaults to the job file's name, the lease to 50.
    std::vector<std::string> none;
    Job with_line;
    ASSERT_TRUE(read_job_text("[image]\nfile = \"fw.hex\"\ncrc32 = 1\n[line]\ndatabase = \"DSN=stbline\"\n",
                              "jobs/line3.v2.toml", with_line, none))
        << none[0];
    ASSERT_TRUE(with_line.line.has_value());
    EXPECT_EQ(with_line.line->pool, "line3.v2");
    EXPECT_EQ(with_line.line->lease, 50U);
    EXPECT_EQ(with_line.line->database, "DSN=stbline");
    EXPECT_TRUE(with_line.line->approval_required);
    EXPECT_EQ(with_line.file_sha256.size(), 64U);
}

// RFC 4180 as the log writes it, and what a torn or foreign file holds.
TEST(CsvReader, RowsBadRowsAndLines) {
    const std::string text = "a,b,c\r\n"
                             "\"x,1\",\"say \"\"hi\"\"\",\"two\r\nlines\"\r\n"
                             ",,\n"
                             "bad\"quote,1\r\n"
                             "\"closed\"then,2\r\n"
                             "cr\ronly,3\r\n"
                             "last,4\r\n"
                             "torn,5";
    CsvReader reader;
    reader.open_text(text);
    std::vector<std::string> fields;
    const struct {
        CsvRow kind;
        std::uint64_t line;
        std::vector<std::string> fields;
    } want[] = {
        {CsvRow::Row, 1, {"a", "b", "c"}},
        {CsvRow::Row, 2, {"x,1", "say \"hi\"", "two\r\nlines"}},
        {CsvRow::Row, 4, {"", "", ""}},
        {CsvRow::Bad, 5, {}},
        {CsvRow::Bad, 6, {}},
        {CsvRow::Bad, 7, {}},
        {CsvRow::Row, 8, {"last", "4"}},
        {CsvRow::Bad, 9, {}},
        {CsvRow::End, 9, {}},
    };
    for (const auto& w : want) {
        const CsvRow got = reader.next(fields);
        EXPECT_EQ(got, w.kind) << "line " << w.line;
        EXPECT_EQ(reader.line(), w.line);
        if (got == CsvRow::Row) {
            EXPECT_EQ(fields, w.fields) << "line " << w.line;
        }
    }
    EXPECT_EQ(csv_fields_of("a,b,,c"), (std::vector<std::string>{"a", "b", "", "c"}));
}

// Reading on past a torn row: a quote a power cut left open ends its row at
// the next line that starts a row, and every good row after it is read.
TEST(CsvReader, ReadsOnAtTheNextLineThatStartsARow) {
    const RowStart starts = [](const char* line, std::size_t size) { return size >= 2 && line[0] == 'R' && line[1] == ','; };
    const std::string text = "h,1\r\n"
                             "R,\"torn\r\n"
                             "R,2\r\n"
                             "R,\"two\r\nlines\",3\r\n"
                             "R,\"x,\r\n"
                             "R,q\"q,4\r\n"
                             "R,\"\"\"\",5\n"
                             "R,\"open at the end\r\n";
    CsvReader reader;
    reader.resync_at(starts);
    reader.open_text(text);
    std::vector<std::string> fields;
    const struct {
        CsvRow kind;
        std::uint64_t line;
        std::vector<std::string> fields;
    } want[] = {
        {CsvRow::Row, 1, {"h", "1"}},
        {CsvRow::Bad, 2, {}},
        {CsvRow::Row, 3, {"R", "2"}},
        {CsvRow::Row, 4, {"R", "two\r\nlines", "3"}},  // a line that does not start a row stays in its field
        {CsvRow::Bad, 6, {}},
        {CsvRow::Bad, 7, {}},
        {CsvRow::Row, 8, {"R", "\"", "5"}},
        {CsvRow::Bad, 9, {}},
        {CsvRow::End, 10, {}},
    };
    for (const auto& w : want) {
        const CsvRow got = reader.next(fields);
        EXPECT_EQ(got, w.kind) << "line " << w.line;
        EXPECT_EQ(reader.line(), w.line);
        if (got == CsvRow::Row) {
            EXPECT_EQ(fields, w.fields) << "line " << w.line;
        }
    }
    // By default the open quote runs on: the rows after it are lost.
    CsvReader plain;
    plain.open_text(text);
    for (CsvRow got = plain.next(fields); got != CsvRow::End; got = plain.next(fields)) {
        EXPECT_NE(fields, (std::vector<std::string>{"R", "2"}));
    }

    // From a file, the line after the torn one starting wherever the reader's
    // blocks end: its first bytes are read across two of them.
    Folder folder;
    for (std::size_t lf = 64 * 1024 - 40; lf < 64 * 1024 + 4; ++lf) {
        const std::string row = "R," + std::string(lf - 3, 'x') + "\n";
        std::string file_text = "h\n" + row.substr(0, 2) + "\"" + row.substr(3) + "R,ok\r\n";
        CsvReader from_file;
        from_file.resync_at(starts);
        ASSERT_TRUE(from_file.open(folder.file("torn.csv", file_text)));
        EXPECT_EQ(from_file.next(fields), CsvRow::Row);
        EXPECT_EQ(from_file.next(fields), CsvRow::Bad) << lf;
        ASSERT_EQ(from_file.next(fields), CsvRow::Row) << lf;
        EXPECT_EQ(fields, (std::vector<std::string>{"R", "ok"}));
        EXPECT_EQ(from_file.line(), 3U);
        EXPECT_EQ(from_file.offset(), file_text.size());
        EXPECT_EQ(from_file.next(fields), CsvRow::End);
    }
}

// A log whose last row a power cut tore: the station's repair closes an open
// quote and ends the line, so that its next row reads back as a row of its own.
TEST(BoxLog, ATornLastRowIsEndedSoTheNextRowIsWhole) {
    const std::string start = "2026-12-09T05:40:12.345Z,2026-12-09T05:42:40.001Z,bench1,7";
    const std::string whole = start + ",,,fw.hex,0x5E1F0C27,,lost connection,1.0,,,4096,\"a, \"\"b\"\"\"\r\n";
    const struct {
        const char* what;
        std::string tail;  // after the header
        const char* repair;
    } cases[] = {
        {"no row yet", "", ""},
        {"whole rows", whole + whole, ""},
        {"torn outside a quote", whole + start, "\r\n"},
        {"torn inside a quote", whole + start + ",,,\"C:\\fw, new", "\"\r\n"},
        {"torn after a doubled quote", whole + start + ",,,\"say \"\"hi", "\"\r\n"},
        {"torn after a quoted field's end", whole + start + ",,,\"say \"\"hi\"\"\"", "\r\n"},
        {"torn after a line end inside a quote", whole + start + ",,,\"two\r\n", "\"\r\n"},
        {"torn after the line of a quote", whole + start + ",,,\"two\r\nlines", "\"\r\n"},
        {"torn between CR and LF", whole + start + ",,,\"a,b\"\r", "\n"},
        {"torn inside its time", whole + "2026-12-09T05:4", "\r\n"},
        {"a quoted field longer than a block", whole + start + ",\"" + std::string(70000, 'a'), "\"\r\n"},
        {"an earlier repair left the quote open", whole + start + ",\"the dev\r\n", "\"\r\n"},
    };
    Folder folder;
    BoxRecord record;
    record.started = "2026-12-09T06:00:00.000Z";
    record.ended = "2026-12-09T06:02:00.000Z";
    record.station = "bench1";
    record.result = "completed";
    record.boot = "STB firmware \"2\", ok";
    for (const auto& c : cases) {
        const std::string path = folder.file("log.csv", log_header() + c.tail);
        {
            BoxLog log;
            std::string error;
            ASSERT_EQ(log.open(path, error), LogOpen::Opened) << c.what << ": " << error;
            ASSERT_TRUE(log.write(record)) << c.what;
        }
        EXPECT_EQ(folder.read("log.csv"), log_header() + c.tail + c.repair + csv_row(record)) << c.what;
        CsvReader reader;
        ASSERT_TRUE(reader.open(path));
        std::vector<std::string> fields;
        std::vector<std::string> last;
        for (CsvRow got = reader.next(fields); got != CsvRow::End; got = reader.next(fields)) {
            if (got == CsvRow::Row) last = fields;
        }
        EXPECT_EQ(last.size(), LOG_COLUMN_COUNT) << c.what;
        EXPECT_EQ(last.size() == LOG_COLUMN_COUNT ? last[log_column("boot")] : "", record.boot) << c.what;
    }
}

// What the drivers say, as the operator can act on it (psqlODBC and SQL
// Server's own words), and connection strings shown without a password.
TEST(Odbc, FaultsAndShownConnections) {
    const struct {
        const char* state;
        const char* message;
        DbFault fault;
        const char* brief;
    } cases[] = {
        {"08001", "could not connect to server: Connection refused", DbFault::Unreachable, "connection refused"},
        {"08001", "FATAL:  password authentication failed for user \"station\"", DbFault::Login, "login refused"},
        {"28000", "[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Login failed for user 'st'.", DbFault::Login,
         "login refused"},
        {"08001", "FATAL:  database \"nowhere\" does not exist", DbFault::Login, "login refused"},
        {"01000", "[unixODBC][Driver Manager]Can't open lib 'No Such Driver' : file not found", DbFault::Driver,
         "driver missing"},
        {"IM002", "[unixODBC][Driver Manager]Data source name not found and no default driver specified",
         DbFault::Driver, "driver missing"},
        {"HYT00", "[Microsoft][ODBC Driver 18 for SQL Server]Login timeout expired", DbFault::Unreachable,
         "no answer"},
        {"57P01", "FATAL: terminating connection due to administrator command", DbFault::Unreachable,
         "connection lost"},
        {"08001", "could not translate host name \"dbhost\" to address", DbFault::Unreachable, "server name unknown"},
        {"42P01", "ERROR: relation \"stb_boxes\" does not exist", DbFault::Failed, "refused: ERROR: relation"},
    };
    for (const auto& c : cases) {
        const DbError error{classify_db_error(c.state, c.message), c.state, c.message};
        EXPECT_EQ(error.fault, c.fault) << c.message;
        EXPECT_EQ(brief_db_reason(error).rfind(c.brief, 0), 0U) << brief_db_reason(error);
    }
    const struct {
        const char* connection;
        const char* shown;
    } shown[] = {
        {"DSN=stbline", "DSN=stbline"},
        {"DSN=stbline;PWD=secret", "DSN=stbline"},
        {"Driver={PostgreSQL Unicode};Server=db;Pwd={a;b=c}};Uid=st", "Driver={PostgreSQL Unicode};Server=db;Uid=st"},
        {"Server=db; Password = x ;Database=line", "Server=db;Database=line"},
    };
    for (const auto& c : shown) EXPECT_EQ(without_password(c.connection), c.shown) << c.connection;
}
