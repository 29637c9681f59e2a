#include "records/log_columns.h"

namespace {

// A field as RFC 4180 has it: in double quotes, with its quotes doubled,
// when it holds a comma, a quote or a line end.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

std::vector<std::string> log_header_names(std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t c = 0; c < count && c < LOG_COLUMN_COUNT; ++c) names.emplace_back(LOG_COLUMNS[c].name);
    return names;
}

std::string log_header(std::size_t count) {
    std::string header;
    for (const std::string& name : log_header_names(count)) header += (header.empty() ? "" : ",") + name;
    return header + "\r\n";
}

std::vector<std::string> log_fields(const BoxRecord& record) {
    std::vector<std::string> fields;
    fields.reserve(LOG_COLUMN_COUNT);
    for (const LogColumn& column : LOG_COLUMNS) fields.push_back(column.value(record));
    return fields;
}

std::string csv_row(const BoxRecord& record) {
    std::string row;
    for (const LogColumn& column : LOG_COLUMNS) {
        if (&column != LOG_COLUMNS) row += ',';
        row += csv_field(column.value(record));
    }
    // An empty first field still makes a row of its own.
    return row + "\r\n";
}

std::vector<DbColumn> box_table_columns() {
    std::vector<DbColumn> columns;
    for (const LogColumn& column : LOG_COLUMNS) {
        DbType type = DbType::Text;
        switch (column.kind) {
        case ColumnKind::Time: type = DbType::Time; break;
        case ColumnKind::Text: type = DbType::Text; break;
        case ColumnKind::Seconds: type = DbType::Real; break;
        case ColumnKind::Count: type = DbType::Integer; break;
        }
        columns.push_back(DbColumn{column.name, type, column.longest, column.required});
    }
    return columns;
}
