#include "console/system_error.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

void describe_system_error(int code, char* text, std::size_t size) {
    if (size == 0) return;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        std::snprintf(text, size, "system error %d", code);
        return;
    }
    // FormatMessage ends its sentences with ".\r\n"; the notes add their own end.
    std::size_t end = std::strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.')) {
        --end;
    }
    text[end] = '\0';
}
