#include "console/figures.h"

#include <cstdio>

void format_duration(double seconds, char* text, std::size_t size) {
    const auto whole = static_cast<unsigned long>(seconds < 0 ? 0 : seconds + 0.5);
    if (whole >= 3600) {
        std::snprintf(text, size, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, size, "%lu:%02lu", whole / 60, whole % 60);
    }
}

void format_thousands(unsigned long long value, char* text, std::size_t size) {
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%llu", value);
    std::size_t out = 0;
    for (int i = 0; i < n && out + 1 < size; ++i) {
        if (i > 0 && (n - i) % 3 == 0 && out + 2 < size) text[out++] = ',';
        text[out++] = digits[i];
    }
    if (size > 0) text[out < size ? out : size - 1] = '\0';
}
