#include "app/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "link/serial_port.h"
#include "console/exit_status.h"

namespace {

// An option the station takes, given to another command, is named as the
// station's; anything else is unknown.
std::string unknown_option(const char* arg) {
    for (const char* station_only : {"--log", "--events", "--continuous", "--rearm-quiet", "--no-bell", "--serve",
                                     "--serve-name", "--name"}) {
        if (std::strcmp(arg, station_only) == 0) {
            return std::string(arg) + " goes with --station (stbload --station PORTS HEXFILE " + arg + " ...)";
        }
    }
    return std::string("unknown option ") + arg;
}

bool is_option(const char* arg) {
    return arg[0] == '-' && arg[1] == '-';
}

bool same(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// Seconds from 1 to a day, for --stall and --flash-write-max.
bool parse_limit(const char* option, const char* value, double& seconds, std::string& error) {
    char* end = nullptr;
    const double parsed = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(parsed >= 1 && parsed <= 86400)) {
        error = std::string(option) + " takes seconds from 1 to 86400, not \"" + value + "\"";
        return false;
    }
    seconds = parsed;
    return true;
}

// The options that may come before the port (or before --check, --list):
// each sets its part of `parsed`. False, with `error`, for one that is unknown
// or lacks its value. `at` moves past a value taken.
bool take_leading_option(const std::vector<char*>& args, std::size_t& at, CommandLine& parsed, bool& check, bool& list,
                         std::string& error) {
    const char* arg = args[at];
    const bool has_value = at + 1 < args.size();
    if (same(arg, "--job") || same(arg, "--stall") || same(arg, "--flash-write-max") || same(arg, "--operator") ||
        same(arg, "--work-order")) {
        if (!has_value) {
            error = std::string(arg) + " needs a value";
            return false;
        }
        const char* value = args[++at];
        if (same(arg, "--job")) {
            parsed.job = value;
            return true;
        }
        if (same(arg, "--operator") || same(arg, "--work-order")) {
            (same(arg, "--operator") ? parsed.operator_name : parsed.work_order) = value;
            return true;
        }
        return parse_limit(arg, value, same(arg, "--stall") ? parsed.stall_s : parsed.flash_write_max_s, error);
    }
    if (same(arg, "--approve") || same(arg, "--revoke")) {
        if (parsed.act != nullptr && !same(parsed.act, arg)) {
            error = "--approve and --revoke go one at a time";
            return false;
        }
        parsed.act = arg;
    } else if (same(arg, "--check")) {
        check = true;
    } else if (same(arg, "--list")) {
        list = true;
    } else if (same(arg, "--json")) {
        parsed.json = true;
    } else if (same(arg, "--strict")) {
        parsed.strict = true;
    } else {
        error = unknown_option(arg);
        return false;
    }
    return true;
}

// A command's plain arguments, in their places in `parsed`.
bool take_plain(const std::vector<char*>& plain, CommandLine& parsed, std::string& error) {
    switch (parsed.command) {
    case Command::Download:
        // Further arguments after PORT HEXFILE are ignored, as they always were.
        if (plain.size() < 2) {
            parsed.command = Command::Usage;
            return true;
        }
        parsed.port = plain[0];
        parsed.file = plain[1];
        return true;
    case Command::JobDownload:
        if (plain.size() != 1) {
            error = plain.empty() ? "--job JOB takes a PORT, --check or --station" : "--job JOB takes one PORT";
            return false;
        }
        parsed.port = plain[0];
        return true;
    case Command::Check:
        if (plain.size() != 1) {
            error = "--check takes one hex file";
            return false;
        }
        parsed.file = plain[0];
        return true;
    case Command::JobCheck:
    case Command::JobApprove:
    case Command::JobRevoke:
    case Command::List:
        if (!plain.empty()) {
            error = std::string(parsed.command == Command::List ? "--list"
                                : parsed.command == Command::JobCheck ? "--job JOB --check"
                                                                      : parsed.act) +
                    " takes no " +
                    "further argument: " + plain[0];
            return false;
        }
        return true;
    default:
        return true;
    }
}

// What comes after the options, for each command: its plain arguments and
// where options may still stand.
bool take_the_rest(const std::vector<char*>& args, std::size_t at, CommandLine& parsed, std::string& error,
                   char* port = nullptr) {
    std::vector<char*> plain;
    if (port != nullptr) plain.push_back(port);
    for (std::size_t i = at; i < args.size(); ++i) {
        if (!is_option(args[i])) {
            plain.push_back(args[i]);
            continue;
        }
        // --json may stand anywhere among the arguments of a command that takes it.
        const bool takes_json =
            parsed.command == Command::Check || parsed.command == Command::JobCheck || parsed.command == Command::List;
        if (takes_json && same(args[i], "--json")) {
            parsed.json = true;
            continue;
        }
        if (parsed.command == Command::Download && plain.size() >= 2) {
            error = std::string(args[i]) + " after the hex file: options go before the port (stbload [--strict] "
                                           "[--stall S] [--flash-write-max S] PORT HEXFILE)";
        } else if (parsed.command == Command::JobDownload && !plain.empty()) {
            error = std::string(args[i]) + " after the port: options go before it (stbload --job JOB [--stall S] "
                                           "[--flash-write-max S] PORT)";
        } else {
            error = unknown_option(args[i]);
        }
        return false;
    }
    return take_plain(plain, parsed, error);
}

// A station and the line view read their own options, wherever they stand:
// `parsed.rest` gets every argument but its "--station" (or "--line-view").
// False if neither is among the leading options.
bool take_front(const std::vector<char*>& args, CommandLine& parsed) {
    for (std::size_t i = 0; i < args.size() && is_option(args[i]); ++i) {
        const bool station = same(args[i], "--station");
        if (!station && !same(args[i], "--line-view")) {
            for (const char* valued : {"--job", "--log", "--events", "--stall", "--flash-write-max", "--rearm-quiet",
                                       "--serve", "--serve-name", "--name", "--operator", "--work-order"}) {
                if (same(args[i], valued)) {
                    ++i;  // its value is no option
                    break;
                }
            }
            continue;
        }
        parsed.command = station ? Command::Station : Command::LineView;
        for (std::size_t k = 0; k < args.size(); ++k) {
            if (k != i) parsed.rest.push_back(args[k]);
        }
        return true;
    }
    return false;
}

// The command the leading options make, and whether they go together.
bool choose_command(bool check, bool list, CommandLine& parsed, std::string& error) {
    if (parsed.act != nullptr) {
        parsed.command = same(parsed.act, "--approve") ? Command::JobApprove : Command::JobRevoke;
        if (parsed.job.empty() || check || list || parsed.json || parsed.strict || parsed.stall_s > 0 ||
            parsed.flash_write_max_s > 0) {
            error = std::string(parsed.act) + " goes with --job JOB alone (stbload --job JOB " + parsed.act + ")";
            return false;
        }
        return true;
    }
    parsed.command = list    ? Command::List
                   : check ? (parsed.job.empty() ? Command::Check : Command::JobCheck)
                   : parsed.job.empty() ? Command::Download
                                      : Command::JobDownload;
    if (list && (check || !parsed.job.empty())) {
        error = "--list goes alone (or with --json)";
        return false;
    }
    if (parsed.json && parsed.command != Command::Check && parsed.command != Command::JobCheck &&
        parsed.command != Command::List) {
        error = "--json goes with --list, --check FILE and --job JOB --check";
        return false;
    }
    const bool download = parsed.command == Command::Download || parsed.command == Command::JobDownload;
    if (!download && (parsed.stall_s > 0 || parsed.flash_write_max_s > 0)) {
        error = "--stall and --flash-write-max go with a download or a station";
        return false;
    }
    if (parsed.command != Command::JobDownload && (!parsed.operator_name.empty() || !parsed.work_order.empty())) {
        error = "--operator and --work-order go with a download under a job or a station";
        return false;
    }
    if (parsed.strict && parsed.command == Command::List) {
        error = "--strict goes with a hex file";
        return false;
    }
    return true;
}

}  // namespace

