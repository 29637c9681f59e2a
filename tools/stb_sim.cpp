// stb_sim: plays a set-top box's resident loader on a pseudo-terminal, for the
// tests and the demo. It records everything the tool sends.
//
// usage: stb_sim [options]
//   --link PATH       publish the pty's device as a symlink at PATH
//                     (without it, the device path is printed on stdout)
//   --script FILE     play these steps instead of the usual dialogue
//   --image-out FILE  write the image bytes received in packets
//   --rx-out FILE     write every byte received from the tool, in order
//   --report FILE     write a key=value summary
//   --pace            receive no faster than 115200 8N1 carries (11,520 bytes/s)
//   --erase-ms N      erase time in the usual dialogue (default 200)
//   --raw             start the device raw at 9600 baud, not in a hostile cooked mode
//   --crtscts         start the device with hardware flow control on
//   --hold            linger until SIGTERM instead of until the tool lets go
//   --wait-go         start the usual dialogue with wait_go instead of wait_config
//   --timeout S       give up after S seconds (default 600)
//   --serial-line TEXT  in the usual dialogue, send TEXT (escapes as for send) before the prompt
//   --boot-line TEXT    in the usual dialogue, send TEXT after the '@', as new firmware that boots
//   --ask-every MS      in the usual dialogue, ask again every MS milliseconds until answered
//
// Script steps, one per line; '#' starts a comment line:
//   wait_config           wait until the tool has set the line to 115200 baud
//   wait_go               wait until the file <link>.go exists (a test creates it when
//                         it sees the tool ready; for links whose speed is set by
//                         someone else, such as an emulator's serial port)
//   sleep MS              wait without reading
//   drain MS              read and discard for MS milliseconds
//   send TEXT             send TEXT; escapes \n \r \t \0 \\ \" \xHH; may be quoted
//   send_repeat N TEXT    send TEXT N times
//   send_paced N TEXT     send TEXT N times, no faster than 115200 8N1 carries (a box
//                         that talks while it writes its flash)
//   ask MS TEXT           send TEXT, then read until the byte 'y' arrives; without it
//                         within MS milliseconds, send TEXT again (a loader that asks
//                         until it is answered), until the --timeout
//   expect_y [S]          read until the byte 'y' arrives; without it for S seconds (default
//                         ANSWER_WAIT_S), give up: say so, close the link and exit 1 (a
//                         loader that asks once and waits for its answer)
//   receive [N]           receive N bytes of the packet stream (default: all of it)
//   close                 close the link at once and end
//   linger                keep reading until the tool lets go of the port, then end
//   wait_release          read and discard until the tool lets go of the port
//   wait_open             wait until a tool holds the port
//   wait_release_unread   wait, without reading, until the tool lets go of the port;
//                         then count the bytes still there to read (report: unread_after_release)
//   reset                 forget what was received (a new download starts)
//   save                  one box is over: write the records so far with ".1" (then ".2",
//                         ...) after each output's name, and forget them as reset does
//   mark NAME             create the empty file <link>.NAME (tells a test where the script is)
//
// The usual dialogue: wait_config, [the serial line], a prompt with "want to
// update", expect_y, "Erasing flash,please wait.\n", the erase time, "Erase
// done.\n", receive, a confirmation line, 1,200 progress dots, '@', [the boot
// line], linger.
//
// The report gives the time from the stream's first byte to its last
// (stream_ms: at --pace, what the wire took), how the tool left the line
// (taken at wait_config or wait_go), and whether the tty's exclusive-use flag
// was set while the tool held the port and clear once it let go
// (exclusive_held, exclusive_after_release; -1: never seen).
//
// Exit status: 0 when the script ran to its end, 1 on a timeout, a missing answer or an error.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t PACKET_SIZE = 20;
constexpr std::size_t PACKET_COUNT = 0xFC000 / 16;
constexpr std::size_t STREAM_SIZE = PACKET_SIZE * PACKET_COUNT;
constexpr double LINK_BYTES_PER_SECOND = 115200.0 / 10.0;
// A tool answers an update request at once; one that has not within this long
// never will, and waiting on would only keep a test hanging.
constexpr int ANSWER_WAIT_S = 3;

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t terminated = 0;

