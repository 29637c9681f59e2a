#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "console/figures.h"
#include "link/transfer_progress.h"
#include "records/box_log.h"
#include "records/log_columns.h"
#include "session/box_result.h"
#include "station/station_api.h"
#include "station/station_events.h"
#include "station/station_feed.h"
#include "station/station_screen.h"
#include "station/station_stats.h"
#include "station/station_options.h"
#include "station/station_status.h"
#include "web/web_guard.h"
#include "app/command_line.h"

// PORTS as a line supervisor writes it.
TEST(StationPorts, EntriesAndRanges) {
    const struct {
        const char* ports;
        std::vector<std::string> labels;  // empty: refused
    } cases[] = {
        {"3", {"COM3"}},
        {"3,5,7-9", {"COM3", "COM5", "COM7", "COM8", "COM9"}},
        {"COM3,/dev/ttyUSB0,usb:A1-2,usb@1-1.3", {"COM3", "/dev/ttyUSB0", "usb:A1-2", "usb@1-1.3"}},
        {"9-9", {"COM9"}},
        {"9-7", {}},
        {"3,,4", {}},
        {"", {}},
        {"3,", {}},
        {"1-33", {}},
        {"COM10,com12,\\\\.\\COM11", {"COM10", "COM12", "COM11"}},
        // Entries that name no port, refused rather than taken as COM0 or some other number.
        {"COM7-9", {}},
        {" 5", {}},
        {"ttyUSB0", {}},
        {"7-", {}},
        {"0", {}},
        {"0-3", {}},
        {"COM0", {}},
        {"usb:", {}},
        {"usb@", {}},
        {"99999999999", {}},
    };
    std::vector<std::string> all_32;
    for (int n = 1; n <= 32; ++n) all_32.push_back("COM" + std::to_string(n));
    std::vector<StationPort> ports;
    std::string error;
    EXPECT_TRUE(parse_station_ports("1-32", ports, error)) << error;
    EXPECT_EQ(ports.size(), 32U);
    EXPECT_FALSE(parse_station_ports("1-31,33,34", ports, error));
    EXPECT_NE(error.find("more than 32 ports"), std::string::npos) << error;
    for (const auto& c : cases) {
        std::vector<StationPort> ports;
        std::string error;
        const bool parsed = parse_station_ports(c.ports, ports, error);
        EXPECT_EQ(parsed, !c.labels.empty()) << c.ports << ": " << error;
        if (!parsed) continue;
        std::vector<std::string> labels;
        for (const StationPort& port : ports) labels.push_back(port.label);
        EXPECT_EQ(labels, c.labels) << c.ports;
    }
}

// RFC 4180: a field with a comma, a quote or a line end is quoted, its quotes
// doubled; a phase the box did not reach is empty.
TEST(StationLog, RowsAsRfc4180) {
    BoxRecord record;
    record.started = "2026-12-09T05:40:12.345Z";
    record.port = "usb:A,1";
    record.file = "C:\\fw \"new\".hex";
    record.result = "lost connection";
    record.erase_s = 3.04;
    record.transfer_s = 0;
    record.bytes_sent = 4096;
    record.reason = "line\r\nend";
    record.job = "jobs/line 3.toml";
    record.unique = "serial=STB000000123 mac=00:1A:2B:00:00:07";
    record.boot = "STB firmware \"2.3.1\", build 7";
    record.approval = "7";
    record.operator_name = "anna";
    record.work_order = "WO-1234";
    EXPECT_EQ(csv_row(record), "2026-12-09T05:40:12.345Z,,,\"usb:A,1\",,,\"C:\\fw \"\"new\"\".hex\",,,lost connection,"
                               "3.0,0.0,,4096,\"line\r\nend\",jobs/line 3.toml,,serial=STB000000123 "
                               "mac=00:1A:2B:00:00:07,,\"STB firmware \"\"2.3.1\"\", build 7\",7,anna,WO-1234\r\n");

    // The same row in the events: phases and bytes as numbers, a phase not reached as null,
    // the station and port those of the event, one line of JSON.
    PortEvent end;
    end.time = "2026-12-09T05:41:00.000Z";
    end.event = "failed";
    end.box_end = true;
    end.percent = 12;
    end.row = std::make_shared<const BoxRecord>(record);
    EXPECT_EQ(event_json(end, "usb:A,1", "bench3"),
              "{\"adapter\":\"\",\"approval\":\"7\",\"boot\":\"STB firmware \\\"2.3.1\\\", build 7\",\"box_crc32\":\"\",\"box_id\":\"\","
              "\"bytes_sent\":4096,\"crc32\":\"\",\"device\":\"\",\"ended\":\"\",\"erase_s\":3.0,\"event\":\"failed\","
              "\"file\":\"C:\\\\fw \\\"new\\\".hex\",\"flash_write_s\":null,\"job\":\"jobs/line 3.toml\",\"operator\":\"anna\","
              "\"percent\":12,\"port\":\"usb:A,1\",\"reason\":\"line\\r\\nend\",\"result\":\"lost connection\","
              "\"sha256\":\"\",\"started\":\"2026-12-09T05:40:12.345Z\",\"station\":\"bench3\","
              "\"time\":\"2026-12-09T05:41:00.000Z\",\"transfer_s\":0.0,"
              "\"unique\":\"serial=STB000000123 mac=00:1A:2B:00:00:07\",\"work_order\":\"WO-1234\"}");
}

