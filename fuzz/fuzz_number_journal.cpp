// Fuzzes the journal of a job's numbers: any bytes as a journal, opened as a
// job's own and as a station's leased one, then asked for values.
//
// Checked on every input, beyond what the sanitizers catch:
//  - a journal is either opened, or refused with a problem that names it;
//  - every value given lies within its field's range, reads back from its
//    text, and has bytes of the field's size;
//  - no value given was ever given before: it is above every value that a
//    whole take line of the input names (a line cut short by a power cut or
//    marked torn never reached a box), and above the ones given before it;
//  - a leased journal gives only values that one of its lease lines holds,
//    all fields at the same place in that lease;
//  - a journal opened again after the takes goes on after them.
// The model of the input below reads it on its own, a line at a time.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "image/hex_image.h"
#include "job/job.h"
#include "job/leased_journal.h"
#include "job/local_journal.h"
#include "job/number_journal.h"
#include "job/unique_value.h"

namespace {

constexpr char JOB[] = R"(
[image]
file = "fw.hex"
crc32 = "0x00000000"

[[unique]]
name = "serial"
address = 0xFF000
format = "decimal"
prefix = "SN"
width = 3
first = 5
last = 990

[[unique]]
name = "mac"
address = 0xFF010
format = "mac"
first = "00:1A:2B:00:00:00"
last = "00:1A:2B:FF:FF:FF"

[[unique]]
name = "key"
address = 0xFF020
format = "u32le"
first = 4294967000
last = 4294967295
)";

constexpr int TAKES = 3;

struct Lease {
    std::vector<std::uint64_t> first;
    std::uint64_t count;
};

// What the input says was given, and what it leased, read independently of
// the journal's own reader: whole lines only, torn ones skipped.
struct Model {
    std::vector<std::vector<std::uint64_t>> given;  // per field
    std::vector<Lease> leases;
};

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t stop = text.find(at); stop != std::string::npos; stop = text.find(at, start)) {
        parts.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

Model model_of(const Job& job, const std::string& text) {
    Model model;
    model.given.resize(job.unique.size());
    std::vector<std::string> lines = split(text, '\n');
    lines.pop_back();  // no line end: not yet a line
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 7 && line.compare(line.size() - 7, 7, " # torn") == 0) continue;
        std::vector<std::string> words;  // blanks part the words, however many
        for (const std::string& word : split(line, ' ')) {
            if (!word.empty()) words.push_back(word);
        }
        if (words.empty()) continue;
        const bool take = words[0] == "take";
        const bool lease = words[0] == "lease" && words.size() >= 4 && words[3].rfind("count=", 0) == 0;
        if (!take && !lease) continue;
        Lease held{std::vector<std::uint64_t>(job.unique.size(), UINT64_MAX), 0};
        if (lease) held.count = std::strtoull(words[3].c_str() + 6, nullptr, 10);
        for (std::size_t f = 0; f < job.unique.size(); ++f) {
            const std::string key = job.unique[f].name + "=";
            for (const std::string& word : words) {
                std::uint64_t value = 0;
                if (word.rfind(key, 0) != 0 || !parse_unique_text(job.unique[f], word.substr(key.size()), value)) {
                    continue;
                }
                if (take) model.given[f].push_back(value);
                held.first[f] = value;
            }
        }
        if (lease) model.leases.push_back(held);
    }
    return model;
}

void check_value(const UniqueField& field, std::uint64_t value) {
    FUZZ_CHECK(value >= field.first && value <= field.last, "%s %llu outside its range", field.name.c_str(),
               static_cast<unsigned long long>(value));
    std::uint64_t back = 0;
    FUZZ_CHECK(parse_unique_text(field, unique_text(field, value), back) && back == value, "%s %llu does not read back",
               field.name.c_str(), static_cast<unsigned long long>(value));
    FUZZ_CHECK(unique_bytes(field, value).size() == field.size(), "%s: bytes of the wrong size", field.name.c_str());
}

