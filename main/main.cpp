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
#include "report/report.h"
#include "session/exit_status.h"
#include "station/station.h"

namespace {

// stbload --job JOB PORT | --job JOB --check [--json] | --job JOB --station [...]
int run_job(int argc, char** argv, bool json) {
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
    if (argc == 4 && std::strcmp(argv[3], "--check") == 0) return run_job_check(argv[2], json);
    if (argc == 4 && argv[3][0] != '-') {
        const PortName port = parse_port_name(argv[3]);
        note_port_argument(argv[3], port);
        return run_job_download(argv[2], port, argv[3]);
    }
    console_print("Usage: stbload --job JOB PORT | --job JOB --check | --job JOB --station [PORTS] [options]\r\n");
    return EXIT_USAGE;
}

// Whether standard output is for data alone: a JSON document (--json after
// --list, --check or --job), or the station's events (--events -). Takes
// --json out of the arguments.
bool output_is_data(std::vector<char*>& args) {
    bool data = false;
    const bool may_json = args.size() >= 2 && (std::strcmp(args[1], "--list") == 0 ||
                                                std::strcmp(args[1], "--check") == 0 ||
                                                std::strcmp(args[1], "--job") == 0);
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (may_json && std::strcmp(args[i], "--json") == 0) {
            args.erase(args.begin() + static_cast<long>(i--));
            data = true;
        } else if (std::strcmp(args[i], "--events") == 0 && i + 1 < args.size() && std::strcmp(args[i + 1], "-") == 0) {
            data = true;
        }
    }
    return data;
}

}  // namespace

int main(int raw_argc, char** raw_argv) {
    read_environment();
    console_setup();
    std::vector<char*> args(raw_argv, raw_argv + raw_argc);
    const bool data = output_is_data(args);
    const int argc = static_cast<int>(args.size());
    char** argv = args.data();
    if (argc == 2 && is_version_flag(argv[1])) {
        print_version();
        return EXIT_DOWNLOAD_COMPLETED;
    }
    // With standard output for data, it holds that alone: no banner, the messages on standard error.
    if (data) {
        console_keep_stdout_for_data();
    } else {
        console_print("This program is used to download data to STB which has loader.\r\n");
    }
    if (argc == 2 && is_help_flag(argv[1])) {
        print_help();
        return EXIT_DOWNLOAD_COMPLETED;
    }
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) return run_port_list(data);
    if (argc >= 2 && std::strcmp(argv[1], "--station") == 0) return run_station(argc - 2, argv + 2);
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return run_check(argv[2], data);
    if (argc >= 2 && std::strcmp(argv[1], "--job") == 0) return run_job(argc, argv, data);
    if (argc >= 2 && std::strcmp(argv[1], "--report") == 0) return run_report(argc - 2, argv + 2);
    if (argc < 3) {
        print_usage();
        return EXIT_USAGE;
    }
    const PortName port = parse_port_name(argv[1]);
    note_port_argument(argv[1], port);
    return run_download(port, argv[2]);
}
