// A unique field's values as a box gets them: the text a person reads (in
// the log, on the screen, in the journal) and the bytes written into the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/job.h"

// "STB000000123" (prefix and zero-padded digits), "00:1A:2B:00:00:07", or a
// u32's value in decimal.
std::string unique_text(const UniqueField& field, std::uint64_t value);

// The field's size() bytes for `value`.
std::vector<std::uint8_t> unique_bytes(const UniqueField& field, std::uint64_t value);

// Reads back what unique_text() wrote. False for text that is not one of the
// field's values.
bool parse_unique_text(const UniqueField& field, const std::string& text, std::uint64_t& value);

// "serial=STB000000123 mac=00:1A:2B:00:00:07", in the job's order.
std::string unique_pairs(const std::vector<UniqueField>& fields, const std::vector<std::uint64_t>& values);

// A MAC address as the job writes it, "00:1A:2B:00:00:07", as a number.
bool parse_mac(const std::string& text, std::uint64_t& value);

// The words of a text line, split at blanks: a journal line's, or a row's
// "serial=... mac=..." pairs.
std::vector<std::string> words_of(const std::string& line);