// The percent a person reads reaches 100 only with the last packet.
TEST(TransferProgress, HundredPercentOnlyAtTheEnd) {
    EXPECT_EQ(transfer_figures(64511, 64512, 100).percent, 99U);
    EXPECT_EQ(transfer_figures(64512, 64512, 100).percent, 100U);
    EXPECT_EQ(transfer_figures(1, 64512, 0).percent, 0U);
}

TEST(TransferProgress, FiguresAndTimes) {
    // Until two seconds have passed, time left is the line's rate: the whole stream is 112 s.
    EXPECT_NEAR(transfer_figures(0, 64512, 0).seconds_left, 112.0, 0.01);
    const TransferFigures half = transfer_figures(32256, 64512, 28.0);  // twice the line's rate
    EXPECT_EQ(half.percent, 50U);
    EXPECT_EQ(half.kib_sent, 504U);
    EXPECT_EQ(half.kib_total, 1008U);
    EXPECT_NEAR(half.seconds_left, 28.0, 0.01);
    char text[32];
    for (const auto& [seconds, shown] : std::vector<std::pair<double, std::string>>{
             {0, "0:00"}, {61.4, "1:01"}, {59.6, "1:00"}, {3600, "1:00:00"}, {-5, "0:00"}}) {
        format_duration(seconds, text, sizeof text);
        EXPECT_EQ(text, shown) << seconds;
    }
    for (const auto& [value, shown] : std::vector<std::pair<unsigned long long, std::string>>{
             {0, "0"}, {999, "999"}, {1000, "1,000"}, {1032192, "1,032,192"}}) {
        format_thousands(value, text, sizeof text);
        EXPECT_EQ(text, shown) << value;
    }
}

namespace {

std::vector<std::string> texts(const std::vector<ScreenLine>& lines) {
    std::vector<std::string> out;
    for (const ScreenLine& line : lines) out.push_back(line.text);
    return out;
}

PortView port_view(int number, PortPhase phase, unsigned completed = 0, unsigned failed = 0,
                   unsigned interrupted = 0) {
    PortView view;
    view.label = "COM" + std::to_string(number);
    view.device = "/dev/ttyUSB" + std::to_string(number);
    view.phase = phase;
    view.reason = phase == PortPhase::CannotOpen ? "cannot open: no such device" : "";
    view.completed = completed;
    view.failed = failed;
    view.interrupted = interrupted;
    view.percent = 45;
    view.seconds_left = 61;
    return view;
}

}  // namespace

// The screen never has more lines than the window holds, nor wider ones:
// a row per port where they fit, several to a line where not, and else the
// ports that need the operator with a count of the rest.
TEST(StationScreen, FitsTheWindow) {
    std::vector<PortView> ports;
    for (int n = 1; n <= 32; ++n) {
        const PortPhase phase = n == 5 ? PortPhase::CannotOpen : n == 9 ? PortPhase::Failed : PortPhase::Sending;
        ports.push_back(port_view(n, phase, 3, n == 9 ? 1 : 0));
    }
    const struct {
        std::size_t ports;
        int columns;
        int max_lines;
        std::size_t lines;       // expected
        std::size_t rows_shown;  // ports shown with a row or a cell of their own
    } cases[] = {
        {4, 80, 23, 8, 4},     // a row each
        {19, 80, 23, 23, 19},  // just fits
        {20, 80, 23, 14, 20},  // two to a line
        {32, 80, 23, 20, 32},  // two to a line
        {32, 80, 24, 20, 32},  // a Windows 7 console of 80x25
        {32, 120, 23, 15, 32}, // three to a line
        {32, 80, 9, 6, 2},     // those that need the operator, and a count of the rest
    };
    for (const auto& c : cases) {
        const std::vector<PortView> some(ports.begin(), ports.begin() + static_cast<long>(c.ports));
        const std::vector<std::string> lines =
            texts(station_screen(ScreenFrame{{"fw.hex, CRC-32 0x12345678, log x.csv"}, false, "", "", "", {}}, some, 0,
                                 c.columns, c.max_lines));
        const std::string what = std::to_string(c.ports) + " ports at " + std::to_string(c.columns) + "x" +
                                 std::to_string(c.max_lines + 1);
        EXPECT_EQ(lines.size(), c.lines) << what;
        EXPECT_LE(lines.size(), static_cast<std::size_t>(c.max_lines)) << what;
        std::size_t shown = 0;
        for (const std::string& line : lines) {
            EXPECT_LE(line.size(), static_cast<std::size_t>(c.columns - 1)) << what << ": " << line;
            for (std::size_t at = line.find("COM"); at != std::string::npos; at = line.find("COM", at + 1)) ++shown;
        }
        EXPECT_EQ(shown, c.rows_shown) << what;
        const std::string totals = "totals: " + std::to_string(3 * c.ports) + " completed, " +
                                   std::to_string(c.ports >= 9 ? 1 : 0) + " failed, 0 interrupted; 0 in progress";
        EXPECT_EQ(lines[lines.size() - 2], totals) << what;
    }
    // The count of the rest names their states.
    const std::vector<std::string> lines = texts(station_screen(ScreenFrame{{"h"}, false, "", "", "", {}}, ports, 0, 80, 9));
    EXPECT_EQ(lines[3], "30 more: 30 sending") << lines[3];
}

