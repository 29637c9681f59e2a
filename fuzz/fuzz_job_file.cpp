// Fuzzes the job reader: any bytes as a job file, parsed by toml++ and
// checked key by key.
//
// Checked on every input, beyond what the sanitizers catch:
//  - a job is either accepted with no problem, or refused with at least one,
//    each "KEY: what" with a key before the colon;
//  - an accepted job keeps every promise the station relies on: its image
//    names a file; each field's bytes lie within 0x4000-0xFFFFF and overlap
//    no other's; first <= last; both ends have a text that reads back as the
//    same value and bytes of the field's size; its pattern compiles; its
//    boot text is not empty and within one line; the journal sits beside it,
//    or where [numbers] journal names it (from the job's folder when relative);
//    a station's limits lie from 1 s to a day.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "fuzz_check.h"
#include "image/hex_image.h"
#include "job/job.h"
#include "job/unique_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Job job;
    std::vector<std::string> problems;
    const bool accepted = read_job_text(text, "jobs/fuzz.toml", job, problems);
    FUZZ_CHECK(accepted == problems.empty(), "accepted %d with %zu problems", accepted, problems.size());
    for (const std::string& problem : problems) {
        FUZZ_CHECK(problem.find(": ") != std::string::npos && problem.find(": ") > 0, "a problem without its key: %s",
                   problem.c_str());
    }
    if (!accepted) return 0;
    FUZZ_CHECK(!job.image_file.empty(), "accepted without an image file");
    // A journal's path as given is absolute with a leading slash or a drive ("C:\\", "C:/").
    const std::string& named = job.numbers_journal;
    const bool absolute = !named.empty() && (named[0] == '/' || named[0] == '\\' ||
                                             (named.size() > 2 && named[1] == ':' && (named[2] == '/' || named[2] == '\\')));
    const std::string journal = named.empty() ? "jobs/fuzz.numbers" : absolute ? named : "jobs/" + named;
    FUZZ_CHECK(job.journal_path() == journal, "journal %s", job.journal_path().c_str());
    for (const std::optional<double>& limit : {job.stall_s, job.flash_write_max_s}) {
        FUZZ_CHECK(!limit || (*limit >= 1 && *limit <= 86400), "a station's limit of %g s", limit.value_or(0));
    }
    for (std::size_t i = 0; i < job.unique.size(); ++i) {
        const UniqueField& field = job.unique[i];
        FUZZ_CHECK(field.address >= IMAGE_BASE && field.address + field.size() <= IMAGE_BASE + TRANSFER_LENGTH,
                   "field %s at %#x, %zu bytes, outside the window", field.name.c_str(), field.address, field.size());
        FUZZ_CHECK(field.first <= field.last, "field %s: first after last", field.name.c_str());
        for (const std::uint64_t end : {field.first, field.last}) {
            std::uint64_t back = 0;
            FUZZ_CHECK(parse_unique_text(field, unique_text(field, end), back) && back == end,
                       "field %s: %s does not read back", field.name.c_str(), unique_text(field, end).c_str());
            FUZZ_CHECK(unique_bytes(field, end).size() == field.size(), "field %s: bytes of the wrong size",
                       field.name.c_str());
        }
        for (std::size_t k = 0; k < i; ++k) {
            const UniqueField& other = job.unique[k];
            FUZZ_CHECK(field.address + field.size() <= other.address || other.address + other.size() <= field.address,
                       "fields %s and %s overlap", field.name.c_str(), other.name.c_str());
            FUZZ_CHECK(field.name != other.name, "two fields named %s", field.name.c_str());
        }
    }
    if (job.identity_pattern) {
        try {
            const std::regex compiled(*job.identity_pattern, std::regex::ECMAScript);
        } catch (const std::regex_error&) {
            FUZZ_CHECK(false, "an accepted pattern does not compile: %s", job.identity_pattern->c_str());
        }
    }
    if (job.boot_expect) {
        FUZZ_CHECK(!job.boot_expect->empty() && job.boot_expect->find_first_of("\r\n") == std::string::npos,
                   "a boot text that no line can hold");
    }
    return 0;
}
