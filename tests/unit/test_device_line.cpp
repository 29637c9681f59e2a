#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/device_line.h"
#include "support/memory_port.h"

namespace {

struct Got {
    DeviceLine result;
    std::string line;
};

Got read_line(MemoryPort& port) {
    char dst[DEVICE_LINE_MAX];
    std::memset(dst, '#', sizeof dst);
    const DeviceLine result = read_device_line(port, dst);
    return {result, result == DeviceLine::Delivered ? std::string(dst) : std::string(dst, 4)};
}

}  // namespace

TEST(DeviceLine, DeliversTextUpToAndWithTheLf) {
    const struct {
        std::string input;
        std::string line;
    } cases[] = {
        {"Erase done.\n", "Erase done.\n"},
        {"Erase done.\r\n", "Erase done.\r\n"},
        {"\n", "\n"},
        {std::string("a\0b\0\0c\n", 7), "abc\n"},
        {std::string("\0\n", 2), "\n"},
        {std::string(254, 'x') + "\n", std::string(254, 'x') + "\n"},
    };
    for (const auto& c : cases) {
        MemoryPort port;
        port.bytes(c.input).bytes("rest");
        const Got got = read_line(port);
        EXPECT_EQ(got.result, DeviceLine::Delivered);
        EXPECT_EQ(got.line, c.line);
        EXPECT_EQ(port.pending(), 4U) << "read past the LF";
    }
}

TEST(DeviceLine, SilenceAndSplitArrivalMakeOneLine) {
    MemoryPort port;
    port.empty(3).bytes("Era").empty(50).bytes("se ").empty().bytes("done.\n");
    const Got got = read_line(port);
    EXPECT_EQ(got.result, DeviceLine::Delivered);
    EXPECT_EQ(got.line, "Erase done.\n");
}

TEST(DeviceLine, TooLongLineIsDroppedAndItsLfStartsTheNext) {
    MemoryPort port;
    port.bytes(std::string(255, 'x') + "\nok\n");
    EXPECT_EQ(read_line(port).result, DeviceLine::Dropped);
    EXPECT_EQ(port.consumed(), 255U);
    EXPECT_EQ(read_line(port).line, "\n");
    EXPECT_EQ(read_line(port).line, "ok\n");
}

TEST(DeviceLine, FailedReadDropsTheLineAndLostIsReported) {
    MemoryPort port;
    port.bytes("part").failure().bytes("next\n").bytes("x").lost();
    Got got = read_line(port);
    EXPECT_EQ(got.result, DeviceLine::Dropped);
    EXPECT_EQ(got.line, "####") << "dst touched";
    EXPECT_EQ(read_line(port).line, "next\n");
    EXPECT_EQ(read_line(port).result, DeviceLine::Lost);
}
