// A file of records that must outlive the program, whatever ends it: each
// record is appended with one write and forced to the disk before the call
// returns, so the file holds whole records only (a power cut may still tear
// the last one, which the next opener can see and step over). Several
// processes may append to one file: each append holds a lock on the file.
#pragma once

#include <cstddef>
#include <cstdint>

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile() { close(); }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens `path` for appending, creating it when it does not exist; a file
    // it creates is made to survive a power cut (its folder's entry synced).
    bool open(const char* path);
    // The file held nothing when it was opened.
    bool was_empty() const { return was_empty_; }
    // Its last byte, when it was opened, was not a line end: a torn record.
    bool ends_torn() const { return ends_torn_; }
    // Appends `size` bytes at the file's end in one write, then forces them
    // to the disk. On any failure (a disk that fills part way, a sync that
    // fails) the file is cut back to where the record began: nothing of it
    // stays, and the whole record can be appended again later.
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
