// A reference model of the tool's side of the device dialogue, written from
// its documented behaviour without using the line reader or the exchange.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "device_script.h"

enum class ModelLine { Delivered, Dropped, Lost };

// One device line: bytes up to and with an LF, NUL bytes left out. 255
// characters without an LF, or a failed read, drop what was collected.
ModelLine model_device_line(ScriptCursor& cursor, std::string& line);

// Marks a spinner character in ModelExchange::console: one of "\|/-".
constexpr char ANY_SPINNER = '?';

struct ModelExchange {
    bool completed = false;            // '@' arrived in the final wait
    std::size_t reads = 0;             // read calls made in all
    std::vector<std::size_t> answers;  // read calls made before each 'y' was written
    bool transferred = false;          // the image transfer started
    std::size_t transfer_reads = 0;    // read calls made before it started
    std::size_t packets = 0;           // packet writes attempted
    std::string console;               // expected output, ANY_SPINNER for spinner characters
};

// Fills `model` (reusing its memory) with what the exchange should do on `events`.
void model_exchange(const std::vector<ScriptEvent>& events, ModelExchange& model);
