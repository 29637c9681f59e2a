// Fuzzes the results log's reader: any bytes as a CSV file.
//
// Checked on every input, beyond what the sanitizers catch:
//  - the rows are those of a reference reader written here from RFC 4180
//    (a quoted field may hold commas, quotes doubled and line ends; a row
//    ends at CR LF or LF; a stray quote, a lone CR or a missing last line
//    end makes the line bad), bad rows in the same places;
//  - line numbers only grow, and the reader always ends;
//  - every row read, written out again as the log writes its rows, reads
//    back as the same fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "session/csv_reader.h"

namespace {

struct Expected {
    bool bad;
    std::vector<std::string> fields;
};

// The reference: one row from `at`, and where the next begins.
Expected reference_row(const std::string& text, std::size_t& at) {
    Expected row{false, {}};
    std::string field;
    std::size_t bytes = 0;
    auto bad = [&] {
        const std::size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
        return Expected{true, {}};
    };
    for (;;) {
        field.clear();
        if (at < text.size() && text[at] == '"') {
            ++at;
            for (;;) {
                if (at >= text.size()) return bad();
                const char c = text[at++];
                if (c == '"') {
                    if (at < text.size() && text[at] == '"') {
                        ++at;
                    } else {
                        break;
                    }
                }
                field += c;
                if (++bytes > CsvReader::ROW_MAX) return bad();
            }
            if (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') return bad();
        } else {
            while (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') {
                if (text[at] == '"') return bad();
                field += text[at++];
                if (++bytes > CsvReader::ROW_MAX) return bad();
            }
        }
        row.fields.push_back(field);
        if (at >= text.size()) return Expected{true, {}};  // no line end: torn
        if (text[at] == ',') {
            ++at;
            continue;
        }
        if (text[at] == '\r') {
            ++at;
            if (at >= text.size() || text[at] != '\n') return bad();
        }
        ++at;
        return row;
    }
}

std::string written(const std::vector<std::string>& fields) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) row += ',';
        const std::string& f = fields[i];
        if (f.find_first_of(",\"\r\n") == std::string::npos) {
            row += f;
            continue;
        }
        row += '"';
        for (const char c : f) row += c == '"' ? std::string("\"\"") : std::string(1, c);
        row += '"';
    }
    return row + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CsvReader reader;
    reader.open_text(text);
    std::vector<std::string> fields;
    std::size_t at = 0;
    std::uint64_t last_line = 0;
    for (std::size_t rows = 0;; ++rows) {
        FUZZ_CHECK(rows <= size + 1, "more rows than bytes");
        const CsvRow got = reader.next(fields);
        if (at >= text.size()) {
            FUZZ_CHECK(got == CsvRow::End, "a row after the end");
            break;
        }
        FUZZ_CHECK(got != CsvRow::End, "the end before byte %zu of %zu", at, size);
        FUZZ_CHECK(reader.line() > last_line, "line %llu after %llu", static_cast<unsigned long long>(reader.line()),
                   static_cast<unsigned long long>(last_line));
        last_line = reader.line();
        const Expected want = reference_row(text, at);
        FUZZ_CHECK((got == CsvRow::Bad) == want.bad, "row at line %llu: bad %d, the reference says %d",
                   static_cast<unsigned long long>(reader.line()), got == CsvRow::Bad, want.bad);
        if (got != CsvRow::Row) continue;
        FUZZ_CHECK(fields == want.fields, "row at line %llu differs from the reference",
                   static_cast<unsigned long long>(reader.line()));
        const std::string again = written(fields);
        CsvReader back;
        back.open_text(again);
        std::vector<std::string> reread;
        FUZZ_CHECK(back.next(reread) == CsvRow::Row && reread == fields, "a row written out reads back otherwise");
    }
    return 0;
}
