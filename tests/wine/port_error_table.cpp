// port_error_table: prints what the Windows port code makes of each error code
// given on the command line, one "CODE MEANING" line each (retry, lost,
// failed), for the Wine tests to compare with the codes Windows documents.
#include <cstdio>
#include <cstdlib>

#include "link/serial_port.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const int code = std::atoi(argv[i]);
        const char* meaning = "failed";
        switch (classify_port_error(code)) {
        case PortError::Retry: meaning = "retry"; break;
        case PortError::Lost: meaning = "lost"; break;
        case PortError::Failed: break;
        }
        std::printf("%d %s\n", code, meaning);
    }
    return 0;
}
