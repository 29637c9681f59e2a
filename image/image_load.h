// The hex file as every front end takes it: opened, loaded into the image
// and closed, with what to tell the operator, and the read-only window that
// the exchange sends.
#pragma once

#include "console/console.h"
#include "image/hex_file.h"
#include "image/image_file.h"
#include "image/image_window.h"

struct ImageLoad {
    ImageFile outcome = ImageFile::CannotOpen;
    HexLoadReport report{};
    int error = 0;        // the file's system error code, for CannotOpen and ReadFailed
    ImageWindow window;   // what a download sends, once Ready
    bool ready() const { return outcome == ImageFile::Ready; }
};

// Opening and loading as two steps, for a front end that opens the port in
// between (a single download reports a missing file before it touches the port).
class ImageLoader {
public:
    // False (and a CannotOpen result for load()) when the file cannot be opened.
    bool open(const char* path);
    // Loads the opened file and closes it; `strict` refuses a file with warnings.
    ImageLoad load(bool strict = false);
    // Closes the file without loading it.
    void close() { file_.close(); }

private:
    HexFile file_;
    bool opened_ = false;
};

// open() and load() in one.
ImageLoad load_image(const char* path, bool strict = false);

// What the operator is told of a load: for a failure, the message on
// standard output and the reason on standard error; for a usable image, the
// loader's warnings.
Problem describe_image_load(const ImageLoad& load, const char* path);
