#include "job/number_journal.h"

#include "job/unique_value.h"
#include "records/csv_reader.h"
#include "records/log_columns.h"

namespace {

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string last_values_in_log(const Job& job, const std::string& log_path, std::vector<std::uint64_t>& highest) {
    highest.assign(job.unique.size(), 0);
    std::vector<bool> seen(job.unique.size(), false);
    CsvReader log;
    if (job.unique.empty() || !log.open(log_path)) return std::string();
    // This build's header, or that of the first builds of jobs (before the approval column).
    std::vector<std::string> row;
    if (log.next(row) != CsvRow::Row ||
        (row != log_header_names() && row != log_header_names(LOG_COLUMNS_BEFORE_APPROVALS))) {
        return std::string();
    }
    const std::vector<std::string> header = row;
    const std::string name = base_name(job.path);
    std::string where;
    for (CsvRow got = log.next(row); got != CsvRow::End; got = log.next(row)) {
        if (got != CsvRow::Row || row.size() != header.size() || base_name(row[col::JOB]) != name) continue;
        for (const std::string& pair : words_of(row[col::UNIQUE])) {
            for (std::size_t f = 0; f < job.unique.size(); ++f) {
                const std::string key = job.unique[f].name + "=";
                std::uint64_t value = 0;
                if (pair.compare(0, key.size(), key) != 0 ||
                    !parse_unique_text(job.unique[f], pair.substr(key.size()), value)) {
                    continue;
                }
                if (!seen[f] || value > highest[f]) {
                    highest[f] = value;
                    if (f == 0) where = "the highest " + job.unique[0].name + " on " + row[col::PORT] + " at " + row[col::STARTED];
                }
                seen[f] = true;
            }
        }
    }
    bool any = false;
    for (const bool s : seen) any = any || s;
    if (!any) return std::string();
    return unique_pairs(job.unique, highest) + (where.empty() ? "" : " (" + where + ")");
}
