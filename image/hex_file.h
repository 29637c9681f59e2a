// The hex file as a plain byte source: open an existing file, read blocks, close.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the line reader gets its bytes: the hex file, or memory in tests.
class HexSource {
public:
    // Reads up to `size` bytes into `dst`. Returns the number read (0 once the
    // source has ended) or -1 on failure.
    virtual long read(std::uint8_t* dst, std::size_t size) = 0;

protected:
    ~HexSource() = default;
};

// A file on disk, opened for reading. Closed by close() or at destruction.
class HexFile final : public HexSource {
public:
    HexFile() = default;
    ~HexFile() { close(); }
    HexFile(const HexFile&) = delete;
    HexFile& operator=(const HexFile&) = delete;

    // Opens an existing regular file for reading; false if that is not possible.
    // Other programs may read the file meanwhile, but not write it.
    bool open(const char* path);
    long read(std::uint8_t* dst, std::size_t size) override;
    void close();

    // The system's error code (errno, GetLastError()) of the last failed open or read.
    int error() const { return error_; }

private:
    std::intptr_t handle_ = -1;
    int error_ = 0;
};