// Interrupted boxes have a column of their own, as in the totals: FAILED counts the failed alone.
TEST(StationScreen, InterruptedBoxesHaveAColumnOfTheirOwn) {
    const std::vector<PortView> ports = {port_view(3, PortPhase::Interrupted, 2, 1, 1),
                                         port_view(4, PortPhase::Completed, 5, 0, 0)};
    const std::vector<std::string> lines = texts(station_screen(ScreenFrame{{"h"}, false, "", "", "", {}}, ports, 0, 80, 23));
    EXPECT_EQ(lines[1].substr(lines[1].size() - 16), "DONE FAILED  INT") << lines[1];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 16), "   2      1    1") << lines[2];
    EXPECT_EQ(lines[3].substr(lines[3].size() - 16), "   5      0    0") << lines[3];
    EXPECT_EQ(lines[4], "totals: 7 completed, 1 failed, 1 interrupted; 0 in progress");
    // A cell too: DONE, FAIL, INT.
    const std::vector<std::string> cells = texts(station_screen(ScreenFrame{{"h"}, false, "", "", "", {}}, ports, 0, 80, 5));
    EXPECT_EQ(cells[1].substr(0, 39), "PORT    STATE             DONE FAIL INT") << cells[1];
    EXPECT_EQ(cells[2].substr(0, 39), "COM3    interrupted          2    1   1") << cells[2];
}

// Under a job each port shows what a person labels its box with, its values
// and its own id, in full at every width: in the row where it is wide
// enough, else on lines of their own below it (cut at blanks, never cut
// off); a cell shows the first number.
TEST(StationScreen, UnderAJobTheValuesAndTheIdAreShownInFull) {
    std::vector<PortView> ports = {port_view(3, PortPhase::BootCheck, 4), port_view(4, PortPhase::NumbersUsedUp),
                                   port_view(5, PortPhase::Failed, 1, 1)};
    ports[0].numbers = "serial=STB000000123 mac=00:1A:2B:00:00:07";
    ports[0].box_id = "A1B2C3";
    ports[0].phase_start = 10;
    ports[1].reason = "serial used up";
    ports[2].outcome = BoxOutcome::NoBoot;
    ports[2].box_id = "Z9";
    const std::string values = "serial=STB000000123 mac=00:1A:2B:00:00:07 box_id=A1B2C3";
    const ScreenFrame frame{{"job line3.toml: fw.hex", "numbers: serial 3 left; few left: serial"}, true, "", "", "", {}};
    for (const int columns : {40, 60, 80, 100, 120, 160, 200}) {
        const std::vector<std::string> rows = texts(station_screen(frame, ports, 22, columns, 23));
        std::string joined;  // what a person reads: every line as the window cuts it, its blanks run together
        for (const std::string& row : rows) {
            for (const char c : row.substr(0, static_cast<std::size_t>(columns - 1))) {
                if (c != ' ' || (!joined.empty() && joined.back() != ' ')) joined += c;
            }
            joined += ' ';
        }
        EXPECT_NE(joined.find(values), std::string::npos) << columns << " columns: " << joined;
        EXPECT_NE(joined.find("box_id=Z9"), std::string::npos) << columns;
        EXPECT_NE(joined.find("checking boot 12 s"), std::string::npos) << columns << ": " << joined;
        if (columns >= 80) {
            EXPECT_NE(joined.find("numbers used up: serial"), std::string::npos) << columns;
            EXPECT_NE(joined.find("failed: no boot message"), std::string::npos) << columns;
        }
    }
    // At 80 columns the values get a line of their own under their port's row, in its colour.
    const std::vector<ScreenLine> lines = station_screen(frame, ports, 22, 80, 23);
    ASSERT_EQ(lines.size(), 9U);
    for (const ScreenLine& line : lines) EXPECT_LE(line.text.size(), 79U) << line.text;
    EXPECT_EQ(lines[2].text.substr(0, 41), "PORT       NUMBERS              STATE    ");
    EXPECT_EQ(lines[3].text.substr(0, 32), "COM3       checking boot 12 s   ") << lines[3].text;
    EXPECT_EQ(lines[4].text, "           " + values);
    EXPECT_EQ(lines[4].spans.size(), lines[3].spans.size());
    EXPECT_EQ(lines[5].text.substr(0, 51), "COM4       numbers used up: serial                 ") << lines[5].text;
    EXPECT_TRUE(needs_operator(ports[1]));
    // Two to a line: the state and the box's first number.
    const std::vector<std::string> cells = texts(station_screen(frame, ports, 22, 80, 7));
    EXPECT_EQ(cells[3].substr(0, 39), "COM3    checking boot 12  STB000000123 ") << cells[3];
}

