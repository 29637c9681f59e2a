// A job: the image a line flashes, locked to its fingerprint, the numbers of
// its own that every box gets, how a box names itself and proves its boot,
// and the station's defaults. Read from a TOML file and checked whole before
// any port is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class UniqueFormat {
    Decimal,  // ASCII digits, zero-padded to `width`, after `prefix`
    Mac,      // 6 bytes, most significant first
    U32le,    // 4 bytes, least significant first
    U32be,    // 4 bytes, most significant first
};

// A number of its own for every box: the next value of a range, written at `address`.
struct UniqueField {
    std::string name;
    std::uint32_t address = 0;  // device address of its first byte
    UniqueFormat format = UniqueFormat::Decimal;
    std::string prefix;         // Decimal only
    unsigned width = 0;         // Decimal only: digits
    std::uint64_t first = 0;
    std::uint64_t last = 0;

    // Bytes the field takes in the image.
    std::size_t size() const;
};

// [line]: the line's database, which keeps one pool of numbers for every
// bench of the job and one record of every box.
struct LineSettings {
    std::string database;  // an ODBC connection string: "DSN=stbline" or "Driver={...};Server=...", no password
    std::string pool;      // the job's name in the database
    std::uint64_t lease = 50;  // values a station takes from the pool at a time
    bool approval_required = true;  // approval = "required" (the default) or "none"
};

struct Job {
    std::string path;       // the job file as given
    std::string file_sha256;  // of the file's bytes, as a supervisor approves them
    std::string folder;     // where relative paths in it start ("" for the current folder)
    std::string image_file; // as the job names it, relative paths taken from `folder`
    std::uint32_t crc32 = 0;
    std::optional<std::string> sha256;  // 64 lower-case hex digits
    bool strict = false;                // [image] strict: a file with warnings is refused
    std::vector<UniqueField> unique;
    std::optional<std::string> identity_pattern;  // ECMAScript
    std::optional<std::string> boot_expect;
    double boot_within_s = 30;
    // [station]: empty or unset where the job leaves them to the command line.
    std::string station_ports;
    std::string station_log;  // relative paths taken from `folder`
    std::optional<bool> continuous;
    std::optional<double> rearm_quiet_s;
    std::optional<double> stall_s;            // the station's limits for a box (see SessionLimits)
    std::optional<double> flash_write_max_s;
    std::string station_name;  // names the station in its rows, events and views; empty: the host name
    bool operator_required = false;  // [station] operator = "required": no station runs without one
    std::string work_order;          // [job] work_order: the order the boxes are flashed for
    // [serve]: the station's web server, "[ADDR:]PORT", and more names for its Host check.
    std::string serve_listen;
    std::vector<std::string> serve_names;
    std::string numbers_journal;  // [numbers] journal, as the job names it; empty: beside the job
    std::optional<LineSettings> line;

    // The journal of the job's numbers: as [numbers] journal names it (from
    // the job's folder when relative), else the job's file name with ".numbers".
    std::string journal_path() const;
    // The job's results log: as its [station] log names it (from the job's
    // folder when relative), else stbload-station.csv in the current folder.
    std::string log_path() const;
};

// Reads and checks the job at `path`. False, with `problems` (each
// "KEY: what is wrong", the key as the file spells it: "unique[2].address"),
// for a job that cannot be used.
bool read_job(const std::string& path, Job& job, std::vector<std::string>& problems);

// The same for the job's text, read from `path`.
bool read_job_text(const std::string& text, const std::string& path, Job& job, std::vector<std::string>& problems);

// A path of the job's: as it is when absolute, else from the job's folder.
std::string job_relative(const Job& job, const std::string& path);
