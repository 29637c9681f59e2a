// The program's entry: the command line picks the front end, a single
// download (app/) or a station of many ports (station/).
#include <cstring>
#include <vector>

#include "app/check.h"
#include "app/command_line.h"
#include "app/diagnostics.h"
#include "app/download.h"
#include "app/job_check.h"
#include "app/port_listing.h"
#include "console/console.h"
#include "console/environment.h"
#include "link/port_name.h"
#include "session/exit_status.h"
#include "station/station.h"

namespace {

// stbload --job JOB PORT | --job JOB --check | --job JOB --station [...]
int run_job(int argc, char** argv) {
    std::vector<char*> station;  // the arguments but "--station", for the station's own parser
    bool as_station = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--station") == 0) {
            as_station = true;
        } else {
            station.push_back(argv[i]);
        }
    }
    if (as_station) return run_station(static_cast<int>(station.size()), station.data());
    if (argc == 4 && std::strcmp(argv[3], "--check") == 0) return run_job_check(argv[2]);
    if (argc == 4 && argv[3][0] != '-') {
        const PortName port = parse_port_name(argv[3]);
        note_port_argument(argv[3], port);
        return run_job_download(argv[2], port, argv[3]);
    }
    console_print("Usage: stbload --job JOB PORT | --job JOB --check | --job JOB --station [PORTS] [options]\r\n");
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    read_environment();
    console_setup();
    if (argc == 2 && is_version_flag(argv[1])) {
        print_version();
        return EXIT_DOWNLOAD_COMPLETED;
    }
    console_print("This program is used to download data to STB which has loader.\r\n");
    if (argc == 2 && is_help_flag(argv[1])) {
        print_help();
        return EXIT_DOWNLOAD_COMPLETED;
    }
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) return run_port_list();
    if (argc >= 2 && std::strcmp(argv[1], "--station") == 0) return run_station(argc - 2, argv + 2);
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return run_check(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "--job") == 0) return run_job(argc, argv);
    if (argc < 3) {
        print_usage();
        return EXIT_USAGE;
    }
    const PortName port = parse_port_name(argv[1]);
    note_port_argument(argv[1], port);
    return run_download(port, argv[2]);
}