// A wait longer than usual turns its port yellow and says how long: past
// the usual erase or flash write, or twice this station's median of it.
TEST(StationScreen, LongWaitsStandOut) {
    PortView erasing = port_view(3, PortPhase::Erasing);
    PortView writing = port_view(4, PortPhase::FlashWrite);
    const LongWaits waits{30, 60};
    for (const auto& [port, now, colour, text] : std::vector<std::tuple<PortView, double, Colour, std::string>>{
             {erasing, 29, Colour::Default, "erasing"},
             {erasing, 31, Colour::Yellow, "erasing 31 s"},
             {writing, 59, Colour::Default, "writing flash 59 s"},
             {writing, 153, Colour::Yellow, "writing flash 153 s"},
         }) {
        EXPECT_EQ(port_colour(port, now, waits), colour) << text;
        EXPECT_EQ(port_state_text(port, now, waits), text);
    }
    StationStats stats(0);
    EXPECT_EQ(stats.long_erase_s(), USUAL_ERASE_S);
    EXPECT_EQ(stats.long_flash_write_s(), USUAL_FLASH_WRITE_S);
    for (const double flash : {50.0, 70.0, 40.0}) stats.box_ended(BoxOutcome::Completed, 200, 10, 20, 112, flash);
    stats.box_ended(BoxOutcome::Lost, 20, 10, 25, -1, -1);  // an erase that never ended is no measure
    EXPECT_EQ(stats.long_erase_s(), 40.0) << "twice the median erase, 20 s";
    EXPECT_EQ(stats.long_flash_write_s(), 100.0) << "twice the median flash write, 50 s";
}

// Cells are whole at any width, a multiple of theirs or not.
TEST(StationScreen, CellsAreWholeAtEveryWidth) {
    std::vector<PortView> ports;
    for (int n = 1; n <= 32; ++n) ports.push_back(port_view(n, n % 3 == 0 ? PortPhase::FlashWrite : PortPhase::Sending, n));
    for (const int columns : {80, 90, 100, 119, 120, 150, 159}) {
        const std::vector<std::string> lines =
            texts(station_screen(ScreenFrame{{"h"}, false, "", "", "", {}}, ports, 0, columns, 23));
        const std::size_t per_line = static_cast<std::size_t>(columns) / 40;
        for (std::size_t i = 2; i + 2 < lines.size(); ++i) {
            EXPECT_LE(lines[i].size(), static_cast<std::size_t>(columns - 1)) << columns << ": " << lines[i];
            for (std::size_t cell = 0; cell * 40 < lines[i].size(); ++cell) {
                const std::string text = lines[i].substr(cell * 40, 39);
                EXPECT_EQ(text.size(), 39U) << columns << " columns, cell " << cell << ": " << lines[i];
                EXPECT_EQ(text.substr(0, 3), "COM") << columns << ": " << lines[i];
            }
            EXPECT_LE((lines[i].size() + 1) / 40, per_line) << columns;
        }
    }
}

