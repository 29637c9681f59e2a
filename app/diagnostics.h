// What the tool tells the operator beyond its fixed messages: warnings about
// the hex file and the reason behind each failure, on standard error.
#pragma once

#include "image/image_file.h"
#include "link/port_name.h"
#include "link/serial_port.h"

// What a download says of its hex file: for a failure, the message on
// standard output and the reason on standard error; for a usable image, the
// loader's warnings.
void show_image_file(ImageFile outcome, const char* path, const HexLoadReport& report, int error);

// The port as the operator named it (`label`: "COM3", "usb:A12345"), the
// device tried for it, and why it could not be opened, configured or kept.
void note_port_problem(const char* label, const SerialPort& port);

// Says so when the port argument is not a plain decimal number, which port
// it was taken for, and how to give it.
void note_port_argument(const char* argument, const PortName& name);
