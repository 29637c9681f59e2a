#include <gtest/gtest.h>

#include <cerrno>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "link/port_name.h"
#include "link/port_read_posix.h"
#include "link/serial_port.h"

// Where a failed read or write of the port is decided to be a lost device.
// A pty never shows these errors (a hang-up reads as 0), so only this table
// holds the mapping to what a pulled-out USB adapter gives.
TEST(SerialPort, ErrorsOfAFailedReadOrWrite) {
    const struct {
        int code;
        PortError meaning;
    } cases[] = {
        {EIO, PortError::Lost},       {ENXIO, PortError::Lost},    {ENODEV, PortError::Lost},
        {EINTR, PortError::Retry},    {EAGAIN, PortError::Retry},  {EWOULDBLOCK, PortError::Retry},
        {EBADF, PortError::Failed},   {EINVAL, PortError::Failed}, {ENOSPC, PortError::Failed},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_port_error(c.code), c.meaning) << "errno " << c.code;
}

TEST(PortNumber, ConvertsLikeAtoiWithThirtyTwoBitWrap) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"3", 3},           {"  12", 12},         {"\t\n+7x", 7},     {"-2", -2},
        {"abc", 0},         {"", 0},              {"+", 0},           {"- 5", 0},
        {"007", 7},         {"12abc", 12},        {"4294967303", 7},  {"2147483648", -2147483647 - 1},
        {"-2147483648", -2147483647 - 1},         {"99999999999999999999", static_cast<int>(1661992959)},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_port_number(c.text), c.value) << '"' << c.text << '"';
}

TEST(PortNumber, TellsPlainNumbersFromWhatOnlyConvertsToOne) {
    const struct {
        const char* text;
        PortArgument kind;
    } cases[] = {
        {"3", PortArgument::Plain},           {"-2", PortArgument::Plain},
        {"+7", PortArgument::Plain},          {"2147483647", PortArgument::Plain},
        {"-2147483648", PortArgument::Plain}, {"2147483648", PortArgument::OutOfRange},
        {"4294967303", PortArgument::OutOfRange}, {"99999999999999999999999", PortArgument::OutOfRange},
        {"COM3", PortArgument::ComName},      {"abc", PortArgument::NotANumber},
        {" 3", PortArgument::NotANumber},     {"3x", PortArgument::NotANumber},
        {"", PortArgument::NotANumber},       {"-", PortArgument::NotANumber},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_port_argument(c.text), c.kind) << '"' << c.text << '"';
}

// What each form of the port argument names. Plain numbers convert as they
// always have; what could never name a port before now names one.
TEST(PortName, ArgumentForms) {
    const struct {
        const char* argument;
        PortKind kind;
        int number;
        PortArgument form;
        const char* text;
        const char* label;
    } cases[] = {
        {"3", PortKind::Number, 3, PortArgument::Plain, "", "COM3"},
        {" 7", PortKind::Number, 7, PortArgument::NotANumber, "", "COM7"},
        {"+3", PortKind::Number, 3, PortArgument::Plain, "", "COM3"},
        {"3x", PortKind::Number, 3, PortArgument::NotANumber, "", "COM3"},
        {"abc", PortKind::Number, 0, PortArgument::NotANumber, "", "COM0"},
        {"COM3", PortKind::Number, 3, PortArgument::ComName, "", "COM3"},
        {"com12", PortKind::Number, 12, PortArgument::ComName, "", "COM12"},
        {"Com3", PortKind::Number, 3, PortArgument::ComName, "", "COM3"},
        {"\\\\.\\COM3", PortKind::Number, 3, PortArgument::ComName, "", "COM3"},
        {"COM", PortKind::Number, 0, PortArgument::NotANumber, "", "COM0"},
        {"COM3x", PortKind::Number, 0, PortArgument::NotANumber, "", "COM0"},
        {"COM-3", PortKind::Number, 0, PortArgument::NotANumber, "", "COM0"},
        {"COM99999999999", PortKind::Number, 0, PortArgument::NotANumber, "", "COM0"},
        {"/dev/ttyUSB0", PortKind::Device, 0, PortArgument::Plain, "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"./pty", PortKind::Device, 0, PortArgument::Plain, "./pty", "./pty"},
        {"\\\\.\\CNCA0", PortKind::Device, 0, PortArgument::Plain, "\\\\.\\CNCA0", "\\\\.\\CNCA0"},
        {"usb:A12345", PortKind::UsbSerial, 0, PortArgument::Plain, "A12345", "usb:A12345"},
        {"usb@1-1.3", PortKind::UsbLocation, 0, PortArgument::Plain, "1-1.3", "usb@1-1.3"},
        {"usb@Port_#0004.Hub_#0006", PortKind::UsbLocation, 0, PortArgument::Plain, "Port_#0004.Hub_#0006",
         "usb@Port_#0004.Hub_#0006"},
        {"USB:A1", PortKind::Number, 0, PortArgument::NotANumber, "", "COM0"},
    };
    for (const auto& c : cases) {
        const PortName name = parse_port_name(c.argument);
        EXPECT_EQ(name.kind, c.kind) << c.argument;
        char label[64];
        port_label(name, label, sizeof label);
        EXPECT_STREQ(label, c.label) << c.argument;
        if (c.kind == PortKind::Number) {
            EXPECT_EQ(name.number, c.number) << c.argument;
            EXPECT_EQ(name.form, c.form) << c.argument;
        } else {
            EXPECT_STREQ(name.text, c.text) << c.argument;
        }
    }
}

// Bytes that come together with the line's hang-up are read first: a box
// whose '@' and hang-up come in one read has completed. A socket pair shows
// both at once as a device's last read does (a pseudo-terminal flushes its
// input when it hangs up, so the simulated box cannot show it).
TEST(SerialPort, BytesBeforeAHangUpAreReadFirst) {
    for (const int delay_ms : {0, 3}) {  // ready at once, or arriving while the read waits
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_EQ(fcntl(pair[0], F_SETFL, O_NONBLOCK), 0);
        std::thread box([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            ASSERT_EQ(::write(pair[1], "x@", 2), 2);
            ::close(pair[1]);
        });
        if (delay_ms == 0) box.join();
        std::uint8_t block[16];
        std::size_t got = 0;
        PortProblem problem{PortFault::None, 0};
        std::string read;
        PortRead result = PortRead::Empty;
        for (int tries = 0; tries < 1000 && result != PortRead::Lost; ++tries) {
            result = read_port_block(pair[0], block, sizeof block, got, problem);
            if (result == PortRead::Byte) read.append(reinterpret_cast<const char*>(block), got);
        }
        if (box.joinable()) box.join();
        EXPECT_EQ(read, "x@") << "delay " << delay_ms;
        EXPECT_EQ(result, PortRead::Lost);
        EXPECT_EQ(problem.fault, PortFault::HungUp);
        ::close(pair[0]);
    }
}