// Each port's colour, and where it goes on the line: a row, or a cell of one.
TEST(StationScreen, ColoursTellTheStates) {
    const struct {
        PortPhase phase;
        BoxOutcome last;
        Colour colour;
    } cases[] = {
        {PortPhase::Completed, BoxOutcome::Completed, Colour::Green},
        {PortPhase::RemoveBox, BoxOutcome::Completed, Colour::Green},
        {PortPhase::RemoveBox, BoxOutcome::NoBoot, Colour::Yellow},
        {PortPhase::Failed, BoxOutcome::Lost, Colour::Red},
        {PortPhase::NumbersUsedUp, BoxOutcome::NumbersUsedUp, Colour::Red},
        {PortPhase::CannotOpen, BoxOutcome::NotStarted, Colour::Yellow},
        {PortPhase::Sending, BoxOutcome::Completed, Colour::Default},
        {PortPhase::Interrupted, BoxOutcome::Interrupted, Colour::Default},
    };
    std::vector<PortView> ports;
    for (const auto& c : cases) {
        ports.push_back(port_view(static_cast<int>(ports.size()) + 1, c.phase));
        ports.back().outcome = c.last;
        EXPECT_EQ(port_colour(ports.back()), c.colour) << static_cast<int>(c.phase);
    }
    const std::vector<ScreenLine> rows = station_screen(ScreenFrame{{"h"}, false, "", "", "", {}}, ports, 0, 80, 23);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const ScreenLine& row = rows[2 + i];
        if (cases[i].colour == Colour::Default) {
            EXPECT_TRUE(row.spans.empty()) << row.text;
        } else {
            ASSERT_EQ(row.spans.size(), 1U) << row.text;
            EXPECT_EQ(row.spans[0].start, 0U);
            EXPECT_EQ(row.spans[0].length, row.text.size());
            EXPECT_EQ(row.spans[0].colour, cases[i].colour);
        }
    }
    const std::vector<ScreenLine> cells = station_screen(ScreenFrame{{"h"}, false, "", "", "", {}}, ports, 0, 80, 8);
    ASSERT_EQ(cells[2].spans.size(), 2U);  // COM1 green, COM2 green
    EXPECT_EQ(cells[2].spans[1].start, 40U);
    EXPECT_EQ(cells[2].text.substr(cells[2].spans[1].start, 4), "COM2");
}

// The shift's figures on the totals line, and a line that still fits 80
// columns; no rate until 10 boxes have ended or 10 minutes have passed.
TEST(StationStats, YieldRateAndTheTimeABoxTakes) {
    StationStats stats(1000);
    EXPECT_EQ(stats.totals_line(0, 1000, 79), std::string("totals: 0 completed, 0 failed, 0 interrupted; 0 in progress; ") +
                                                  no_figure() + " boxes/h");
    const double times[] = {150, 151, 149, 300, 90};
    for (int i = 0; i < 5; ++i) stats.box_ended(BoxOutcome::Completed, times[i], 1000 + 100.0 * (i + 1));
    stats.box_ended(BoxOutcome::NoBoot, 400, 1550);
    stats.box_ended(BoxOutcome::Interrupted, 10, 1560);
    stats.box_ended(BoxOutcome::NotStarted, 10, 1570);  // no box: not counted
    EXPECT_NEAR(stats.yield_percent(), 100.0 * 5 / 7, 1e-9);
    EXPECT_DOUBLE_EQ(stats.median_seconds(), 150);
    // 7 boxes in 9 minutes: no rate yet (one box in 20 s would read 181 boxes/h).
    EXPECT_LT(stats.per_hour(1000 + 599), 0);
    EXPECT_EQ(stats.totals_line(2, 1000 + 599, 200), std::string("totals: 5 completed, 1 failed, 1 interrupted; 2 in "
                                                                 "progress; yield 71.4 %; ") + no_figure() +
                                                         " boxes/h; 2:30 a box");
    EXPECT_NEAR(stats.per_hour(2800), 5 * 3600.0 / 1800, 1e-9);  // the first hour: per hour so far
    EXPECT_EQ(stats.per_hour(1000 + 3600 + 100 * 2 + 1), 3.0);   // after it: those of the last hour
    EXPECT_EQ(stats.totals_line(12, 2800, 200),
              "totals: 5 completed, 1 failed, 1 interrupted; 12 in progress; yield 71.4 %; 10 boxes/h; 2:30 a box");
    EXPECT_EQ(stats.totals_line(12, 2800, 79), "totals: 5 done, 1 failed, 1 int.; 12 busy; yield 71.4 %; 10/h; 2:30/box");
    EXPECT_EQ(stats.totals_line(-1, 2800, 79), "totals: 5 completed, 1 failed, 1 interrupted; yield 71.4 %; 10/h; 2:30 a box");
    // Ten boxes give a rate at once.
    StationStats quick(0);
    for (int i = 0; i < 9; ++i) quick.box_ended(BoxOutcome::Completed, 10, 1 + i);
    EXPECT_LT(quick.per_hour(20), 0);
    quick.box_ended(BoxOutcome::Lost, 5, 19);
    EXPECT_NEAR(quick.per_hour(20), 9 * 3600.0 / 20, 1e-9);
    StationStats big(0);
    for (int i = 0; i < 12345; ++i) big.box_ended(BoxOutcome::Completed, 4000, 100);
    for (int i = 0; i < 999; ++i) big.box_ended(BoxOutcome::Lost, 40, 100);
    const std::string line = big.totals_line(32, 200, 79);
    EXPECT_LE(line.size(), 79U) << line;
    EXPECT_EQ(line, "totals: 12345 done, 999 failed, 0 int.; 32 busy; 92.5 %; 222210/h; 1:06:40/box");
    StationStats shift(0);
    for (int i = 0; i < 412; ++i) shift.box_ended(BoxOutcome::Completed, 151, 1800 + i);
    for (int i = 0; i < 9; ++i) shift.box_ended(BoxOutcome::Lost, 40, 1800);
    EXPECT_EQ(shift.totals_line(12, 3600 + 1800, 79),
              "totals: 412 done, 9 failed, 0 int.; 12 busy; yield 97.9 %; 412/h; 2:31/box");
}

