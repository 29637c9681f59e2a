// The command line: which front end runs, with which options; the two
// conventional flags; the help text.
#pragma once

#include <string>
#include <vector>

// What the command line asks for.
enum class Command {
    Download,     // stbload [options] PORT HEXFILE
    JobDownload,  // stbload --job JOB [options] PORT
    Check,        // stbload [--strict] --check HEXFILE [--json]
    JobCheck,     // stbload --job JOB --check [--json]
    JobApprove,   // stbload --job JOB --approve
    JobRevoke,    // stbload --job JOB --revoke
    List,         // stbload --list [--json]
    Station,      // stbload [--job JOB] --station ...: the station reads the rest itself
    Report,       // stbload --report ...: the report reads the rest itself
    LineView,     // stbload --job JOB --line-view --serve ...: the view reads the rest itself
    Version,
    Help,
    Usage,        // too few arguments for a download: the usage line
};

struct CommandLine {
    Command command = Command::Usage;
    bool json = false;    // --json, where the command takes it: standard output holds one JSON document
    bool strict = false;  // --strict: a hex file with warnings is refused
    // --stall S and --flash-write-max S for a single download (0: no limit).
    double stall_s = 0;
    double flash_write_max_s = 0;
    std::string job;      // --job JOB
    std::string operator_name;  // --operator NAME, for a download under a job
    std::string work_order;     // --work-order TEXT
    const char* act = nullptr;  // "--approve" or "--revoke", as given
    const char* port = nullptr;  // PORT as given
    const char* file = nullptr;  // HEXFILE as given
    // Station, Report and LineView: their own arguments, in order (without
    // "--station", "--report" or "--line-view"); a station's and the view's
    // include --job JOB.
    std::vector<char*> rest;
};

// Reads the arguments (argv[1] on). False, with `error` naming what is wrong
// (an unknown option, an option after the hex file, a value missing), for a
// command line that cannot be run: exit status 2.
bool parse_command_line(int argc, char** argv, CommandLine& parsed, std::string& error);

// True for the one argument that asks for the version: "--version" or "-V".
bool is_version_flag(const char* arg);

// True for the one argument that asks for help: "--help", "-h" or "/?".
bool is_help_flag(const char* arg);

// Prints the version line: "stbload 1.1.0".
void print_version();

// Prints the usage parsed.
void print_usage();

// Prints the help after the banner: the usage line, what PORT means on this
// platform, the exit statuses and the environment variables the tool reads.
void print_help();
