#include "image/image_file.h"

#include <cstdarg>
#include <cstdio>

#include "console/console.h"
#include "console/system_error.h"
#include "console/trace.h"
#include "image/hex_line_reader.h"

namespace {

struct Notes {
    NoteSink sink;
    void* context;
};

void note(const Notes& notes, const char* format, ...) STBLOAD_PRINTF_FORMAT_2;

// One formatted line for the sink; the format is this file's own.
void note(const Notes& notes, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    char text[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= 0) notes.sink(notes.context, text);
}

// The kept notes of one kind with `each`, then the count of the rest.
template <typename Each>
void note_each(const Notes& notes, const char* path, const HexNotes& kind, const char* rest, Each each) {
    for (std::size_t i = 0; i < kind.count && i < HEX_NOTES_KEPT; ++i) each(kind.kept[i]);
    if (kind.count > HEX_NOTES_KEPT) {
        note(notes, "%s: %u more %s", path, static_cast<unsigned>(kind.count - HEX_NOTES_KEPT), rest);
    }
}

void describe_warnings(const Notes& notes, const char* path, const HexLoadReport& report) {
    note_each(notes, path, report.bad_checksum, "records with a wrong checksum", [&](const HexNote& n) {
        note(notes, "%s:%u: checksum is 0x%02X but the record needs 0x%02X; its data is loaded as written", path,
             n.line, n.first, n.second);
    });
    note_each(notes, path, report.cut_record, "records cut short", [&](const HexNote& n) {
        note(notes,
             "%s:%u: record cut short: the line holds %u of the %u bytes its count calls for; "
             "the missing ones are taken from the record before it",
             path, n.line, n.first, n.second);
    });
    note_each(notes, path, report.skipped_across_base, "records skipped across 0x4000", [&](const HexNote& n) {
        note(notes,
             "%s:%u: record at 0x%04X reaches past 0x%04X before any record at or above it; it is "
             "skipped whole, so its %u bytes at and above 0x%04X are not sent",
             path, n.line, n.first, IMAGE_BASE, n.second, IMAGE_BASE);
    });
    note_each(notes, path, report.long_line, "lines too long for a record", [&](const HexNote& n) {
        note(notes, "%s:%u: line of %u characters is longer than any Intel HEX record; skipped", path, n.line,
             n.first);
    });
    if (report.cut_off_line != 0) {
        note(notes, "%s:%u: line longer than %d characters; the file is read no further", path, report.cut_off_line,
             static_cast<int>(HEX_READ_BUFFER_SIZE) - 1);
    }
    if (report.beyond_window_bytes != 0) {
        note(notes, "%s:%u: %u bytes of data lie at or above 0x%X (the first on this line); they are never sent",
             path, report.beyond_window_line, report.beyond_window_bytes, IMAGE_BASE + TRANSFER_LENGTH);
    }
    if (report.end_record_line == 0 && report.cut_off_line == 0) {
        note(notes, "%s: the file has no end record: it may be cut short", path);
    }
}

// The trace's line for what the image holds.
void trace_image_report(const HexLoadReport& report) {
    if (!tracing()) return;
    if (report.bytes_placed == 0) {
        trace("image: %u lines, no data placed", report.lines);
        return;
    }
    trace("image: %u lines, %llu data bytes placed, from 0x%X to 0x%X", report.lines,
          static_cast<unsigned long long>(report.bytes_placed), report.lowest_address, report.highest_address);
}

}  // namespace

ImageFile load_image_file(HexFile& file, HexLoadReport& report, bool strict) {
    const LoadResult loaded = load_hex_image(file, IMAGE_BASE, report);
    file.close();
    if (loaded == LoadResult::Loaded || loaded == LoadResult::NothingToDownload) trace_image_report(report);
    switch (loaded) {
    case LoadResult::Loaded: return strict && hex_load_warned(report) ? ImageFile::Warned : ImageFile::Ready;
    case LoadResult::NotIntelHex: return ImageFile::NotIntelHex;
    case LoadResult::ReadFailed: return ImageFile::ReadFailed;
    case LoadResult::NothingToDownload: return ImageFile::NothingToDownload;
    }
    return ImageFile::ReadFailed;
}

std::vector<std::string> image_file_message(ImageFile outcome, const char* path) {
    const std::string file = path;
    switch (outcome) {
    case ImageFile::CannotOpen: return {"cannot open file " + file, "check you specified file"};
    case ImageFile::NotIntelHex: return {"not an Intel HEX file: " + file};
    case ImageFile::ReadFailed: return {"cannot read file " + file};
    case ImageFile::NothingToDownload: return {"no data to download in " + file};
    case ImageFile::Warned: return {"not flashed: " + file + " has warnings, and strict loading refuses them"};
    case ImageFile::Ready: break;
    }
    return {};
}

void describe_image_file(ImageFile outcome, const char* path, const HexLoadReport& report, int error, NoteSink sink,
                         void* context) {
    const Notes notes{sink, context};
    switch (outcome) {
    case ImageFile::CannotOpen:
    case ImageFile::ReadFailed: {
        char reason[256];
        describe_system_error(error, reason, sizeof reason);
        note(notes, "%s: %s", path, reason);
        return;
    }
    case ImageFile::NotIntelHex:
        note(notes, "%s:%u: byte 0x%02X cannot be part of an Intel HEX record", path, report.foreign_line,
             report.foreign_byte);
        return;
    case ImageFile::Ready:
    case ImageFile::NothingToDownload:
    case ImageFile::Warned:
        describe_warnings(notes, path, report);
        return;
    }
}
