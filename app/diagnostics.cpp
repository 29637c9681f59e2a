#include "app/diagnostics.h"

#include <cstring>

#include "console/console.h"

void note_port_argument(const char* argument, const PortName& name) {
    if (name.kind != PortKind::Number) return;
    const int port_number = name.number;
    switch (name.form) {
    case PortArgument::Plain:
    case PortArgument::ComName:
        return;
    case PortArgument::OutOfRange:
        console_note("port \"%s\" is out of range, so COM%d was tried", argument, port_number);
        return;
    case PortArgument::NotANumber:
        break;
    }
    // "COM3x" and the like: suggest the digits it holds.
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
