// The results log's columns, in one table: everything that knows them (the
// CSV header and row, the line's database's table and insert, the keeper's
// reading of the log, the journal's look into it, the report, the events)
// takes them from here. Adding a column is one entry and its tests.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "db/line_pool.h"
#include "records/box_record.h"

// What a column holds, for the database's type and for JSON.
enum class ColumnKind {
    Time,     // UTC, ISO 8601 with milliseconds
    Text,     // up to `longest` characters in the database
    Seconds,  // one decimal; empty for a phase the box did not reach
    Count,    // a whole number
};

struct LogColumn {
    const char* name;
    ColumnKind kind;
    unsigned longest;       // Text: the longest text the database keeps
    bool required;          // NOT NULL in the database: a row without it is no box
    unsigned screen_width;  // its width on the station's screen, where a row shows it; 0: not shown
    std::string (*value)(const BoxRecord& record);  // the column's text, as the log writes it
};

namespace column_text {

inline std::string seconds(double value) {
    if (value < 0) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace column_text

// In the log's order. The first fifteen are those of the logs written before jobs.
inline constexpr LogColumn LOG_COLUMNS[] = {
    {"started", ColumnKind::Time, 0, true, 0, [](const BoxRecord& r) { return r.started; }},
    {"ended", ColumnKind::Time, 0, true, 0, [](const BoxRecord& r) { return r.ended; }},
    {"station", ColumnKind::Text, 255, true, 0, [](const BoxRecord& r) { return r.station; }},
    {"port", ColumnKind::Text, 255, true, 10, [](const BoxRecord& r) { return r.port; }},
    {"device", ColumnKind::Text, 1024, false, 16, [](const BoxRecord& r) { return r.device; }},
    {"adapter", ColumnKind::Text, 255, false, 0, [](const BoxRecord& r) { return r.adapter; }},
    {"file", ColumnKind::Text, 1024, false, 0, [](const BoxRecord& r) { return r.file; }},
    {"crc32", ColumnKind::Text, 10, false, 0, [](const BoxRecord& r) { return r.crc32; }},
    {"sha256", ColumnKind::Text, 64, false, 0, [](const BoxRecord& r) { return r.sha256; }},
    {"result", ColumnKind::Text, 32, true, 0, [](const BoxRecord& r) { return r.result; }},
    {"erase_s", ColumnKind::Seconds, 0, false, 0, [](const BoxRecord& r) { return column_text::seconds(r.erase_s); }},
    {"transfer_s", ColumnKind::Seconds, 0, false, 0,
     [](const BoxRecord& r) { return column_text::seconds(r.transfer_s); }},
    {"flash_write_s", ColumnKind::Seconds, 0, false, 0,
     [](const BoxRecord& r) { return column_text::seconds(r.flash_write_s); }},
    {"bytes_sent", ColumnKind::Count, 0, false, 0, [](const BoxRecord& r) { return std::to_string(r.bytes_sent); }},
    {"reason", ColumnKind::Text, 1024, false, 0, [](const BoxRecord& r) { return r.reason; }},
    {"job", ColumnKind::Text, 1024, false, 0, [](const BoxRecord& r) { return r.job; }},
    {"box_id", ColumnKind::Text, 255, false, 0, [](const BoxRecord& r) { return r.box_id; }},
    {"unique", ColumnKind::Text, 1024, false, 0, [](const BoxRecord& r) { return r.unique; }},
    {"box_crc32", ColumnKind::Text, 10, false, 0, [](const BoxRecord& r) { return r.box_crc32; }},
    {"boot", ColumnKind::Text, 1024, false, 0, [](const BoxRecord& r) { return r.boot; }},
    {"approval", ColumnKind::Text, 32, false, 0, [](const BoxRecord& r) { return r.approval; }},
    {"operator", ColumnKind::Text, 255, false, 0, [](const BoxRecord& r) { return r.operator_name; }},
    {"work_order", ColumnKind::Text, 255, false, 0, [](const BoxRecord& r) { return r.work_order; }},
};

constexpr std::size_t LOG_COLUMN_COUNT = sizeof LOG_COLUMNS / sizeof LOG_COLUMNS[0];

// Where the column `name` stands; LOG_COLUMN_COUNT for a name that is none
// (which a static_assert below turns into a build error).
constexpr std::size_t log_column(const char* name) {
    for (std::size_t c = 0; c < LOG_COLUMN_COUNT; ++c) {
        const char* a = LOG_COLUMNS[c].name;
        const char* b = name;
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        if (*a == *b) return c;
    }
    return LOG_COLUMN_COUNT;
}

// The columns that code reads by place, checked at compile time.
namespace col {
constexpr std::size_t STARTED = log_column("started");
constexpr std::size_t ENDED = log_column("ended");
constexpr std::size_t STATION = log_column("station");
constexpr std::size_t PORT = log_column("port");
constexpr std::size_t DEVICE = log_column("device");
constexpr std::size_t CRC32 = log_column("crc32");
constexpr std::size_t RESULT = log_column("result");
constexpr std::size_t REASON = log_column("reason");
constexpr std::size_t JOB = log_column("job");
constexpr std::size_t UNIQUE = log_column("unique");
constexpr std::size_t OPERATOR = log_column("operator");
constexpr std::size_t WORK_ORDER = log_column("work_order");
}  // namespace col

static_assert(col::STARTED == 0, "a row starts with its started time, which marks where a row begins");
static_assert(col::ENDED < LOG_COLUMN_COUNT && col::STATION < LOG_COLUMN_COUNT && col::PORT < LOG_COLUMN_COUNT &&
                  col::DEVICE < LOG_COLUMN_COUNT && col::CRC32 < LOG_COLUMN_COUNT && col::RESULT < LOG_COLUMN_COUNT &&
                  col::REASON < LOG_COLUMN_COUNT && col::JOB < LOG_COLUMN_COUNT && col::UNIQUE < LOG_COLUMN_COUNT &&
                  col::OPERATOR < LOG_COLUMN_COUNT && col::WORK_ORDER < LOG_COLUMN_COUNT,
              "a column read by place is in the table");

// Logs written before jobs have the columns up to `reason`.
constexpr std::size_t LOG_COLUMNS_BEFORE_JOBS = col::REASON + 1;
static_assert(col::JOB == LOG_COLUMNS_BEFORE_JOBS, "the job's columns follow those of the logs before jobs");

// Logs of the first builds of jobs end with `boot`, before `approval`,
// `operator` and `work_order`.
constexpr std::size_t LOG_COLUMNS_BEFORE_APPROVALS = log_column("approval");
static_assert(LOG_COLUMNS_BEFORE_APPROVALS == LOG_COLUMNS_BEFORE_JOBS + 5, "the job's five columns, then approval");

// The header's names, the first `count` of them.
std::vector<std::string> log_header_names(std::size_t count = LOG_COLUMN_COUNT);

// The header line ("started,ended,...,boot\r\n"), of the first `count` columns.
std::string log_header(std::size_t count = LOG_COLUMN_COUNT);

// The row for `record` as RFC 4180 has it, its line end included.
std::string csv_row(const BoxRecord& record);

// Each column's text for `record`, in the log's order.
std::vector<std::string> log_fields(const BoxRecord& record);

// The columns of the line's database's table of boxes, generated from the table.
std::vector<DbColumn> box_table_columns();