void on_terminate(int) {
    terminated = 1;
}

struct Options {
    std::string link;
    std::string script;
    std::string image_out;
    std::string rx_out;
    std::string report;
    bool pace = false;
    bool raw = false;
    bool hold = false;
    bool crtscts = false;
    bool wait_go = false;
    int erase_ms = 200;
    int timeout_s = 600;
    std::string serial_line;
    std::string boot_line;
    int ask_every_ms = 0;
};

struct Step {
    std::string name;
    long number = -1;
    std::string text;
};

struct Device {
    int master = -1;
    int slave = -1;
    Clock::time_point deadline;
    std::vector<std::uint8_t> received;  // every byte from the tool
    std::vector<std::uint8_t> image;     // data of the packets received
    std::size_t stream_bytes = 0;
    Clock::time_point stream_first{};  // when the stream's first and last bytes arrived
    Clock::time_point stream_last{};
    std::uint8_t packet[PACKET_SIZE] = {};  // the packet being received
    std::size_t y_count = 0;
    std::size_t bad_packets = 0;
    long first_bad_packet = -1;
    std::string result = "running";
    termios configured{};  // the line settings the tool applied
    bool was_configured = false;
    int exclusive_held = -1;           // TIOCEXCL seen while the tool held the port
    int exclusive_after_release = -1;  // ... and once it had let go
    long unread_after_release = -1;    // bytes the tool left queued when it let go
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "stb_sim: %s\n", what.c_str());
    std::exit(2);
}

std::string unescape(const std::string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        switch (c) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 'x':
            if (i + 2 < in.size()) {
                out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
                i += 2;
            }
            break;
        default: out += c; break;
        }
    }
    return out;
}

// TEXT may be given bare or in double quotes (to keep leading or trailing blanks).
std::string parse_text(std::string rest) {
    const auto first = rest.find_first_not_of(' ');
    rest = first == std::string::npos ? std::string() : rest.substr(first);
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
    return unescape(rest);
}

std::vector<Step> parse_script(std::istream& in) {
    std::vector<Step> steps;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        Step step;
        if (!(words >> step.name) || step.name[0] == '#') continue;
        if (step.name == "sleep" || step.name == "drain" || step.name == "send_repeat" ||
            step.name == "send_paced" || step.name == "receive" || step.name == "ask" || step.name == "expect_y") {
            long n = -1;
            if (words >> n) {
                step.number = n;
            } else if (step.name != "receive" && step.name != "expect_y") {
                fail("script step '" + step.name + "' needs a number");
            }
        }
        if (step.name == "mark") words >> step.text;
        if (step.name == "send" || step.name == "send_repeat" || step.name == "send_paced" || step.name == "ask") {
            std::string rest;
            std::getline(words, rest);
            step.text = parse_text(rest);
        }
        steps.push_back(step);
    }
    return steps;
}

std::vector<Step> usual_dialogue(const Options& options) {
    std::ostringstream script;
    script << (options.wait_go ? "wait_go\n" : "wait_config\n");
    if (!options.serial_line.empty()) script << "send \"" << options.serial_line << "\"\n";
    const char* prompt = "\"\\r\\nSTB loader 1.2\\r\\nwant to update? (y/n)\\n\"\n";
    if (options.ask_every_ms > 0) {
        script << "ask " << options.ask_every_ms << " " << prompt;
    } else {
        script << "send " << prompt << "expect_y\n";
    }
    script << "send \"Erasing flash,please wait.\\n\"\n"
           << "sleep " << options.erase_ms << "\n"
           << "send \"Erase done.\\n\"\n"
           << "receive\n"
           << "send \"Data received.\\n\"\n"
           << "send_repeat 1200 .\n"
           << "send @\n";
    if (!options.boot_line.empty()) script << "sleep 300\nsend \"" << options.boot_line << "\"\n";
    script << "linger\n";
    std::istringstream in(script.str());
    return parse_script(in);
}

