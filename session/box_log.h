// The results log: CSV (RFC 4180), one row per box, each row written with
// one write and forced to the disk before the front end shows the box's end.
// Rows that cannot be written wait, in order, and are tried again.
#pragma once

#include <deque>
#include <mutex>
#include <string>

#include "console/record_file.h"
#include "session/box_result.h"

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
};

// The header, its line end included.
constexpr char BOX_LOG_HEADER[] =
    "started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,flash_write_s,"
    "bytes_sent,reason,job,box_id,unique,box_crc32,boot\r\n";
// The header of logs written before jobs: the first fifteen columns.
constexpr char BOX_LOG_HEADER_BEFORE_JOBS[] =
    "started,ended,station,port,device,adapter,file,crc32,sha256,result,erase_s,transfer_s,flash_write_s,"
    "bytes_sent,reason\r\n";

// Whether a line of the log starts a box's row: it begins with the row's
// started time, "2026-12-09T05:40:12.345Z," (the same in logs of every
// header). `size` bytes of the line are given, a RowStart of the CSV reader.
bool box_row_starts(const char* line, std::size_t size);

// The row for `record`, its line end included.
std::string csv_row(const BoxRecord& record);

// A box's result in the record's columns (the rest are the caller's).
void take_result(BoxRecord& record, const BoxResult& result);

// Whether the log at `path` could be appended to: it is missing, empty, or
// starts with this log's header. `error` says why not.
bool log_header_usable(const std::string& path, std::string& error);

enum class LogOpen {
    Opened,
    CannotOpen,     // cannot be created, read or written: see the error
    ForeignHeader,  // its first line is not this log's header (an older log, another program's file)
};

class BoxLog {
public:
    // Opens or creates the log: a new one gets the header, and one whose last
    // line was torn (a power cut) gets a line end first, after a closing
    // quote if the tear was inside a quoted field, so that the next row is a
    // row of its own. A log whose header is another is left as it is.
    // `error` says why in words.
    LogOpen open(const std::string& path, std::string& error);

    // Writes the row now, or keeps it for a later try if that fails (the
    // rows before it are tried first). True when it is on the disk.
    bool write(const BoxRecord& record);

    // Tries the rows that wait again. True when none waits.
    bool retry();

    // Rows waiting, and why the last write failed.
    std::size_t waiting(std::string& reason);

    // The rows still waiting, taken out of the log.
    std::deque<std::string> take_waiting();

private:
    bool write_waiting();

    std::mutex lock_;  // guards everything below
    RecordFile file_;
    std::string path_;
    std::deque<std::string> waiting_;
    int error_ = 0;
};
