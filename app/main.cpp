#include "console/console.h"
#include "app/download.h"
#include "app/port_number.h"

int main(int argc, char** argv) {
    console_setup();
    console_print("This program is used to download data to STB which has loader.\r\n");
    if (argc < 3) {
        console_print("Usage: cmd port hexfile\r\n");
        console_flush();
        return EXIT_USAGE;
    }
    const int status = run_download(parse_port_number(argv[1]), argv[2]);
    console_flush();
    return status;
}
