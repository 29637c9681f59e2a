// What the results log records of one box: a row's fields, as the front
// ends fill them in. Its columns are in records/log_columns.h.
#pragma once

#include <string>

struct BoxRecord {
    std::string started;  // UTC, ISO 8601 with milliseconds
    std::string ended;
    std::string station;  // the host name
    std::string port;     // as given in PORTS
    std::string device;
    std::string adapter;  // "usb:SERIAL usb@LOCATION", where known
    std::string file;
    std::string crc32;    // 0x%08X
    std::string sha256;
    std::string result;   // completed, lost connection, interrupted, no boot message, numbers used up
    double erase_s = -1;  // each phase's seconds; negative: the box did not reach it
    double transfer_s = -1;
    double flash_write_s = -1;
    unsigned long bytes_sent = 0;
    std::string reason;
    // Under a job, else empty:
    std::string job;        // the job file as given
    std::string box_id;     // the box's own number, as its loader printed it
    std::string unique;     // "serial=STB000000123 mac=00:1A:2B:00:00:07"
    std::string box_crc32;  // 0x%08X of the bytes this box was sent, its numbers included
    std::string boot;       // the line that proved the boot
    std::string approval;   // the approval of the job that the box ran under, under [line]
    std::string operator_name;  // who was at the bench when the box started
    std::string work_order;     // the order it was flashed for
};
