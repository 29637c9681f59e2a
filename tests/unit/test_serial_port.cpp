#include <gtest/gtest.h>

#include <cerrno>

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
