// A file of records that must outlive the program, whatever ends it: each
// record is appended with one write and forced to the disk before the call
// returns, so the file holds whole records only (a power cut may still tear
// the last one, which the next opener can see and step over).
#pragma once

#include <cstddef>
#include <cstdint>

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile() { close(); }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens `path` for appending, creating it when it does not exist.
    bool open(const char* path);
    // The file held nothing when it was opened.
    bool was_empty() const { return was_empty_; }
    // Its last byte, when it was opened, was not a line end: a torn record.
    bool ends_torn() const { return ends_torn_; }
    // Appends `size` bytes in one write, then forces them to the disk.
    bool append(const char* data, std::size_t size);
    void close();

    // The system's error code of the last failure.
    int error() const { return error_; }

private:
    std::intptr_t handle_ = -1;
    bool was_empty_ = false;
    bool ends_torn_ = false;
    int error_ = 0;
};
