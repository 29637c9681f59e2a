#include "session/image_load.h"

#include <cstdio>

bool ImageLoader::open(const char* path) {
    opened_ = file_.open(path);
    return opened_;
}

ImageLoad ImageLoader::load(bool strict) {
    ImageLoad load;
    if (opened_) load.outcome = load_image_file(file_, load.report, strict);
    load.error = file_.error();
    if (load.ready()) load.window = loaded_image_window();
    return load;
}

ImageLoad load_image(const char* path, bool strict) {
    ImageLoader loader;
    loader.open(path);
    return loader.load(strict);
}

ConsoleReport describe_image_load(const ImageLoad& load, const char* path) {
    ConsoleReport report;
    if (!load.ready()) {
        const char* format = image_file_message(load.outcome);
        const int size = std::snprintf(nullptr, 0, format, path);
        if (size > 0) {
            report.message.resize(static_cast<std::size_t>(size) + 1);
            std::snprintf(report.message.data(), report.message.size(), format, path);
            report.message.pop_back();
        }
    }
    describe_image_file(
        load.outcome, path, load.report, load.error,
        [](void* notes, const char* text) { static_cast<std::vector<std::string>*>(notes)->emplace_back(text); },
        &report.notes);
    return report;
}
