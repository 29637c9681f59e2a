// A serial port in memory: plays a scripted device and records what is written.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/serial_port.h"

class MemoryPort final : public PortIo {
public:
    // What read_byte() returns, in order. Once the script is used up the
    // device counts as gone, so an exchange under test always ends.
    MemoryPort& bytes(const std::string& text) {
        for (char c : text) events_.push_back({PortRead::Byte, static_cast<std::uint8_t>(c)});
        return *this;
    }
    MemoryPort& empty(int times = 1) {
        for (int i = 0; i < times; ++i) events_.push_back({PortRead::Empty, 0});
        return *this;
    }
    MemoryPort& failure() {
        events_.push_back({PortRead::Failed, 0});
        return *this;
    }
    MemoryPort& lost() {
        events_.push_back({PortRead::Lost, 0});
        return *this;
    }
    // The port dies once this many bytes have been written.
    MemoryPort& lose_after_writing(std::size_t count) {
        write_limit_ = count;
        return *this;
    }

    // Write call number `index` (counting from 0) fails and takes nothing.
    MemoryPort& fail_write(std::size_t index) {
        failing_write_ = index;
        return *this;
    }

    PortRead read_byte(std::uint8_t& byte) override {
        ++reads_;
        if (events_.empty()) return PortRead::Lost;
        const Event event = events_.front();
        events_.pop_front();
        if (event.result == PortRead::Byte) {
            byte = event.byte;
            ++consumed_;
        }
        return event.result;
    }

    PortWrite write(const std::uint8_t* data, std::size_t size) override {
        if (write_calls_++ == failing_write_) return PortWrite::Failed;
        if (written.size() + size > write_limit_) return PortWrite::Lost;
        writes.push_back({consumed_, size});
        written.append(reinterpret_cast<const char*>(data), size);
        return PortWrite::Written;
    }

    struct Write {
        std::size_t input_consumed;  // device bytes read before this write
        std::size_t size;
    };
    std::string written;
    std::vector<Write> writes;

    std::size_t reads() const { return reads_; }
    std::size_t consumed() const { return consumed_; }
    std::size_t pending() const { return events_.size(); }

private:
    struct Event {
        PortRead result;
        std::uint8_t byte;
    };
    std::deque<Event> events_;
    std::size_t consumed_ = 0;
    std::size_t reads_ = 0;
    std::size_t write_limit_ = SIZE_MAX;
    std::size_t write_calls_ = 0;
    std::size_t failing_write_ = SIZE_MAX;
};
