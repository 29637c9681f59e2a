// The line view's figures: what GET /api/line gives, made from one reading
// of the line's database. Pure: the time is given, nothing is read here.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "db/line_database.h"
#include "job/job.h"

// A station that has written no row for this long while another has is quiet.
constexpr std::int64_t QUIET_AFTER_MS = std::int64_t{10} * 60 * 1000;

// The rows a refresh at `now_ms` (since 1970, UTC) reads: those of the last
// 24 hours, of today since 00:00 UTC, and of the last hour.
LineWindow line_window(std::int64_t now_ms);

// The document: every station of the reading, its hour and its day, its
// ports' last results, whether it is quiet; each field's values given and
// left of the job's ranges; and the weak ports, found as the report finds them.
nlohmann::json line_document(const Job& job, const LineReading& reading, std::int64_t now_ms);
