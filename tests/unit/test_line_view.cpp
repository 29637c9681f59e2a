#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/line_database.h"
#include "report/line_figures.h"
#include "report/report_data.h"

namespace {

std::int64_t ms_of(const std::string& time) {
    std::int64_t ms = 0;
    EXPECT_TRUE(parse_utc_ms(time, ms)) << time;
    return ms;
}

PortFigures port_at(const std::string& station, const std::string& port, const std::string& ended) {
    PortFigures figures;
    figures.station = station;
    figures.port = port;
    figures.last_ended = ended;
    figures.last_result = "completed";
    figures.boxes = figures.completed = 1;
    return figures;
}

}  // namespace

TEST(LineView, ServersTimesReadAsTheLogWritesThem) {
    const struct {
        const char* sql;
        const char* log;
    } cases[] = {
        {"2026-12-09 05:40:12.345", "2026-12-09T05:40:12.345Z"},
        {"2026-12-09 05:40:12.34", "2026-12-09T05:40:12.340Z"},  // PostgreSQL drops the zeros
        {"2026-12-09 05:40:12", "2026-12-09T05:40:12.000Z"},
        {"2026-12-09 05:40:12.345678", "2026-12-09T05:40:12.345Z"},
        {"2026-12-09T05:40:12.5", "2026-12-09T05:40:12.500Z"},
        {"2026-12-09 05:40", ""},
        {"2026-12-09 05:40:12,5", ""},
        {"2026-12-09 05:4x:12.5", ""},
        {"2026-12-09 05:40:12.5x", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(log_time_of(c.sql), c.log) << c.sql;
    EXPECT_EQ(sql_time_of("2026-12-09T05:40:12.345Z"), "2026-12-09 05:40:12.345");
}

TEST(LineView, TheWindowIsTheLastDayTodayAndTheLastHour) {
    const LineWindow window = line_window(ms_of("2026-12-10T00:30:00.250Z"));
    EXPECT_EQ(window.day, "2026-12-09T00:30:00.250Z");
    EXPECT_EQ(window.today, "2026-12-10T00:00:00.000Z");
    EXPECT_EQ(window.hour, "2026-12-09T23:30:00.250Z");
}

TEST(LineView, AStationIsQuietOnlyBesideOneThatIsNot) {
    const std::int64_t now = ms_of("2026-12-10T12:00:00.000Z");
    const struct {
        std::vector<const char*> last;  // each station's last row
        std::vector<int> quiet_min;     // -1: not quiet
    } cases[] = {
        {{"2026-12-10T11:59:00.000Z", "2026-12-10T11:48:00.000Z"}, {-1, 12}},
        {{"2026-12-10T11:59:00.000Z", "2026-12-10T11:50:00.001Z"}, {-1, -1}},  // 9:59.999 silent
        {{"2026-12-10T11:59:00.000Z", "2026-12-10T11:50:00.000Z"}, {-1, 10}},
        {{"2026-12-10T11:00:00.000Z", "2026-12-10T10:00:00.000Z"}, {-1, -1}},  // the whole line at rest
        {{"2026-12-10T11:58:00.000Z", "2026-12-10T09:00:00.000Z", "2026-12-10T11:30:00.000Z"}, {-1, 180, 30}},
    };
    for (const auto& c : cases) {
        LineReading reading;
        for (std::size_t s = 0; s < c.last.size(); ++s) {
            reading.ports.push_back(port_at("bench" + std::to_string(s + 1), "COM1", c.last[s]));
        }
        const nlohmann::json document = line_document(Job(), reading, now);
        ASSERT_EQ(document["stations"].size(), c.last.size());
        for (std::size_t s = 0; s < c.last.size(); ++s) {
            const nlohmann::json& quiet = document["stations"][s]["quiet_min"];
            if (c.quiet_min[s] < 0) {
                EXPECT_TRUE(quiet.is_null()) << c.last[s];
            } else {
                EXPECT_EQ(quiet, c.quiet_min[s]) << c.last[s];
            }
        }
    }
}

TEST(LineView, EachFieldsValuesGivenAndLeft) {
    Job job;
    UniqueField serial;
    serial.name = "serial";
    serial.prefix = "STB";
    serial.width = 3;
    serial.first = 10;
    serial.last = 19;
    job.unique.push_back(serial);
    const struct {
        bool stored;
        std::uint64_t next;
        std::uint64_t given, left;
        const char* shown;  // nullptr: used up
    } cases[] = {
        {false, 0, 0, 10, "STB010"}, {true, 3, 0, 10, "STB010"},   // no row yet, or one below the job's first
        {true, 14, 4, 6, "STB014"},  {true, 19, 9, 1, "STB019"},
        {true, 20, 10, 0, nullptr},  {true, 90, 10, 0, nullptr},   // a range moved past the job's last
    };
    for (const auto& c : cases) {
        LineReading reading;
        if (c.stored) reading.next.emplace_back("serial", c.next);
        reading.next.emplace_back("mac", 5);  // another job's field is not shown
        const nlohmann::json pool = line_document(job, reading, 0)["pool"];
        ASSERT_EQ(pool.size(), 1U);
        EXPECT_EQ(pool["serial"]["given"], c.given) << c.next;
        EXPECT_EQ(pool["serial"]["left"], c.left) << c.next;
        if (c.shown == nullptr) {
            EXPECT_TRUE(pool["serial"]["next"].is_null()) << c.next;
        } else {
            EXPECT_EQ(pool["serial"]["next"], c.shown) << c.next;
        }
    }
}