// Takes values from a journal opened on `path`, checking each against the
// model and the values taken before; returns the last values taken.
std::vector<std::uint64_t> take_and_check(const Job& job, NumberJournal& journal, bool leased, const Model& model,
                                          std::vector<std::vector<std::uint64_t>>& taken) {
    std::vector<std::uint64_t> last;
    for (int k = 0; k < TAKES; ++k) {
        std::vector<std::uint64_t> values;
        std::string why;
        const std::vector<std::uint64_t> promised = journal.next();
        const TakeResult result = journal.take("fuzz", "COM1", values, why);
        if (result != TakeResult::Taken) {
            FUZZ_CHECK(!why.empty(), "a take refused without a reason");
            break;
        }
        FUZZ_CHECK(values.size() == job.unique.size(), "%zu values for %zu fields", values.size(), job.unique.size());
        FUZZ_CHECK(values == promised, "a take gave other values than next() showed");
        for (std::size_t f = 0; f < values.size(); ++f) {
            check_value(job.unique[f], values[f]);
            for (const std::uint64_t before : model.given[f]) {
                FUZZ_CHECK(values[f] > before, "%s %llu given after %llu", job.unique[f].name.c_str(),
                           static_cast<unsigned long long>(values[f]), static_cast<unsigned long long>(before));
            }
            for (const std::uint64_t before : taken[f]) {
                FUZZ_CHECK(values[f] > before, "%s %llu given twice", job.unique[f].name.c_str(),
                           static_cast<unsigned long long>(values[f]));
            }
            taken[f].push_back(values[f]);
        }
        if (leased) {
            bool within = false;
            for (const Lease& lease : model.leases) {
                if (lease.first[0] > values[0] || values[0] - lease.first[0] >= lease.count) continue;
                bool together = true;
                for (std::size_t f = 0; f < values.size(); ++f) {
                    together = together && values[f] - lease.first[f] == values[0] - lease.first[0];
                }
                within = within || together;
            }
            FUZZ_CHECK(within, "serial %llu given from no lease line, or fields apart",
                       static_cast<unsigned long long>(values[0]));
        }
        last = values;
    }
    return last;
}

void run(const Job& job, const std::string& path, const std::string& text, bool leased) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr, "cannot write %s", path.c_str());
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);

    const Model model = model_of(job, text);
    LocalJournal local;
    LeasedJournal leased_journal;
    NumberJournal& journal = leased ? static_cast<NumberJournal&>(leased_journal) : local;
    std::string problem;
    std::vector<std::string> detail;
    const bool opened = leased ? leased_journal.open(job, path, problem) : local.open(job, "", problem, detail);
    if (!opened) {
        FUZZ_CHECK(problem.find(path) != std::string::npos, "a refusal that does not name the journal: %s",
                   problem.c_str());
        return;
    }
    std::vector<std::vector<std::uint64_t>> taken(job.unique.size());
    const std::vector<std::uint64_t> last = take_and_check(job, journal, leased, model, taken);
    if (last.empty()) return;
    // Opened again, as after a kill: it goes on after what it gave.
    LocalJournal local_again;
    LeasedJournal leased_again;
    NumberJournal& again = leased ? static_cast<NumberJournal&>(leased_again) : local_again;
    const bool reopened = leased ? leased_again.open(job, path, problem) : local_again.open(job, "", problem, detail);
    FUZZ_CHECK(reopened, "a journal it wrote itself is refused: %s", problem.c_str());
    const std::vector<std::uint64_t> next = again.next();
    const bool more = leased ? leased_again.lease_left() > 0 : again.used_up().empty();
    for (std::size_t f = 0; more && f < next.size(); ++f) {
        FUZZ_CHECK(next[f] > last[f], "after a restart %s %llu comes again", job.unique[f].name.c_str(),
                   static_cast<unsigned long long>(next[f]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One folder for the whole run, in memory where the system has one:
    // every take forces the journal to the disk.
    static const std::string folder = [] {
        char name[] = "/dev/shm/stbload-fuzz-journal-XXXXXX";
        char fallback[] = "/tmp/stbload-fuzz-journal-XXXXXX";
        const char* made = mkdtemp(name);
        if (made == nullptr) made = mkdtemp(fallback);
        FUZZ_CHECK(made != nullptr, "cannot make a folder for the journals");
        return std::string(made);
    }();
    static const Job job = [] {
        Job read;
        std::vector<std::string> problems;
        FUZZ_CHECK(read_job_text(JOB, folder + "/line.toml", read, problems), "the harness's job is refused");
        return read;
    }();
    const std::string text(reinterpret_cast<const char*>(data), size);
    run(job, job.journal_path(), text, false);
    run(job, folder + "/station.csv.numbers", text, true);
    return 0;
}