// Every command line of up to four words from these, in every order: each
// is either refused with a reason or read into a command that has what it
// needs, and none reads past its words (the sanitizers watch).
TEST(CommandLines, EveryShortCombinationIsReadOrRefused) {
    const char* words[] = {"--job", "--station", "--check", "--list", "--json", "--strict", "--stall",
                           "--flash-write-max", "--log", "--events", "-", "--report", "--version", "7", "fw.hex",
                           "--continuous", "--rearm-quiet", "0.5", "--line-view", "--frob"};
    const std::size_t count = sizeof words / sizeof words[0];
    std::size_t read = 0;
    for (std::size_t length = 0; length <= 4; ++length) {
        std::size_t total = 1;
        for (std::size_t i = 0; i < length; ++i) total *= count;
        for (std::size_t n = 0; n < total; ++n) {
            std::vector<std::string> line = {"stbload"};
            for (std::size_t i = 0, k = n; i < length; ++i, k /= count) line.emplace_back(words[k % count]);
            std::vector<char*> argv;
            for (std::string& word : line) argv.push_back(word.data());
            argv.push_back(nullptr);
            CommandLine parsed;
            std::string error;
            if (!parse_command_line(static_cast<int>(line.size()), argv.data(), parsed, error)) {
                EXPECT_FALSE(error.empty());
                continue;
            }
            ++read;
            switch (parsed.command) {
            case Command::Download: EXPECT_TRUE(parsed.port != nullptr && parsed.file != nullptr); break;
            case Command::JobDownload: EXPECT_TRUE(parsed.port != nullptr && !parsed.job.empty()); break;
            case Command::Check: EXPECT_NE(parsed.file, nullptr); break;
            case Command::JobCheck: EXPECT_FALSE(parsed.job.empty()); break;
            case Command::Station: {
                StationOptions options;
                std::string why;
                std::vector<char*> rest = parsed.rest;
                if (!parse_station_options(static_cast<int>(rest.size()), rest.data(), options, why)) {
                    EXPECT_FALSE(why.empty());
                }
                break;
            }
            default: break;
            }
        }
    }
    EXPECT_GT(read, 0U);
}

