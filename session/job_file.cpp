// Reading a job: toml++ (header-only, without exceptions) parses the file;
// everything it holds is then checked here, key by key, and every problem
// named with its key.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "image/hex_image.h"
#include "session/job.h"
#include "session/unique_value.h"

namespace {

constexpr std::size_t JOB_FILE_MAX = 1024 * 1024;

std::string hex32(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIX64, value);
    return text;
}

// Collects the problems of one job, each with its key.
class Checker {
public:
    explicit Checker(std::vector<std::string>& problems) : problems_(problems) {}

    void problem(const std::string& key, const std::string& what) { problems_.push_back(key + ": " + what); }

    // The keys of `table` that are not among `known`.
    void only(const toml::table& table, const std::string& where, const std::set<std::string>& known) {
        for (auto&& [key, node] : table) {
            const std::string name(key.str());
            if (known.count(name) == 0) problem(where.empty() ? name : where + "." + name, "unknown key");
        }
    }

    std::optional<std::string> text(const toml::table& table, const std::string& where, const char* key,
                                     bool required) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            if (required) problem(where + "." + key, "missing");
            return std::nullopt;
        }
        if (!node->is_string()) {
            problem(where + "." + key, "must be a string in quotes");
            return std::nullopt;
        }
        return node->value<std::string>();
    }

    std::optional<std::int64_t> integer(const toml::table& table, const std::string& where, const char* key,
                                        bool required) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            if (required) problem(where + "." + key, "missing");
            return std::nullopt;
        }
        if (!node->is_integer()) {
            problem(where + "." + key, "must be a whole number");
            return std::nullopt;
        }
        return node->value<std::int64_t>();
    }

    std::optional<double> number(const toml::table& table, const std::string& where, const char* key, double low,
                                 double high) {
        const toml::node* node = table.get(key);
        if (node == nullptr) return std::nullopt;
        if (!node->is_number()) {
            problem(where + "." + key, "must be a number");
            return std::nullopt;
        }
        const double value = node->value<double>().value_or(0);
        if (!(value >= low && value <= high)) {
            std::ostringstream range;
            range << "must lie from " << low << " to " << high << ", not " << value;
            problem(where + "." + key, range.str());
            return std::nullopt;
        }
        return value;
    }

    std::optional<bool> boolean(const toml::table& table, const std::string& where, const char* key) {
        const toml::node* node = table.get(key);
        if (node == nullptr) return std::nullopt;
        if (!node->is_boolean()) {
            problem(where + "." + key, "must be true or false");
            return std::nullopt;
        }
        return node->value<bool>();
    }

private:
    std::vector<std::string>& problems_;
};

bool all_hex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

void read_image(Checker& check, const toml::table& image, Job& job) {
    check.only(image, "image", {"file", "crc32", "sha256"});
    if (const auto file = check.text(image, "image", "file", true)) {
        if (file->empty()) {
            check.problem("image.file", "empty");
        } else {
            job.image_file = *file;
        }
    }
    const toml::node* crc = image.get("crc32");
    if (crc == nullptr) {
        check.problem("image.crc32", "missing: the image's CRC-32 as stbload --check prints it");
    } else if (crc->is_integer()) {
        const std::int64_t value = crc->value<std::int64_t>().value_or(-1);
        if (value < 0 || value > 0xFFFFFFFFLL) {
            check.problem("image.crc32", "not a CRC-32: " + std::to_string(value));
        } else {
            job.crc32 = static_cast<std::uint32_t>(value);
        }
    } else {
        const std::string text = crc->value<std::string>().value_or("");
        if (text.size() != 10 || (text.compare(0, 2, "0x") != 0 && text.compare(0, 2, "0X") != 0) ||
            !all_hex(text.substr(2))) {
            check.problem("image.crc32", "\"" + text + "\" is not a CRC-32 as stbload --check prints it (0x5E1F0C27)");
        } else {
            job.crc32 = static_cast<std::uint32_t>(std::stoul(text.substr(2), nullptr, 16));
        }
    }
    if (const auto sha = check.text(image, "image", "sha256", false)) {
        if (sha->size() != 64 || !all_hex(*sha)) {
            check.problem("image.sha256", "must be 64 hex digits, as stbload --check prints it");
        } else {
            std::string lower = *sha;
            for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
            job.sha256 = lower;
        }
    }
}