bool parse_command_line(int argc, char** argv, CommandLine& parsed, std::string& error) {
    parsed = CommandLine();
    const std::vector<char*> args(argv + 1, argv + argc);
    if (args.size() == 1 && is_version_flag(args[0])) {
        parsed.command = Command::Version;
        return true;
    }
    if (args.size() == 1 && is_help_flag(args[0])) {
        parsed.command = Command::Help;
        return true;
    }
    // Either flag with more after it is a port, as any first argument always was.
    if (args.size() >= 2 && (is_version_flag(args[0]) || is_help_flag(args[0]))) {
        parsed.command = Command::Download;
        return take_the_rest(args, 1, parsed, error, args[0]);
    }
    if (!args.empty() && same(args[0], "--report")) {
        parsed.command = Command::Report;
        parsed.rest.assign(args.begin() + 1, args.end());
        return true;
    }
    if (take_front(args, parsed)) return true;
    bool check = false;
    bool list = false;
    std::size_t at = 0;
    for (; at < args.size() && is_option(args[at]); ++at) {
        if (same(args[at], "--report")) {
            error = "--report goes first: stbload --report LOG... [--html FILE]";
            return false;
        }
        if (!take_leading_option(args, at, parsed, check, list, error)) return false;
    }
    return choose_command(check, list, parsed, error) && take_the_rest(args, at, parsed, error);
}

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
                  "                           flash a box on every port of PORTS (\"3,5,7-12\");\r\n"
                  "                           (a port's name and Enter at its screen resets it)\r\n"
                  "  stbload --job JOB PORT   one box under a job (TOML): its image locked to its\r\n"
                  "                           fingerprint, numbers of its own, its boot checked\r\n"
                  "  stbload --job JOB --station [PORTS] [options as for --station]\r\n"
                  "                           a station under a job; options go before the job's\r\n"
                  "  stbload --job JOB --check  whether a box could be flashed under the job, and\r\n"
                  "                           the numbers the next box would get\r\n"
                  "  stbload --job JOB --approve | --revoke\r\n"
                  "                           a supervisor approves the job (its bytes and image)\r\n"
                  "                           for its line, or takes the approval back\r\n"
                  "  stbload --report LOG... [--html FILE]\r\n"
                  "                           figures of station logs (by station, port, day,\r\n"
                  "                           image; failures; weak ports), and a page of charts\r\n"
                  "  stbload --job JOB --line-view --serve [ADDR:]PORT\r\n"
                  "                           the whole line's page and JSON, from its database\r\n"
                  "  --station also takes --events FILE (JSON lines; - for standard output),\r\n"
                  "  --no-bell, --stall S (a box that takes no data fails, default 30) and\r\n"
                  "  --flash-write-max S (default 600); a download takes them before PORT.\r\n"
                  "  --station --serve [ADDR:]PORT serves a live page and a JSON API (127.0.0.1\r\n"
                  "  unless ADDR is given), --name NAME names the station (default: host name)\r\n"
                  "  --operator NAME and --work-order TEXT (a station's, or a download's before\r\n"
                  "  PORT) name who flashes and for which order, in every row\r\n"
                  "  --strict before PORT, --check or --station refuses a file with warnings;\r\n"
                  "  --list, --check and --job JOB --check take --json\r\n"
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
                  "  STBLOAD_OPERATOR       the operator's name, where --operator gives none\r\n"
                  "  STBLOAD_DB_USER        the user for a job's [line] database (its Uid otherwise)\r\n"
                  "  STBLOAD_DB_PASSWORD    the password for a job's [line] database\r\n"
                  "  STBLOAD_SERVE_TOKEN    the token that --serve's changes (stop, reset) need\r\n"
                  "  STBLOAD_TRACE=FILE     append a trace of the run to FILE\r\n"
                  "  STBLOAD_PROGRESS=off   no progress, window title or taskbar progress\r\n",
                  PORT_HELP, EXIT_DOWNLOAD_COMPLETED, EXIT_FAILED, EXIT_USAGE, PORT_ENVIRONMENT_HELP);
}
