// What the tool tells the operator beyond its fixed messages: warnings about
// the hex file and the reason behind each failure, on standard error.
#pragma once

#include "image/hex_image.h"
#include "link/serial_port.h"

// The warnings the loader reported for `hex_path`: at most HEX_NOTES_KEPT lines
// per kind, then one line with the count of the rest.
void note_load_report(const char* hex_path, const HexLoadReport& report);

// Where a file that is not Intel HEX text showed it: its first foreign byte.
void note_not_hex(const char* hex_path, const HexLoadReport& report);

// The system's reason why the hex file could not be opened or read.
void note_hex_file_error(const char* hex_path, int error);

// The device tried for COM<port_number>, and why it could not be opened,
// configured or kept.
void note_port_problem(int port_number, const SerialPort& port);

// Says so when the port argument is not a plain decimal number, which port
// it was taken for, and how to give it.
void note_port_argument(const char* argument, int port_number);