// Every way a box can end, and what its row says: the outcome and its reason.
// The reasons are what an operator reads in the log to know what to do.
TEST(BoxOutcomes, EachEndGetsOneOutcomeAndItsReason) {
    using Request = BoxEnd::Request;
    using Boot = BoxEnd::Boot;
    auto end_of = [](ExchangeResult exchange, Request request = Request::None, Boot boot = Boot::NotAsked) {
        BoxEnd end;
        end.started = true;
        end.exchange = exchange;
        end.request = request;
        end.boot = boot;
        end.port_problem = "the port went away";
        end.boot_within_s = 20;
        end.flash_write_max_s = 600;
        end.refusal = "serial is used up";
        return end;
    };
    struct Case {
        const char* what;
        BoxEnd end;
        BoxOutcome outcome;
        const char* reason;
    };
    BoxEnd noise = end_of(ExchangeResult::Lost);
    noise.started = false;
    BoxEnd stalled = end_of(ExchangeResult::Lost);
    stalled.stalled = true;
    BoxEnd unwritable = end_of(ExchangeResult::Refused);
    unwritable.numbers_failed = true;
    BoxEnd waited = end_of(ExchangeResult::Lost, Request::Stop);
    waited.waiting = "database unreachable";
    const Case cases[] = {
        {"noise before any loader line", noise, BoxOutcome::NotStarted, ""},
        {"confirmed", end_of(ExchangeResult::Completed), BoxOutcome::Completed, ""},
        {"confirmed, boot shown", end_of(ExchangeResult::Completed, Request::None, Boot::Shown),
         BoxOutcome::Completed, ""},
        {"confirmed, boot text late", end_of(ExchangeResult::Completed, Request::None, Boot::NotShown),
         BoxOutcome::NoBoot, "the boot text did not come within 20 s"},
        {"confirmed, port lost in the boot check", end_of(ExchangeResult::Completed, Request::None, Boot::Lost),
         BoxOutcome::NoBoot, "lost connection while checking the boot (the port went away)"},
        {"confirmed, stopped in the boot check", end_of(ExchangeResult::Completed, Request::Stop, Boot::Lost),
         BoxOutcome::Interrupted, "the station was stopped"},
        {"numbers used up", end_of(ExchangeResult::Refused), BoxOutcome::NumbersUsedUp, "serial is used up"},
        {"journal unwritable", unwritable, BoxOutcome::NoNumbers, "serial is used up"},
        {"flash write too long", end_of(ExchangeResult::TimedOut), BoxOutcome::TimedOut,
         "the box did not confirm its flash write within 600 s"},
        {"port lost", end_of(ExchangeResult::Lost), BoxOutcome::Lost, "the port went away"},
        {"no data for the stall limit", stalled, BoxOutcome::TimedOut, "the port went away"},
        {"reset by the operator", end_of(ExchangeResult::Lost, Request::Reset), BoxOutcome::Reset,
         "reset by the operator"},
        {"station stopped", end_of(ExchangeResult::Lost, Request::Stop), BoxOutcome::Interrupted,
         "the station was stopped"},
        {"stopped while waiting for numbers", waited, BoxOutcome::Interrupted,
         "the station was stopped; it was waiting for numbers (database unreachable) and was not answered"},
    };
    for (const Case& c : cases) {
        BoxResult result;
        result.reason = "left from before";
        decide_outcome(c.end, result);
        EXPECT_EQ(result.outcome, c.outcome) << c.what;
        EXPECT_EQ(result.reason, c.reason) << c.what;
        const bool failed = c.outcome != BoxOutcome::Completed && c.outcome != BoxOutcome::Interrupted &&
                            c.outcome != BoxOutcome::NotStarted;
        if (c.outcome != BoxOutcome::NotStarted) {
            EXPECT_EQ(outcome_failed(c.outcome), failed) << c.what;
        }
    }
}

