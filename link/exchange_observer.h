// What the exchange with the box's loader reports as it goes. The exchange
// prints nothing; whoever runs it (a single download, one port of a station)
// passes an observer and decides what the operator sees.
#pragma once

#include <cstdint>

// What a line from the box meant while the tool waited for the erase to end.
enum class BoxLine {
    Other,          // anything else: ignored
    UpdateRequest,  // holds "want to update": answered with 'y'
    EraseStarted,   // "Erasing flash,please wait.\n"
    EraseDone,      // "Erase done.\n": the transfer starts
};

enum class ExchangeResult {
    Completed,  // the device confirmed the flash write
    Lost,       // the device went away part way, or a packet could not be sent
    Refused,    // whoever runs the exchange would answer or send no box (see ExchangeSource)
    TimedOut,   // the box did not confirm its flash write within the limit (ExchangeLimits)
};

class ExchangeObserver {
public:
    // A line the box sent before the transfer (LF included, NUL-terminated),
    // and what it meant.
    virtual void box_line(const char* line, BoxLine meaning) = 0;
    // `count` reads gave no line (255 characters without an LF, or a failed
    // read) before the line that comes next.
    virtual void lines_dropped(unsigned long count) = 0;
    // The answer 'y' to the update request just reported: written, or not.
    virtual void answered(bool written) = 0;

    // The transfer of `packets` packets begins.
    virtual void transfer_started(std::uint32_t packets) = 0;
    // `sent` packets have gone out and the next is about to be written.
    // Reported for the first packet and then every PACKETS_PER_REPORT packets.
    virtual void transfer_progress(std::uint32_t sent) = 0;
    // The transfer is over: all packets sent (complete), or packet number
    // `sent` could not be written.
    virtual void transfer_ended(std::uint32_t sent, bool complete) = 0;

    // The line after the transfer, its content ignored; nullptr if the read
    // gave no line.
    virtual void confirmation(const char* line) = 0;
    // While the box writes its flash: after every read, the bytes counted so far.
    virtual void flash_waiting(unsigned long bytes) = 0;
    // The wait's spinner turns for the `turn`th time (from 0): once per 502 bytes.
    virtual void flash_turn(unsigned turn) = 0;

    // The exchange is over.
    virtual void finished(ExchangeResult result) = 0;

protected:
    ~ExchangeObserver() = default;
};

// How often transfer_progress is reported: once per 256 image bytes.
constexpr std::uint32_t PACKETS_PER_REPORT = 16;
