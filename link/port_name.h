// The port as the operator names it on the command line: a COM number ("3",
// "COM3"), a device path ("/dev/ttyUSB0", "\\.\CNCA0"), or a USB adapter's
// identity ("usb:A12345" for its serial number, "usb@1-1.3" for where it is
// plugged in).
#pragma once

#include <cstddef>

// Converts the port argument like the C library's atoi, but with defined
// behaviour: optional leading white space, an optional sign, decimal digits up
// to the first non-digit; no digits gives 0; the value wraps around in 32 bits
// ("4294967303" is 7).
int parse_port_number(const char* text);

enum class PortArgument {
    Plain,       // an optional sign and decimal digits, within the range of an int
    ComName,     // "COM3", "com3", "\\.\COM3"
    OutOfRange,  // such digits, but too many: the value wrapped around
    NotANumber,  // anything else ("abc", " 3", "3x", ""), taken as atoi takes it
};

// How an argument that names a COM number gives it.
PortArgument classify_port_argument(const char* text);

enum class PortKind {
    Number,       // COM<number>
    Device,       // a device path, used as it is
    UsbSerial,    // the adapter with this USB serial number
    UsbLocation,  // the adapter plugged in at this hub port path
};

// Longest device name kept for a port.
constexpr std::size_t PORT_DEVICE_MAX = 4096;

struct PortName {
    PortKind kind;
    int number;                  // Number: the COM number
    PortArgument form;           // Number: how the argument gave it
    char text[PORT_DEVICE_MAX];  // Device: the path; Usb...: the serial number or the location
};

// What `argument` names. A plain number, "COM3" and the like name a COM
// number; "usb:" and "usb@" a USB identity; anything with a '/' (or starting
// "\\.\") a device; whatever else converts as atoi does, as it always has.
PortName parse_port_name(const char* argument);

// The port's name in messages: "COM3", "/dev/ttyUSB0", "usb:A12345", "usb@1-1.3".
void port_label(const PortName& name, char* text, std::size_t size);
