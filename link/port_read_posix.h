// One read of a POSIX serial port's file descriptor: what has arrived, up to
// a block, or a wait of up to READ_INTERVAL_MS for the first byte. Bytes that
// came before a hang-up are read before the hang-up is reported. Kept apart
// from the port so that any descriptor (a socket pair in the tests) can show it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

PortRead read_port_block(int fd, std::uint8_t* block, std::size_t size, std::size_t& got, PortProblem& problem);
