// The serial ports this machine has, as the system publishes them. Listing
// never opens a port: opening one can reset a board (DTR and RTS toggle).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "link/port_name.h"

struct PortInfo {
    std::string name;         // what to give as PORT: "COM7", "/dev/ttyUSB0"
    int com_number = 0;       // the COM number that names it, 0 if none
    std::string device;       // what is opened: "\\.\COM7", "/dev/ttyUSB0"
    std::string kind;         // the driver or kind: "16550 UART", "FTDI USB-serial", "CDC ACM", ...
    std::string description;  // what the system calls it: a friendly name, or manufacturer and product
    bool usb = false;         // a USB adapter, with:
    unsigned vendor = 0;      //   its vendor and product ids (0403:6001)
    unsigned product = 0;
    std::string serial;       //   its USB serial number, if it has one
    std::string location;     //   where it is plugged in: "1-1.3", "Port_#0004.Hub_#0006"
    std::string by_id;        // Linux: its name in /dev/serial/by-id, if udev made one
};

// Every serial port, sorted by COM number (those without one last), then by device.
std::vector<PortInfo> list_serial_ports();

// The device of the one adapter that `name` (UsbSerial or UsbLocation) names
// now, in `device`. False when none or several match; `detail` then says so
// in words ("no adapter with that serial number is plugged in").
bool find_usb_port(const PortName& name, char* device, std::size_t device_size, char* detail,
                   std::size_t detail_size);

// A USB adapter's identity as PORT takes it: "usb:SERIAL" and "usb@LOCATION",
// each where known, joined by `separator`; empty for a port that is none.
std::string usb_identity(const PortInfo& port, const char* separator);

// usb_identity() with one space, of the adapter behind `device` (any name
// for it); empty when it is no USB adapter.
std::string usb_identity_of_device(const char* device);

// Compares names with their numbers as numbers: ttyS2 before ttyS10, COM3 before COM11.
bool natural_less(const std::string& a, const std::string& b);

// Orders ports as list_serial_ports() gives them.
void sort_ports(std::vector<PortInfo>& ports);

// A short name for a driver the ports of many adapters use: "ftdi_sio" is
// "FTDI USB-serial"; an unknown one is given back as it is.
std::string port_kind_of_driver(const std::string& driver);
