// A file of records that must outlive the program, whatever ends it: each
// record is appended with one write and forced to the disk before the call
// returns, so the file holds whole records only (a power cut may still tear
// the last one, which the next opener can see and step over). Several
// processes may append to one file: each append holds a lock on the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile() { close(); }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens `path` for appending, creating it when it does not exist; a file
    // it creates is made to survive a power cut (its folder's entry synced).
    bool open(const char* path);
    // The file's size now, or -1 if it cannot be read.
    std::int64_t size();
    // Its last byte now is not a line end: a torn record (a power cut). Read
    // under the lock, before an append that must start on a line of its own.
    bool ends_torn();
    // Appends `size` bytes at the file's end in one write, then forces them
    // to the disk. On any failure (a disk that fills part way, a sync that
    // fails) the file is cut back to where the record began: nothing of it
    // stays, and the whole record can be appended again later. Takes the
    // file's lock for the while.
    bool append(const char* data, std::size_t size);
    void close();

    // The file's lock, held by one process at a time: around an append, or
    // around reading what other processes appended and appending after it.
    void lock();
    void unlock();
    // The lock if no other process holds it, without waiting: a file that
    // belongs to one process for as long as it runs.
    bool try_lock();
    // append() while the caller holds the lock.
    bool append_locked(const char* data, std::size_t size);
    // Reads up to `most` bytes from `offset` on into `out` (fewer at the
    // file's end). False if the file cannot be read.
    bool read_at(std::uint64_t offset, std::size_t most, std::string& out);

    // The system's error code of the last failure.
    int error() const { return error_; }

private:
    std::intptr_t handle_ = -1;
    int error_ = 0;
};
