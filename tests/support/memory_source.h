// A hex file in memory, with reads that can come back short or fail.
#pragma once

#include <cstring>
#include <string>

#include "image/hex_file.h"

class MemorySource final : public HexSource {
public:
    // Each read hands out at most `chunk` bytes; read number `fail_at` (0-based)
    // fails, if given.
    explicit MemorySource(std::string data, std::size_t chunk = SIZE_MAX, int fail_at = -1)
        : data_(std::move(data)), chunk_(chunk), fail_at_(fail_at) {}

    long read(std::uint8_t* dst, std::size_t size) override {
        if (reads_++ == fail_at_) return -1;
        std::size_t n = data_.size() - pos_;
        if (n > size) n = size;
        if (n > chunk_) n = chunk_;
        std::memcpy(dst, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

    int reads() const { return reads_; }

private:
    std::string data_;
    std::size_t chunk_;
    int fail_at_;
    std::size_t pos_ = 0;
    int reads_ = 0;
};
