// The report as one self-contained page: the same tables, and charts drawn
// as inline SVG (boxes completed per hour by station, the yield of each port
// with the weak ones marked, the boxes' times). No scripts, fonts or pictures
// from elsewhere: it opens without a network.
#pragma once

#include <string>

#include "report/report_data.h"

std::string report_html(const ReportData& data, std::size_t logs);

// The mark every page carries near its top: a page that has it may be
// written over by the next report, any other file may not.
constexpr char REPORT_PAGE_MARK[] = "<meta name=\"generator\" content=\"stbload --report\">";
// How much of a file's start is searched for the mark.
constexpr std::size_t REPORT_PAGE_MARK_WITHIN = 4096;

// Whether a file that starts with `start` (its first
// REPORT_PAGE_MARK_WITHIN bytes, or all of it) is a page of the report: an
// HTML document with the mark in its first bytes.
bool is_report_page(const std::string& start);
