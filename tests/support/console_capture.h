// Captures everything printed through the console module while in scope.
#pragma once

#include <string>

#include "console/console.h"

class ConsoleCapture {
public:
    ConsoleCapture() { console_capture(&append, &text_); }
    ~ConsoleCapture() { console_capture(nullptr, nullptr); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    const std::string& text() const { return text_; }

private:
    static void append(void* context, const char* text, std::size_t size) {
        static_cast<std::string*>(context)->append(text, size);
    }
    std::string text_;
};
