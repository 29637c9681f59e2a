// The report as one self-contained page: the same tables, and charts drawn
// as inline SVG (boxes completed per hour by station, the yield of each port
// with the weak ones marked, the boxes' times). No scripts, fonts or pictures
// from elsewhere: it opens without a network.
#pragma once

#include <string>

#include "report/report_data.h"

std::string report_html(const ReportData& data, std::size_t logs);
