// CSV (RFC 4180) read as a stream, a row at a time: the results log as the
// station checks it and the report reads it, whatever its size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Whether a line starts a row: `size` bytes from the line's start, at most
// CsvReader::ROW_START_BYTES (fewer where the input ends first).
using RowStart = bool (*)(const char* line, std::size_t size);

enum class CsvRow {
    Row,  // the next row is in `fields`
    Bad,  // a row that cannot be read (a stray quote, no line end, too long): skipped
    End,  // nothing more
};

class CsvReader {
public:
    // The longest row taken; a longer one is Bad.
    static constexpr std::size_t ROW_MAX = std::size_t{64} * 1024;
    // What a RowStart is shown of a line.
    static constexpr std::size_t ROW_START_BYTES = 32;

    CsvReader() = default;
    ~CsvReader() { close(); }
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;

    // Opens `path`; false if it cannot be read.
    bool open(const std::string& path);
    // Reads from memory instead (tests, the fuzzer): `text` must outlive the reader.
    void open_text(const std::string& text);
    void close();

    // Reads on past a torn row: a quoted field that runs past a line end into
    // a line that `starts_row` (a quote a power cut left open) makes its row
    // bad there, and that line is read as the row of its own it is. By
    // default (nullptr) a quoted field runs on until its closing quote,
    // whatever lines it holds. Kept over open() and close().
    void resync_at(RowStart starts_row) { starts_row_ = starts_row; }

    // The next row. A row ends at CR LF or LF (a quoted field may hold both);
    // a last row without a line end is Bad (a torn write).
    CsvRow next(std::vector<std::string>& fields);
    // The line on which the last row (or bad row) began, from 1.
    std::uint64_t line() const { return row_line_; }
    // Why the last bad row was bad, in words.
    const char* why() const { return why_; }
    // Bytes read up to the end of the last row (or bad row) returned.
    std::uint64_t offset() const { return base_ + at_; }
    // The file could not be read to its end.
    bool failed() const { return failed_; }

private:
    bool fill();      // more bytes into the buffer; false at the end
    int peek();       // the next byte, or -1 at the end
    void skip_line(); // past the next line end
    std::size_t ahead(std::size_t most);  // up to `most` bytes from the next one on in the buffer, fewer at the end
    bool line_starts_row();  // the line from the next byte on starts a row (resync_at)
    // How a field's reading ended: whole, bad (why_ says why; the rest of its
    // text line is to be skipped), or torn inside by a row that starts anew.
    enum class FieldEnd { Whole, Bad, TornInside };
    FieldEnd quoted_field(std::string& field, std::size_t& bytes);  // after its opening quote
    FieldEnd plain_field(std::string& field, std::size_t& bytes);

    std::FILE* file_ = nullptr;
    const std::string* text_ = nullptr;
    std::vector<char> buffer_;
    std::size_t at_ = 0;
    std::size_t size_ = 0;
    std::uint64_t base_ = 0;  // bytes of the file before the buffer
    std::uint64_t line_ = 1;
    std::uint64_t row_line_ = 0;
    const char* why_ = "";
    RowStart starts_row_ = nullptr;
    bool failed_ = false;
};

// The same header as a CSV row's fields, "a,b,c": for comparing a file's
// first row with what a writer writes.
std::vector<std::string> csv_fields_of(const std::string& header_line);