// A range end of `field`: a whole number, or for a MAC its text.
std::optional<std::uint64_t> range_end(Checker& check, const toml::table& table, const std::string& where,
                                       const char* key, const UniqueField& field) {
    const toml::node* node = table.get(key);
    const std::string name = where + "." + key;
    if (node == nullptr) {
        check.problem(name, "missing");
        return std::nullopt;
    }
    if (field.format == UniqueFormat::Mac) {
        std::uint64_t value = 0;
        if (!node->is_string() || !parse_mac(node->value<std::string>().value_or(""), value)) {
            check.problem(name, "must be a MAC address in quotes, six hex pairs with colons: \"00:1A:2B:00:00:00\"");
            return std::nullopt;
        }
        return value;
    }
    if (!node->is_integer() || node->value<std::int64_t>().value_or(-1) < 0) {
        check.problem(name, "must be a whole number, 0 or more");
        return std::nullopt;
    }
    const auto value = static_cast<std::uint64_t>(node->value<std::int64_t>().value_or(0));
    if (field.format == UniqueFormat::Decimal && field.width > 0 && field.width < 19) {
        std::uint64_t limit = 1;
        for (unsigned i = 0; i < field.width; ++i) limit *= 10;
        if (value >= limit) {
            check.problem(name, std::to_string(value) + " does not fit in " + std::to_string(field.width) + " digits");
            return std::nullopt;
        }
    }
    if ((field.format == UniqueFormat::U32le || field.format == UniqueFormat::U32be) && value > 0xFFFFFFFFULL) {
        check.problem(name, std::to_string(value) + " does not fit in 32 bits");
        return std::nullopt;
    }
    return value;
}

void read_unique(Checker& check, const toml::table& table, const std::string& where, Job& job) {
    check.only(table, where, {"name", "address", "format", "prefix", "width", "first", "last"});
    UniqueField field;
    bool usable = true;
    if (const auto name = check.text(table, where, "name", true)) {
        if (name->empty() || name->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") !=
                                 std::string::npos) {
            check.problem(where + ".name", "\"" + *name + "\" must be letters, digits, '_' or '-'");
            usable = false;
        }
        for (const UniqueField& other : job.unique) {
            if (other.name == *name) {
                check.problem(where + ".name", "\"" + *name + "\" names another field too");
                usable = false;
            }
        }
        field.name = *name;
    } else {
        usable = false;
    }
    const auto format = check.text(table, where, "format", true);
    if (!format) {
        usable = false;
    } else if (*format == "decimal") {
        field.format = UniqueFormat::Decimal;
    } else if (*format == "mac") {
        field.format = UniqueFormat::Mac;
    } else if (*format == "u32le") {
        field.format = UniqueFormat::U32le;
    } else if (*format == "u32be") {
        field.format = UniqueFormat::U32be;
    } else {
        check.problem(where + ".format", "\"" + *format + "\" is none of decimal, mac, u32le, u32be");
        usable = false;
    }
    if (format && field.format == UniqueFormat::Decimal) {
        if (const auto prefix = check.text(table, where, "prefix", false)) field.prefix = *prefix;
        const auto width = check.integer(table, where, "width", true);
        if (width && (*width < 1 || *width > 19)) {
            check.problem(where + ".width", "must lie from 1 to 19 digits");
            usable = false;
        } else if (width) {
            field.width = static_cast<unsigned>(*width);
        } else {
            usable = false;
        }
    } else if (format) {
        for (const char* decimal_only : {"prefix", "width"}) {
            if (table.get(decimal_only) != nullptr) {
                check.problem(where + "." + decimal_only, "goes only with format = \"decimal\"");
            }
        }
    }
    if (const auto address = check.integer(table, where, "address", true)) {
        if (*address < 0 || *address > 0xFFFFFFFFLL) {
            check.problem(where + ".address", "not a device address");
            usable = false;
        } else {
            field.address = static_cast<std::uint32_t>(*address);
        }
    } else {
        usable = false;
    }
    if (!usable) return;
    const auto first = range_end(check, table, where, "first", field);
    const auto last = range_end(check, table, where, "last", field);
    if (!first || !last) return;
    if (*first > *last) {
        check.problem(where + ".first", "comes after last (" + unique_text(field, *first) + " > " +
                                            unique_text(field, *last) + ")");
        return;
    }
    field.first = *first;
    field.last = *last;
    const std::uint64_t start = field.address;
    const std::uint64_t end = start + field.size();
    if (start < IMAGE_BASE || end > IMAGE_BASE + TRANSFER_LENGTH) {
        check.problem(where + ".address", "the field's " + std::to_string(field.size()) + " bytes, " + hex32(start) +
                                              " to " + hex32(end - 1) + ", lie outside 0x4000 to 0xFFFFF");
        return;
    }
    for (const UniqueField& other : job.unique) {
        if (start < other.address + other.size() && other.address < end) {
            check.problem(where + ".address", "the field's bytes, " + hex32(start) + " to " + hex32(end - 1) +
                                                  ", overlap those of " + other.name);
            return;
        }
    }
    job.unique.push_back(field);
}

