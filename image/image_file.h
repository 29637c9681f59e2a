// The hex file as a front end uses it: opened, loaded into flash_image and
// closed, with what went wrong in the words the operator is given. Nothing
// here prints; the front end prints the message and the notes.
#pragma once

#include <string>
#include <vector>

#include "image/hex_file.h"
#include "image/hex_image.h"

enum class ImageFile {
    Ready,              // the image holds data to send
    CannotOpen,         // the file does not exist or cannot be opened
    NotIntelHex,        // the file holds something else
    ReadFailed,         // reading failed part way
    NothingToDownload,  // no data for the window that is sent
    Warned,             // loaded, but a strict load refuses a file with warnings
};

// Loads the open `file` into flash_image and closes it; the trace records what
// the image holds. `strict` refuses a file with warnings (Warned).
ImageFile load_image_file(HexFile& file, HexLoadReport& report, bool strict = false);

// The console message for an outcome other than Ready, for the file at
// `path`: its lines, without line ends.
std::vector<std::string> image_file_message(ImageFile outcome, const char* path);

// Receives one note: a line of text for standard error, without the
// "stbload: " in front or a line end.
using NoteSink = void (*)(void* context, const char* text);

// Hands `sink` the reason for a failed outcome (the system's words, or where
// a file that is not Intel HEX showed it) and the loader's warnings: at most
// HEX_NOTES_KEPT lines per kind, then one with the count of the rest.
// `error` is the file's system error code.
void describe_image_file(ImageFile outcome, const char* path, const HexLoadReport& report, int error, NoteSink sink,
                         void* context);
