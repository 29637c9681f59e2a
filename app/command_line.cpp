#include "app/command_line.h"

#include <cstring>

#include "console/console.h"
#include "link/serial_port.h"
#include "session/exit_status.h"

bool is_version_flag(const char* arg) {
    return std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-V") == 0;
}

bool is_help_flag(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "/?") == 0;
}

void print_version() {
    console_print("stbload %s\r\n", STBLOAD_VERSION);
}

void print_usage() {
    console_print("Usage: cmd port hexfile\r\n");
}

void print_help() {
    print_usage();
    console_print("\r\n"
                  "  stbload PORT HEXFILE     download HEXFILE (Intel HEX) into the box on PORT\r\n"
                  "  stbload --check HEXFILE  show what a download of HEXFILE would send and its\r\n"
                  "                           fingerprint (CRC-32, SHA-256), without a port\r\n"
                  "  stbload --list           list the serial ports, and how to name each as PORT\r\n"
                  "  stbload --station PORTS HEXFILE [--log FILE] [--continuous [--rearm-quiet S]]\r\n"
                  "                           flash a box on every port of PORTS (\"3,5,7-12\")\r\n"
                  "  stbload --job JOB PORT   one box under a job (TOML): its image locked to its\r\n"
                  "                           fingerprint, numbers of its own, its boot checked\r\n"
                  "  stbload --job JOB --station [PORTS] [options as for --station]\r\n"
                  "                           a station under a job; options go before the job's\r\n"
                  "  stbload --job JOB --check  whether a box could be flashed under the job, and\r\n"
                  "                           the numbers the next box would get\r\n"
                  "  stbload --report LOG... [--html FILE]\r\n"
                  "                           figures of station logs (by station, port, day,\r\n"
                  "                           image; failures; weak ports), and a page of charts\r\n"
                  "  --station also takes --events FILE (JSON lines; - for standard output) and\r\n"
                  "  --no-bell; --list, --check and --job JOB --check take --json\r\n"
                  "  stbload --version        print the version\r\n"
                  "  stbload --help           print this help\r\n"
                  "\r\n"
                  "%s"
                  "\r\n"
                  "Exit status: %d when the box confirmed the download (\"Download completed\"),\r\n"
                  "%d for any failure (the message says which), %d for a wrong command line.\r\n"
                  "\r\n"
                  "Environment:\r\n"
                  "%s"
                  "  STBLOAD_DB_PASSWORD    the password for a job's [line] database\r\n"
                  "  STBLOAD_TRACE=FILE     append a trace of the run to FILE\r\n"
                  "  STBLOAD_PROGRESS=off   no progress, window title or taskbar progress\r\n",
                  PORT_HELP, EXIT_DOWNLOAD_COMPLETED, EXIT_FAILED, EXIT_USAGE, PORT_ENVIRONMENT_HELP);
}
