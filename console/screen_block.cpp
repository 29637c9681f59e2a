#include "console/screen_block.h"

#include <cstring>
#include <utility>

#include "console/environment.h"

ScreenLine::ScreenLine(std::string line, Colour colour) : text(std::move(line)) {
    if (colour != Colour::Default && !text.empty()) spans.push_back({0, text.size(), colour});
}

bool colours_allowed() {
    const char* no_color = environment_value("NO_COLOR");
    const char* term = environment_value("TERM");
    return (no_color == nullptr || no_color[0] == '\0') && (term == nullptr || std::strcmp(term, "dumb") != 0);
}

std::string ScreenBlock::coloured(const ScreenLine& line, std::size_t width) const {
    const std::size_t size = line.text.size() < width ? line.text.size() : width;
    if (!colours_ || line.spans.empty()) return line.text.substr(0, size);
    static const char* const SGR[] = {"", "\x1b[32m", "\x1b[31m", "\x1b[33m"};
    std::string out;
    std::size_t at = 0;
    for (const ColourSpan& span : line.spans) {
        if (span.start >= size) break;
        const std::size_t end = span.start + span.length < size ? span.start + span.length : size;
        out.append(line.text, at, span.start - at);
        out += SGR[static_cast<int>(span.colour)];
        out.append(line.text, span.start, end - span.start);
        out += "\x1b[0m";
        at = end;
    }
    out.append(line.text, at, size - at);
    return out;
}
