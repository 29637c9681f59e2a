#include "app/diagnostics.h"

#include <cstring>

#include "app/port_number.h"
#include "console/console.h"
#include "console/system_error.h"
#include "image/hex_line_reader.h"

namespace {

// Prints the kept notes of one kind with `print`, then the count of the rest.
template <typename Print>
void note_each(const char* hex_path, const HexNotes& notes, const char* rest, Print print) {
    for (std::size_t i = 0; i < notes.count && i < HEX_NOTES_KEPT; ++i) print(notes.kept[i]);
    if (notes.count > HEX_NOTES_KEPT) {
        console_note("%s: %u more %s", hex_path, static_cast<unsigned>(notes.count - HEX_NOTES_KEPT), rest);
    }
}

}  // namespace

void note_load_report(const char* hex_path, const HexLoadReport& report) {
    note_each(hex_path, report.bad_checksum, "records with a wrong checksum", [&](const HexNote& n) {
        console_note("%s:%u: checksum is 0x%02X but the record needs 0x%02X; its data is loaded as written",
                     hex_path, n.line, n.first, n.second);
    });
    note_each(hex_path, report.cut_record, "records cut short", [&](const HexNote& n) {
        console_note("%s:%u: record cut short: the line holds %u of the %u bytes its count calls for; "
                     "the missing ones are taken from the record before it",
                     hex_path, n.line, n.first, n.second);
    });
    note_each(hex_path, report.skipped_across_base, "records skipped across 0x4000", [&](const HexNote& n) {
        console_note("%s:%u: record at 0x%04X reaches past 0x%04X before any record at or above it; it is "
                     "skipped whole, so its %u bytes at and above 0x%04X are not sent",
                     hex_path, n.line, n.first, IMAGE_BASE, n.second, IMAGE_BASE);
    });
    note_each(hex_path, report.long_line, "lines too long for a record", [&](const HexNote& n) {
        console_note("%s:%u: line of %u characters is longer than any Intel HEX record; skipped", hex_path,
                     n.line, n.first);
    });
    if (report.cut_off_line != 0) {
        console_note("%s:%u: line longer than %d characters; the file is read no further", hex_path,
                     report.cut_off_line, static_cast<int>(HEX_READ_BUFFER_SIZE) - 1);
    }
    if (report.beyond_window_bytes != 0) {
        console_note("%s:%u: %u bytes of data lie at or above 0x%X (the first on this line); they are never sent",
                     hex_path, report.beyond_window_line, report.beyond_window_bytes, IMAGE_BASE + TRANSFER_LENGTH);
    }
}

void note_not_hex(const char* hex_path, const HexLoadReport& report) {
    console_note("%s:%u: byte 0x%02X cannot be part of an Intel HEX record", hex_path, report.foreign_line,
                 report.foreign_byte);
}

void note_hex_file_error(const char* hex_path, int error) {
    char reason[256];
    describe_system_error(error, reason, sizeof reason);
    console_note("%s: %s", hex_path, reason);
}

void note_port_problem(int port_number, const SerialPort& port) {
    char reason[512];
    describe_port_problem(port.problem(), port.device(), reason, sizeof reason);
    if (port.device()[0] != '\0') {
        console_note("COM%d (%s): %s", port_number, port.device(), reason);
    } else {
        console_note("COM%d: %s", port_number, reason);
    }
}

void note_port_argument(const char* argument, int port_number) {
    switch (classify_port_argument(argument)) {
    case PortArgument::Plain:
        return;
    case PortArgument::OutOfRange:
        console_note("port \"%s\" is out of range, so COM%d was tried", argument, port_number);
        return;
    case PortArgument::NotANumber:
        break;
    }
    // "COM3" and the like: suggest the digits it holds.
    const char* digits = std::strpbrk(argument, "0123456789");
    if (digits != nullptr) {
        const std::size_t length = std::strspn(digits, "0123456789");
        console_note("port \"%s\" is not a number, so COM%d was tried; give the COM number alone: stbload %.*s FILE",
                     argument, port_number, static_cast<int>(length), digits);
    } else {
        console_note("port \"%s\" is not a number, so COM%d was tried; give the COM number alone, "
                     "as in stbload 3 FILE for COM3",
                     argument, port_number);
    }
}
