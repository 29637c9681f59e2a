// The report's tables, made once and shown as text or as a page.
#pragma once

#include <string>
#include <vector>

#include "report/report_data.h"

struct ReportTable {
    std::string id;  // the page's id for it: "stations", "operators", ...
    std::string title;
    std::vector<std::string> columns;
    std::vector<bool> numeric;  // right-aligned
    std::vector<std::vector<std::string>> rows;
};

// By station, by port, by day, by image, and where the logs name them by
// operator and by work order (each with the boxes completed,
// failed and interrupted, the yield, the median time and the boxes an hour),
// and the failures by reason, interrupted boxes among them.
std::vector<ReportTable> report_tables(const ReportData& data);

// "bench2 COM7: 12 of 40 boxes failed (30 %), the other ports 1.8 %: check its cable and adapter"
std::string weak_port_line(const WeakPort& port);

// "3 logs, 12,345 boxes (2 rows skipped), 2026-12-01 to 2026-12-09"
std::string report_summary(const ReportData& data, std::size_t logs);

// The tables as plain text, columns aligned, and the weak ports.
std::string report_text(const ReportData& data, std::size_t logs);