bool timed_out(const Device& device) {
    return terminated != 0 || Clock::now() > device.deadline;
}

// Sleeps without reading, but wakes for SIGTERM and the deadline.
void pause_ms(const Device& device, long ms) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    while (!timed_out(device) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// Reads what the tool has sent, waiting up to wait_ms; at most `limit` bytes.
std::size_t receive_some(Device& device, std::uint8_t* buffer, std::size_t limit, int wait_ms) {
    pollfd wait{device.master, POLLIN, 0};
    if (poll(&wait, 1, wait_ms) <= 0) return 0;
    const ssize_t n = read(device.master, buffer, limit);
    if (n <= 0) return 0;
    device.received.insert(device.received.end(), buffer, buffer + n);
    return static_cast<std::size_t>(n);
}

void send_bytes(Device& device, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (timed_out(device)) return;
        const ssize_t n = write(device.master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            fail("write to the link failed");
        }
    }
}

void send_repeat(Device& device, long times, const std::string& text) {
    if (text.empty()) return;
    std::string chunk;
    while (chunk.size() < 65536) chunk += text;
    const long per_chunk = static_cast<long>(chunk.size() / text.size());
    for (long left = times; left > 0 && !timed_out(device); left -= per_chunk) {
        send_bytes(device, left >= per_chunk ? chunk : chunk.substr(0, static_cast<std::size_t>(left) * text.size()));
    }
}

