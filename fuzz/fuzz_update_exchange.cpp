// Fuzzes the tool's side of the device dialogue: any bytes as what the device
// sends (see device_script.h for how quiet reads, failed reads and failing
// writes are encoded), fed to the real device line reader and to
// run_update_exchange through an in-memory port.
//
// Checked on every input, beyond what the sanitizers catch, against a reference
// model of the line reader and the exchange:
//  - read_device_line returns what the model expects, line for line: at most
//    255 characters ending in LF, no NULs, dst untouched unless delivered;
//  - one 'y' is written right after each delivered line containing
//    "want to update", and at no other time;
//  - the transfer starts right after the line "Erase done.\n", once: 64,512
//    packets of 20 bytes in address order carrying the image, with nothing
//    read in between;
//  - a packet write that fails or finds the device gone ends the exchange
//    there; a failed 'y' does not;
//  - the exchange is Completed exactly when '@' arrives in the final wait
//    (after the transfer and one more line), and stops reading there; it is
//    Lost otherwise, without reading again after the device is gone;
//  - the console, as a single download prints it, shows exactly what happened
//    (spinner characters may vary).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "console/console.h"
#include "device_model.h"
#include "device_script.h"
#include "fuzz_check.h"
#include "image/hex_image.h"
#include "link/device_line.h"
#include "link/update_exchange.h"

namespace {

constexpr std::size_t PACKET_BYTES = 20;
constexpr std::size_t EXPECTED_PACKETS = TRANSFER_LENGTH / 16;

struct WriteRecord {
    std::size_t reads_before;  // read calls made before this write
    std::size_t size;
    std::size_t offset;  // where its bytes start in FuzzPort::bytes
};

// Every write attempt, kept from run to run so that its memory is reused.
struct WriteLog {
    std::vector<WriteRecord> writes;
    std::vector<std::uint8_t> bytes;
};

// The device as the script plays it, recording every write attempt in `log`.
class FuzzPort final : public PortIo {
public:
    FuzzPort(const std::vector<ScriptEvent>& events, WriteLog& log) : log_(log), cursor_(events) {
        log_.writes.clear();
        log_.bytes.clear();
    }

    PortRead read_byte(std::uint8_t& byte) override {
        const PortRead got = cursor_.read(byte);
        FUZZ_CHECK(!lost_, "read again after the device was reported gone");
        if (got == PortRead::Lost) lost_ = true;
        return got;
    }

    PortWrite write(const std::uint8_t* data, std::size_t size) override {
        log_.writes.push_back({cursor_.reads(), size, log_.bytes.size()});
        log_.bytes.insert(log_.bytes.end(), data, data + size);
        const PortWrite result = cursor_.write();
        FUZZ_CHECK(!write_lost_, "wrote again after a write found the device gone");
        if (result == PortWrite::Lost) write_lost_ = true;
        return result;
    }