// What the web server takes from its command line and from each request.
TEST(WebGuards, ListenHostAndToken) {
    const struct {
        const char* text;
        bool ok;
        const char* address;
        unsigned port;
    } listens[] = {
        {"8080", true, "127.0.0.1", 8080},       {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"[::1]:8080", true, "::1", 8080},        {"127.0.0.1:0", true, "127.0.0.1", 0},
        {"127.0.0.1:", false, "", 0},             {"80a", false, "", 0},
        {"::1:8080", false, "", 0},               {"127.0.0.1:65536", false, "", 0},
        {"", false, "", 0},                       {":8080", false, "", 0},
        {"localhost:8080", true, "127.0.0.1", 8080}, {"bench3:8080", false, "", 0},
        {"256.1.1.1:80", false, "", 0},           {"1.2.3:80", false, "", 0},
    };
    for (const auto& c : listens) {
        std::string address;
        unsigned port = 99;
        std::string error;
        EXPECT_EQ(parse_listen(c.text, address, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::make_pair(address, port), std::make_pair(std::string(c.address), c.port)) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
    EXPECT_TRUE(is_loopback("127.0.0.1") && is_loopback("127.1.2.3") && is_loopback("::1"));
    EXPECT_FALSE(is_loopback("0.0.0.0") || is_loopback("::") || is_loopback("192.168.1.5"));

    const std::vector<std::string> names = {"127.0.0.1", "localhost", "Bench3", "::1"};
    const struct {
        const char* host;
        bool allowed;
    } hosts[] = {
        {"127.0.0.1:8080", true}, {"127.0.0.1", true},       {"LOCALHOST:8080", true}, {"bench3", true},
        {"[::1]:8080", true},     {"localhost:8081", false}, {"evil.example", false},  {"", false},
        {"127.0.0.1:", false},    {"::1", false},            {"bench3.evil", false},   {"[::1", false},
    };
    for (const auto& c : hosts) EXPECT_EQ(host_allowed(c.host, names, 8080), c.allowed) << c.host;

    const struct {
        const char* authorization;
        const char* token;
        bool matches;
    } tokens[] = {
        {"Bearer s3cret", "s3cret", true},  {"Bearer s3cre", "s3cret", false}, {"Bearer s3crets", "s3cret", false},
        {"bearer s3cret", "s3cret", false}, {"s3cret", "s3cret", false},       {"Bearer ", "", false},
        {"", "", false},
    };
    for (const auto& c : tokens) EXPECT_EQ(token_matches(c.authorization, c.token), c.matches) << c.authorization;
}

TEST(StationApiValues, TimesIdsPortsAndQueries) {
    for (const char* good : {"2026-12-09T05:40:12.345Z", "2026-01-31T23:59:60.999Z"}) EXPECT_TRUE(is_log_time(good));
    for (const char* bad : {"2026-12-09", "2026-13-09T05:40:12.345Z", "2026-12-00T05:40:12.345Z",
                            "2026-12-09T24:00:00.000Z", "2026-12-09T05:40:12.345", "2026-12-09 05:40:12.345Z"}) {
        EXPECT_FALSE(is_log_time(bad)) << bad;
    }
    std::uint64_t id = 0;
    EXPECT_TRUE(parse_event_id("0", id) && id == 0);
    EXPECT_TRUE(parse_event_id("18446744073709551615", id) == false);  // 20 digits: over the limit kept
    EXPECT_TRUE(parse_event_id("1844674407370955161", id) && id == 1844674407370955161ULL);
    for (const char* bad : {"", "-1", "1.5", "twelve", " 7", "7 "}) EXPECT_FALSE(parse_event_id(bad, id)) << bad;

    std::string port;
    EXPECT_TRUE(reset_path_port("/api/ports/7/reset", port) && port == "7");
    EXPECT_TRUE(reset_path_port("/api/ports/%2Fdev%2FttyUSB0/reset", port) && port == "/dev/ttyUSB0");
    EXPECT_TRUE(reset_path_port("/api/ports/usb%3AA12345/reset", port) && port == "usb:A12345");
    for (const char* bad : {"/api/ports//reset", "/api/ports/7/8/reset", "/api/ports/7", "/api/ports/%2/reset"}) {
        EXPECT_FALSE(reset_path_port(bad, port)) << bad;
    }
    std::string value;
    EXPECT_TRUE(query_value("a=1&since=2026-12-09T05%3A40%3A12.345Z", "since", value) &&
                value == "2026-12-09T05:40:12.345Z");
    EXPECT_FALSE(query_value("sincere=1", "since", value));
    EXPECT_FALSE(query_value("since=%zz", "since", value));
}

// The events a client that comes back can still get: the last KEPT, numbered without a gap.
TEST(StationFeed, KeepsTheLastEventsInOrder) {
    StationFeed feed;
    EXPECT_TRUE(feed.after(0).empty());
    for (int i = 1; i <= 1500; ++i) EXPECT_EQ(feed.publish("{\"n\":" + std::to_string(i) + "}"), std::uint64_t(i));
    const std::vector<StreamEvent> all = feed.after(0);
    ASSERT_EQ(all.size(), StationFeed::KEPT);
    EXPECT_EQ(all.front().id, 501u);
    EXPECT_EQ(all.back().data, "{\"n\":1500}");
    const std::vector<StreamEvent> late = feed.after(1497);
    ASSERT_EQ(late.size(), 3u);
    EXPECT_EQ(late[0].id, 1498u);
    EXPECT_TRUE(feed.after(1500).empty());
    EXPECT_TRUE(feed.after(99999).empty());
    EXPECT_EQ(feed.last_id(), 1500u);
}

TEST(StationStatus, EachPhaseHasItsWord) {
    const struct {
        PortPhase phase;
        bool in_progress;
        unsigned percent;
        const char* reason;
        bool finished;
        const char* state;
    } cases[] = {
        {PortPhase::Opening, false, 0, "", false, "opening"},
        {PortPhase::Waiting, false, 0, "", false, "waiting"},
        {PortPhase::Waiting, true, 0, "", false, "answered"},
        {PortPhase::Erasing, true, 0, "", false, "erasing"},
        {PortPhase::Sending, true, 40, "", false, "sending"},
        {PortPhase::Sending, true, 100, "", false, "confirming"},
        {PortPhase::FlashWrite, true, 100, "", false, "writing flash"},
        {PortPhase::BootCheck, true, 100, "", false, "checking boot"},
        {PortPhase::NumbersWaiting, true, 0, "", false, "waiting for numbers"},
        {PortPhase::NumbersUsedUp, false, 0, "", false, "numbers used up"},
        {PortPhase::RemoveBox, false, 0, "", false, "remove the box"},
        {PortPhase::CannotOpen, false, 0, "lost: the adapter went", false, "port lost"},
        {PortPhase::CannotOpen, false, 0, "no such device", false, "cannot open"},
        {PortPhase::Completed, false, 100, "", false, "waiting"},
        {PortPhase::Completed, false, 100, "", true, "done"},
    };
    for (const auto& c : cases) {
        PortView view;
        view.phase = c.phase;
        view.box_in_progress = c.in_progress;
        view.percent = c.percent;
        view.reason = c.reason;
        view.finished = c.finished;
        EXPECT_STREQ(port_state(view), c.state) << c.state;
    }
}