void send_paced(Device& device, long times, const std::string& text) {
    const std::string all = [&] {
        std::string whole;
        for (long i = 0; i < times; ++i) whole += text;
        return whole;
    }();
    const Clock::time_point start = Clock::now();
    std::size_t sent = 0;
    while (sent < all.size() && !timed_out(device)) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto allowed = static_cast<std::size_t>(elapsed * LINK_BYTES_PER_SECOND);
        if (allowed > sent) {
            const std::size_t n = std::min(allowed, all.size()) - sent;
            send_bytes(device, all.substr(sent, n));
            sent += n;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void check_packet(Device& device, const std::uint8_t* packet) {
    const std::size_t index = device.stream_bytes / PACKET_SIZE;
    const std::uint32_t expected = 0x4000 + static_cast<std::uint32_t>(index) * 16;
    const std::uint32_t address = (static_cast<std::uint32_t>(packet[0]) << 16) |
                                  (static_cast<std::uint32_t>(packet[1]) << 8) | packet[2];
    if (address != expected || packet[3] != 0x10) {
        ++device.bad_packets;
        if (device.first_bad_packet < 0) device.first_bad_packet = static_cast<long>(index);
    }
    device.image.insert(device.image.end(), packet + 4, packet + PACKET_SIZE);
}

void receive_stream(Device& device, std::size_t count, bool pace) {
    std::size_t left = count;
    const Clock::time_point start = Clock::now();
    std::size_t taken = 0;
    while (left > 0 && !timed_out(device)) {
        std::uint8_t buffer[4096];
        std::size_t limit = left < sizeof buffer ? left : sizeof buffer;
        if (pace) {
            // Take no more than the wire would have carried by now.
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const double allowed = elapsed * LINK_BYTES_PER_SECOND - static_cast<double>(taken);
            if (allowed < 1.0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (allowed < static_cast<double>(limit)) limit = static_cast<std::size_t>(allowed);
        }
        const std::size_t n = receive_some(device, buffer, limit, 100);
        taken += n;
        if (n > 0) {
            if (device.stream_bytes == 0) device.stream_first = Clock::now();
            device.stream_last = Clock::now();
        }
        for (std::size_t i = 0; i < n; ++i) {
            device.packet[device.stream_bytes % PACKET_SIZE] = buffer[i];
            if (device.stream_bytes % PACKET_SIZE == PACKET_SIZE - 1) check_packet(device, device.packet);
            ++device.stream_bytes;
        }
        left -= n;
    }
}

// False when no 'y' came within `seconds`.
bool expect_y(Device& device, long seconds) {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
    std::uint8_t byte = 0;
    while (!timed_out(device)) {
        if (receive_some(device, &byte, 1, 100) == 1 && byte == 'y') {
            ++device.y_count;
            return true;
        }
        if (Clock::now() > until) {
            std::fprintf(stderr, "stb_sim: no answer 'y' within %ld s; closing the link\n", seconds);
            return false;
        }
    }
    return true;
}

void ask(Device& device, long every_ms, const std::string& text) {
    std::uint8_t byte = 0;
    while (!timed_out(device)) {
        send_bytes(device, text);
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(every_ms);
        while (!timed_out(device) && Clock::now() < until) {
            if (receive_some(device, &byte, 1, 10) == 1 && byte == 'y') {
                ++device.y_count;
                return;
            }
        }
    }
}

void drain(Device& device, long ms) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    std::uint8_t buffer[4096];
    while (Clock::now() < until && !timed_out(device)) receive_some(device, buffer, sizeof buffer, 10);
}

// The tty's exclusive-use flag (TIOCEXCL), or -1 where it cannot be read.
int exclusive_flag(const Device& device) {
    int exclusive = 0;
    return ioctl(device.slave, TIOCGEXCL, &exclusive) == 0 ? (exclusive != 0 ? 1 : 0) : -1;
}

// The tool holds an exclusive lock on the port while it has it open. The
// kernel's list of locks shows it without taking one: trying the lock would,
// for that moment, make a tool opening the port just then find it busy.
// While the lock is held, also notes the tty's exclusive-use flag.
bool tool_holds_port(Device& device) {
    struct stat info {};
    if (fstat(device.slave, &info) != 0) fail("fstat on the pty failed");
    char inode[64];
    std::snprintf(inode, sizeof inode, "%02x:%02x:%lu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string field;
        bool flock_lock = false;
        while (fields >> field) {
            if (field == "FLOCK") flock_lock = true;
            if (flock_lock && field == inode) {
                // Seen set once while the tool held the port is what counts: the
                // tool clears it just before it lets go of its lock.
                device.exclusive_held = std::max(device.exclusive_held, exclusive_flag(device));
                return true;
            }
        }
    }
    return false;
}

void note_release(Device& device) {
    device.exclusive_after_release = exclusive_flag(device);
}

void wait_release(Device& device) {
    std::uint8_t buffer[4096];
    while (!timed_out(device) && tool_holds_port(device)) receive_some(device, buffer, sizeof buffer, 10);
    note_release(device);
    drain(device, 50);  // what the tool wrote just before it let go
}

// What a tool left queued for the device when it closed the port: bytes it
// wrote that were never read, and that would reach the box after the run.
void wait_release_unread(Device& device) {
    while (!timed_out(device) && tool_holds_port(device)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    note_release(device);
    std::vector<std::uint8_t> before = device.received;
    drain(device, 100);
    device.unread_after_release = static_cast<long>(device.received.size() - before.size());
    device.received = std::move(before);
}

void wait_open(Device& device) {
    while (!timed_out(device) && !tool_holds_port(device)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void reset(Device& device) {
    device.received.clear();
    device.image.clear();
    device.stream_bytes = 0;
    device.y_count = 0;
    device.bad_packets = 0;
    device.first_bad_packet = -1;
}

void linger(Device& device, bool hold) {
    std::uint8_t buffer[4096];
    while (!timed_out(device)) {
        receive_some(device, buffer, sizeof buffer, 10);
        if (!hold && !tool_holds_port(device)) {
            note_release(device);
            return;
        }
    }
}

void wait_config(Device& device) {
    while (!timed_out(device)) {
        termios tio{};
        if (tcgetattr(device.slave, &tio) == 0 && cfgetospeed(&tio) == B115200) {
            device.configured = tio;
            device.was_configured = true;
            device.exclusive_held = exclusive_flag(device);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Waits for the test's go-ahead, then notes the line settings as they are.
void wait_go(Device& device, const std::string& link) {
    if (link.empty()) fail("wait_go needs --link");
    const std::string go = link + ".go";
    while (!timed_out(device) && access(go.c_str(), F_OK) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    termios tio{};
    if (tcgetattr(device.slave, &tio) == 0) {
        device.configured = tio;
        device.was_configured = true;
    }
}

// Sets the device the way a careless previous user might have left it: line
// editing, echo, CR/LF translation, XON/XOFF and 7E2 framing. A tool that does
// not make the line raw 8N1 garbles the transfer or is caught by the report.
void set_initial_mode(int slave, bool raw, bool crtscts) {
    termios tio{};
    if (tcgetattr(slave, &tio) != 0) fail("tcgetattr on the pty failed");
    if (crtscts) tio.c_cflag |= CRTSCTS;
    if (raw) {
        cfmakeraw(&tio);
    } else {
        tio.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB;
    }
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(slave, TCSANOW, &tio) != 0) fail("tcsetattr on the pty failed");
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    if (path.empty()) return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path);
}

long baud_of(speed_t speed) {
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return -1;
    }
}

void write_outputs(const Device& device, const Options& options, const std::string& suffix = std::string()) {
    write_file(options.image_out.empty() ? std::string() : options.image_out + suffix, device.image);
    write_file(options.rx_out.empty() ? std::string() : options.rx_out + suffix, device.received);
    if (options.report.empty()) return;
    std::ofstream out(options.report + suffix, std::ios::trunc);
    out << "result=" << device.result << "\n"
        << "rx_bytes=" << device.received.size() << "\n"
        << "y_count=" << device.y_count << "\n"
        << "stream_bytes=" << device.stream_bytes << "\n"
        << "packets=" << device.stream_bytes / PACKET_SIZE << "\n"
        << "stream_ms="
        << std::chrono::duration_cast<std::chrono::milliseconds>(device.stream_last - device.stream_first).count()
        << "\n"
        << "bad_packets=" << device.bad_packets << "\n"
        << "first_bad_packet=" << device.first_bad_packet << "\n";
    if (device.was_configured) {
        // How the tool left the line: raw 8N1, and whether hardware flow control is on.
        const termios& tio = device.configured;
        const bool raw = (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (tio.c_oflag & OPOST) == 0 &&
                         (tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP)) == 0;
        const bool eight_n_one = (tio.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8;
        out << "line_raw=" << (raw ? 1 : 0) << "\n"
            << "line_8n1=" << (eight_n_one ? 1 : 0) << "\n"
            << "line_crtscts=" << ((tio.c_cflag & CRTSCTS) != 0 ? 1 : 0) << "\n"
            << "line_baud=" << baud_of(cfgetospeed(&tio)) << "\n"
            << "line_stop_bits=" << ((tio.c_cflag & CSTOPB) != 0 ? 2 : 1) << "\n";
    }
    out << "exclusive_held=" << device.exclusive_held << "\n"
        << "exclusive_after_release=" << device.exclusive_after_release << "\n"
        << "unread_after_release=" << device.unread_after_release << "\n";
    if (!out) fail("cannot write " + options.report + suffix);
}

int parse_number(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 1000000000) fail("not a number: " + text);
    return static_cast<int>(value);
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "--link") options.link = value();
        else if (arg == "--script") options.script = value();
        else if (arg == "--image-out") options.image_out = value();
        else if (arg == "--rx-out") options.rx_out = value();
        else if (arg == "--report") options.report = value();
        else if (arg == "--pace") options.pace = true;
        else if (arg == "--raw") options.raw = true;
        else if (arg == "--hold") options.hold = true;
        else if (arg == "--crtscts") options.crtscts = true;
        else if (arg == "--wait-go") options.wait_go = true;
        else if (arg == "--erase-ms") options.erase_ms = parse_number(value());
        else if (arg == "--timeout") options.timeout_s = parse_number(value());
        else if (arg == "--serial-line") options.serial_line = value();
        else if (arg == "--boot-line") options.boot_line = value();
        else if (arg == "--ask-every") options.ask_every_ms = parse_number(value());
        else fail("unknown option " + arg);
    }
    return options;
}

void open_pty(Device& device, const Options& options) {
    device.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device.master < 0 || grantpt(device.master) != 0 || unlockpt(device.master) != 0) fail("no pty");
    const char* name = ptsname(device.master);
    if (name == nullptr) fail("no pty name");
    const std::string slave_path = name;
    // Kept open for the whole run: the pty stays up between the tool's opens.
    device.slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device.slave < 0) fail("cannot open " + slave_path);
    set_initial_mode(device.slave, options.raw, options.crtscts);

    if (options.link.empty()) {
        std::printf("%s\n", slave_path.c_str());
        std::fflush(stdout);
        return;
    }
    const std::string temp = options.link + ".new";
    unlink(temp.c_str());
    if (symlink(slave_path.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), options.link.c_str()) != 0) {
        fail("cannot link " + options.link);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    std::vector<Step> steps;
    if (options.script.empty()) {
        steps = usual_dialogue(options);
    } else {
        std::ifstream in(options.script);
        if (!in) fail("cannot read " + options.script);
        steps = parse_script(in);
    }

    struct sigaction action {};
    action.sa_handler = on_terminate;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Device device;
    int saved = 0;  // boxes saved so far
    device.deadline = Clock::now() + std::chrono::seconds(options.timeout_s);
    open_pty(device, options);

    for (const Step& step : steps) {
        if (timed_out(device)) break;
        if (step.name == "wait_config") wait_config(device);
        else if (step.name == "wait_go") wait_go(device, options.link);
        else if (step.name == "sleep") pause_ms(device, step.number);
        else if (step.name == "drain") drain(device, step.number);
        else if (step.name == "send") send_bytes(device, step.text);
        else if (step.name == "send_repeat") send_repeat(device, step.number, step.text);
        else if (step.name == "send_paced") send_paced(device, step.number, step.text);
        else if (step.name == "ask") ask(device, step.number, step.text);
        else if (step.name == "expect_y") {
            if (!expect_y(device, step.number >= 0 ? step.number : ANSWER_WAIT_S)) {
                device.result = "no_answer";
                break;
            }
        }
        else if (step.name == "wait_release") wait_release(device);
        else if (step.name == "wait_open") wait_open(device);
        else if (step.name == "wait_release_unread") wait_release_unread(device);
        else if (step.name == "reset") reset(device);
        else if (step.name == "save") {
            write_outputs(device, options, "." + std::to_string(++saved));
            reset(device);
        }
        else if (step.name == "mark") std::ofstream(options.link + "." + step.text);
        else if (step.name == "receive") {
            const std::size_t left = STREAM_SIZE - device.stream_bytes;
            receive_stream(device, step.number >= 0 ? static_cast<std::size_t>(step.number) : left, options.pace);
        } else if (step.name == "close") {
            device.result = "closed";
            break;
        } else if (step.name == "linger") {
            device.result = "done";
            write_outputs(device, options);
            linger(device, options.hold);
        } else {
            fail("unknown step " + step.name);
        }
    }
    if (device.result == "running") {
        device.result = terminated != 0 ? "stopped" : timed_out(device) ? "timeout" : "done";
    }
    write_outputs(device, options);
    close(device.master);
    close(device.slave);
    if (!options.link.empty()) unlink(options.link.c_str());
    return device.result == "timeout" || device.result == "no_answer" ? 1 : 0;
}