    std::size_t reads() const { return cursor_.reads(); }
    const std::vector<WriteRecord>& writes() const { return log_.writes; }
    const std::vector<std::uint8_t>& bytes() const { return log_.bytes; }

private:
    WriteLog& log_;
    ScriptCursor cursor_;
    bool lost_ = false;
    bool write_lost_ = false;
};

const char* name_of(ModelLine line) {
    switch (line) {
    case ModelLine::Delivered: return "Delivered";
    case ModelLine::Dropped: return "Dropped";
    case ModelLine::Lost: return "Lost";
    }
    return "?";
}

ModelLine as_model(DeviceLine line) {
    switch (line) {
    case DeviceLine::Delivered: return ModelLine::Delivered;
    case DeviceLine::Dropped: return ModelLine::Dropped;
    case DeviceLine::Lost: return ModelLine::Lost;
    case DeviceLine::GivenUp: break;  // only a caller's watch gives up, and none is given here
    }
    fuzz_fail(__FILE__, __LINE__, "read_device_line returned %d", static_cast<int>(line));
}

// Reads the script as lines until the device is gone, comparing each with the model.
void check_device_lines(const std::vector<ScriptEvent>& events, WriteLog& log) {
    FuzzPort port(events, log);
    ScriptCursor model(events);
    std::string expected;
    for (std::size_t n = 0;; ++n) {
        char dst[DEVICE_LINE_MAX + 1];
        std::memset(dst, 0x5A, sizeof dst);
        const ModelLine got = as_model(read_device_line(port, dst));
        const ModelLine want = model_device_line(model, expected);
        FUZZ_CHECK(got == want, "line %zu: read_device_line gave %s, expected %s", n, name_of(got), name_of(want));
        FUZZ_CHECK(port.reads() == model.reads(), "line %zu: %zu reads made, expected %zu", n, port.reads(),
                   model.reads());
        FUZZ_CHECK(dst[DEVICE_LINE_MAX] == 0x5A, "line %zu: written past DEVICE_LINE_MAX", n);
        if (got == ModelLine::Delivered) {
            const std::size_t length = strnlen(dst, DEVICE_LINE_MAX);
            FUZZ_CHECK(length >= 1 && length <= 255 && dst[length - 1] == '\n',
                       "line %zu: %zu characters delivered, not 1-255 ending in LF", n, length);
            FUZZ_CHECK(std::memcmp(dst, expected.c_str(), expected.size() + 1) == 0,
                       "line %zu differs from the expected %zu characters", n, expected.size());
        } else {
            for (std::size_t i = 0; i < DEVICE_LINE_MAX; ++i) {
                FUZZ_CHECK(dst[i] == 0x5A, "line %zu: dst changed at %zu though nothing was delivered", n, i);
            }
        }
        if (got == ModelLine::Lost) break;
    }
    FUZZ_CHECK(port.writes().empty(), "the line reader wrote to the port");
}

bool is_spinner(char c) {
    return c != '\0' && std::strchr(SPINNER_CHARS, c) != nullptr;
}

void check_console(const std::string& actual, const std::string& expected) {
    const std::size_t common = actual.size() < expected.size() ? actual.size() : expected.size();
    for (std::size_t i = 0; i < common; ++i) {
        const bool same = expected[i] == ANY_SPINNER ? is_spinner(actual[i]) : actual[i] == expected[i];
        if (!same) {
            const std::size_t from = i < 20 ? 0 : i - 20;
            fuzz_fail(__FILE__, __LINE__, "console differs at %zu of %zu: got \"%s\", expected \"%s\"", i,
                      expected.size(), actual.substr(from, 60).c_str(), expected.substr(from, 60).c_str());
        }
    }
    FUZZ_CHECK(actual.size() == expected.size(), "console has %zu characters, expected %zu (tail \"%s\")",
               actual.size(), expected.size(),
               (actual.size() > expected.size() ? actual.substr(common) : expected.substr(common)).c_str());
}

void check_packet(const FuzzPort& port, const WriteRecord& w, std::size_t k) {
    FUZZ_CHECK(w.size == PACKET_BYTES, "packet %zu is a write of %zu bytes", k, w.size);
    const std::uint8_t* p = port.bytes().data() + w.offset;
    const std::uint32_t address = static_cast<std::uint32_t>(IMAGE_BASE + 16 * k);
    FUZZ_CHECK(p[0] == ((address >> 16) & 0xFF) && p[1] == ((address >> 8) & 0xFF) && p[2] == (address & 0xFF),
               "packet %zu carries address %02x%02x%02x, expected %06x", k, p[0], p[1], p[2], address);
    FUZZ_CHECK(p[3] == 0x10, "packet %zu has length byte %#04x", k, p[3]);
    FUZZ_CHECK(std::memcmp(p + 4, flash_image + 16 * k, 16) == 0, "packet %zu does not carry image bytes %#zx-%#zx",
               k, 16 * k, 16 * k + 15);
}

void check_writes(const FuzzPort& port, const ModelExchange& model) {
    std::size_t w = 0;
    for (std::size_t a = 0; a < model.answers.size(); ++a, ++w) {
        FUZZ_CHECK(w < port.writes().size(), "answer %zu was never written", a);
        const WriteRecord& write = port.writes()[w];
        FUZZ_CHECK(write.size == 1 && port.bytes()[write.offset] == 'y', "write %zu is not the answer 'y'", w);
        FUZZ_CHECK(write.reads_before == model.answers[a], "answer %zu written after %zu reads, expected after %zu",
                   a, write.reads_before, model.answers[a]);
    }
    FUZZ_CHECK(port.writes().size() == w + model.packets, "%zu writes, expected %zu answers and %zu packets",
               port.writes().size(), model.answers.size(), model.packets);
    for (std::size_t k = 0; k < model.packets; ++k, ++w) {
        const WriteRecord& write = port.writes()[w];
        FUZZ_CHECK(write.reads_before == model.transfer_reads, "packet %zu written after %zu reads, expected %zu", k,
                   write.reads_before, model.transfer_reads);
        check_packet(port, write, k);
    }
}

void append_output(void* context, const char* text, std::size_t size) {
    static_cast<std::string*>(context)->append(text, size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("STBLOAD_PROGRESS", "off", 1);  // the console text alone is checked

    // An image whose every packet differs, so a packet sent out of place shows.
    std::uint32_t x = 0x12345678;
    for (std::size_t k = 0; k < TRANSFER_LENGTH; ++k) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        flash_image[k] = static_cast<std::uint8_t>(x);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Kept between runs: a whole transfer writes 1.3 MB and prints 129 KB.
    static std::vector<ScriptEvent> events;
    static ModelExchange model;
    static WriteLog log;
    static std::string output;
    decode_script(data, size, events);

    check_device_lines(events, log);

    model_exchange(events, model);
    FuzzPort port(events, log);
    output.clear();
    console_capture(&append_output, &output);
    ProgressDisplay progress("COM7");
    ExchangeConsole console(progress);
    const ExchangeResult result = run_update_exchange(port, loaded_image_window(), console);
    console_capture(nullptr, nullptr);

    FUZZ_CHECK((result == ExchangeResult::Completed) == model.completed, "exchange %s, expected %s",
               result == ExchangeResult::Completed ? "Completed" : "Lost", model.completed ? "Completed" : "Lost");
    FUZZ_CHECK(port.reads() == model.reads, "exchange made %zu reads, expected %zu", port.reads(), model.reads);
    FUZZ_CHECK(!model.completed || model.packets == EXPECTED_PACKETS, "model completed without a whole transfer");
    check_writes(port, model);
    check_console(output, model.console);
    return 0;
}