void read_identity(Checker& check, const toml::table& identity, Job& job) {
    check.only(identity, "identity", {"pattern"});
    const auto pattern = check.text(identity, "identity", "pattern", true);
    if (!pattern) return;
    try {
        const std::regex compiled(*pattern, std::regex::ECMAScript);
        job.identity_pattern = *pattern;
    } catch (const std::regex_error& error) {
        check.problem("identity.pattern", "not a pattern (ECMAScript): " + std::string(error.what()));
    }
}

void read_boot(Checker& check, const toml::table& boot, Job& job) {
    check.only(boot, "boot", {"expect", "within_s"});
    if (const auto expect = check.text(boot, "boot", "expect", true)) {
        if (expect->empty()) {
            check.problem("boot.expect", "empty: every line would prove the boot");
        } else if (expect->find_first_of("\r\n") != std::string::npos) {
            check.problem("boot.expect", "holds a line end: it must lie within one line");
        } else {
            job.boot_expect = *expect;
        }
    }
    if (const auto within = check.number(boot, "boot", "within_s", 1, 3600)) job.boot_within_s = *within;
}

void read_station(Checker& check, const toml::table& station, Job& job) {
    check.only(station, "station", {"ports", "log", "continuous", "rearm_quiet_s"});
    if (const auto ports = check.text(station, "station", "ports", false)) job.station_ports = *ports;
    if (const auto log = check.text(station, "station", "log", false)) {
        if (log->empty()) {
            check.problem("station.log", "empty");
        } else {
            job.station_log = *log;
        }
    }
    job.continuous = check.boolean(station, "station", "continuous");
    job.rearm_quiet_s = check.number(station, "station", "rearm_quiet_s", 0.1, 3600);
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool read_job(const std::string& path, Job& job, std::vector<std::string>& problems) {
    job = Job();
    job.path = path;
    job.folder = folder_of(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problems.push_back("cannot be read");
        return false;
    }
    std::string text;
    text.resize(JOB_FILE_MAX + 1);
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > JOB_FILE_MAX) {
        problems.push_back("larger than a job can be (1 MB)");
        return false;
    }
    toml::parse_result parsed = toml::parse(text, path);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        problems.push_back("line " + std::to_string(error.source().begin.line) + ": " +
                           std::string(error.description()));
        return false;
    }
    const toml::table& root = parsed.table();
    Checker check(problems);
    check.only(root, "", {"image", "unique", "identity", "boot", "station"});
    const toml::node* image = root.get("image");
    if (image == nullptr || !image->is_table()) {
        check.problem("image", image == nullptr ? "missing: the [image] table names the file and its CRC-32"
                                                : "must be a table, [image]");
    } else {
        read_image(check, *image->as_table(), job);
    }
    if (const toml::node* unique = root.get("unique")) {
        if (!unique->is_array_of_tables()) {
            check.problem("unique", "must be tables, [[unique]]");
        } else {
            const toml::array& fields = *unique->as_array();
            for (std::size_t i = 0; i < fields.size(); ++i) {
                read_unique(check, *fields[i].as_table(), "unique[" + std::to_string(i + 1) + "]", job);
            }
        }
    }
    const struct {
        const char* name;
        void (*read)(Checker&, const toml::table&, Job&);
    } tables[] = {{"identity", read_identity}, {"boot", read_boot}, {"station", read_station}};
    for (const auto& table : tables) {
        const toml::node* node = root.get(table.name);
        if (node == nullptr) continue;
        if (!node->is_table()) {
            check.problem(table.name, std::string("must be a table, [") + table.name + "]");
        } else {
            table.read(check, *node->as_table(), job);
        }
    }
    return problems.empty();
}

std::string job_relative(const Job& job, const std::string& path) {
    const bool absolute = (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
                          (path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
    return absolute ? path : job.folder + path;
}

std::string Job::journal_path() const {
    const std::size_t name = path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1;
    const std::size_t dot = path.find_last_of('.');
    const std::string stem = dot != std::string::npos && dot > name ? path.substr(0, dot) : path;
    return stem + ".numbers";
}
