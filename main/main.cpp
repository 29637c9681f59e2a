// The program's entry: the command line picks the front end, a single
// download (app/), a station of many ports (station/) or the report (report/).
#include <cstring>
#include <string>
#include <vector>

#include "app/approval_commands.h"
#include "app/check.h"
#include "app/command_line.h"
#include "app/diagnostics.h"
#include "app/download.h"
#include "app/job_check.h"
#include "app/port_listing.h"
#include "console/console.h"
#include "console/environment.h"
#include "link/port_name.h"
#include "report/line_view.h"
#include "report/report.h"
#include "console/exit_status.h"
#include "station/station.h"

namespace {

// A station's events on standard output: "--events -" among its arguments.
bool events_to_stdout(const std::vector<char*>& args) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (std::strcmp(args[i], "--events") == 0 && std::strcmp(args[i + 1], "-") == 0) return true;
    }
    return false;
}

DownloadOptions download_options(const CommandLine& asked) {
    return DownloadOptions{asked.strict, asked.stall_s, asked.flash_write_max_s, asked.operator_name, asked.work_order};
}

int run(CommandLine& asked) {
    switch (asked.command) {
    case Command::Help:
        print_help();
        return EXIT_DOWNLOAD_COMPLETED;
    case Command::List:
        return run_port_list(asked.json);
    case Command::Check:
        return run_check(asked.file, asked.json, asked.strict);
    case Command::JobCheck:
        return run_job_check(asked.job, asked.json, asked.strict);
    case Command::JobApprove:
    case Command::JobRevoke:
        return run_job_approval(asked.job, asked.command == Command::JobRevoke);
    case Command::Station:
        return run_station(static_cast<int>(asked.rest.size()), asked.rest.data());
    case Command::Report:
        return run_report(static_cast<int>(asked.rest.size()), asked.rest.data());
    case Command::LineView:
        return run_line_view(static_cast<int>(asked.rest.size()), asked.rest.data());
    case Command::JobDownload: {
        const PortName port = parse_port_name(asked.port);
        note_port_argument(asked.port, port);
        return run_job_download(asked.job, port, asked.port, download_options(asked));
    }
    case Command::Download: {
        const PortName port = parse_port_name(asked.port);
        note_port_argument(asked.port, port);
        return run_download(port, asked.file, download_options(asked));
    }
    case Command::Usage:
    case Command::Version:
        break;
    }
    print_usage();
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    read_environment();
    console_setup();
    CommandLine asked;
    std::string error;
    const bool parsed = parse_command_line(argc, argv, asked, error);
    if (parsed && asked.command == Command::Version) {
        print_version();
        return EXIT_DOWNLOAD_COMPLETED;
    }
    // With standard output for data (a JSON document, the station's events),
    // it holds that alone: no banner, the messages on standard error.
    if (parsed && (asked.json || (asked.command == Command::Station && events_to_stdout(asked.rest)))) {
        console_keep_stdout_for_data();
    } else {
        console_print("This program is used to download data to STB which has loader.\r\n");
    }
    if (!parsed) {
        if (asked.job.empty()) {
            print_usage();
        } else {
            console_print("Usage: stbload --job JOB PORT | --job JOB --check | --job JOB --station [PORTS] [options]\r\n");
        }
        console_note("%s", error.c_str());
        return EXIT_USAGE;
    }
    return run(asked);
}
