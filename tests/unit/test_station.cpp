#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/figures.h"
#include "link/transfer_progress.h"
#include "session/box_log.h"
#include "station/station_options.h"

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
    };
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
    EXPECT_EQ(csv_row(record), "2026-12-09T05:40:12.345Z,,,\"usb:A,1\",,,\"C:\\fw \"\"new\"\".hex\",,,lost connection,"
                               "3.0,0.0,,4096,\"line\r\nend\"\r\n");
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
