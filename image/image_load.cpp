#include "image/image_load.h"


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

Problem describe_image_load(const ImageLoad& load, const char* path) {
    Problem report;
    if (!load.ready()) report.message = image_file_message(load.outcome, path);
    describe_image_file(
        load.outcome, path, load.report, load.error,
        [](void* notes, const char* text) { static_cast<std::vector<std::string>*>(notes)->emplace_back(text); },
        &report.notes);
    return report;
}
