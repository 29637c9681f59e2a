// Fuzzes the results log's reader: any bytes as a CSV file.
//
// Checked on every input, beyond what the sanitizers catch:
//  - the rows are those of a reference reader written here from RFC 4180
//    (a quoted field may hold commas, quotes doubled and line ends; a row
//    ends at CR LF or LF; a stray quote, a lone CR or a missing last line
//    end makes the line bad), bad rows in the same places;
//  - line numbers only grow, and the reader always ends;
//  - every row read, written out again as the log writes its rows, reads
//    back as the same fields;
//  - read again with the report's re-sync on (a line that starts with a
//    box's started time starts a row), the rows are those of the reference
//    read the same way: a quoted field that runs past a line end into a line
//    that starts a row makes its row bad there, and that line is read as a
//    row; and every line that starts a row is where some row (or bad row)
//    begins, so no damage hides a row after it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "records/box_log.h"
#include "records/csv_reader.h"

namespace {

struct Expected {
    bool bad;
    std::vector<std::string> fields;
};

// The reference's own test of a line that starts a row: a box's started
// time and its comma, "2026-12-09T05:40:12.345Z,".
bool reference_starts_row(const std::string& text, std::size_t at) {
    const char* shape = "0000-00-00T00:00:00.000Z,";
    for (std::size_t i = 0; shape[i] != '\0'; ++i) {
        if (at + i >= text.size()) return false;
        const char c = text[at + i];
        if (shape[i] == '0' ? c < '0' || c > '9' : c != shape[i]) return false;
    }
    return true;
}

// The reference: one row from `at`, and where the next begins; with
// `resync`, a quoted field ends its row as bad at a line that starts a row.
Expected reference_row(const std::string& text, std::size_t& at, bool resync) {
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
                if (resync && c == '\n' && reference_starts_row(text, at)) return Expected{true, {}};
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

// Where each line starts, by its number from 1.
std::vector<std::size_t> line_starts(const std::string& text) {
    std::vector<std::size_t> starts{0, 0};
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') starts.push_back(i + 1);
    }
    return starts;
}

void read_against_the_reference(const std::string& text, bool resync) {
    const std::size_t size = text.size();
    CsvReader reader;
    if (resync) reader.resync_at(box_row_starts);
    reader.open_text(text);
    std::vector<std::string> fields;
    std::size_t at = 0;
    std::uint64_t last_line = 0;
    const std::vector<std::size_t> starts = line_starts(text);
    std::vector<bool> begun(starts.size(), false);  // a row (or bad row) began on the line
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
        FUZZ_CHECK(reader.line() < starts.size() && starts[reader.line()] == at, "row at line %llu, byte %zu",
                   static_cast<unsigned long long>(reader.line()), at);
        begun[reader.line()] = true;
        const Expected want = reference_row(text, at, resync);
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
    if (!resync) return;
    for (std::size_t line = 1; line < starts.size(); ++line) {
        FUZZ_CHECK(begun[line] || !reference_starts_row(text, starts[line]), "line %zu starts a row but was not read",
                   line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    read_against_the_reference(text, false);
    read_against_the_reference(text, true);
    return 0;
}
