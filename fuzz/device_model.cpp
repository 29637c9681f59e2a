#include "device_model.h"

#include "image/hex_image.h"

namespace {

constexpr std::size_t LONGEST_LINE = 255;  // LF included
constexpr std::size_t PACKETS = 0xFC000 / 16;
constexpr std::size_t BYTES_PER_FINAL_SPIN = 502;

static_assert(TRANSFER_LENGTH == 0xFC000, "the transfer is the window 0x4000-0xFFFFF");

void spinner(ModelExchange& model) {
    model.console += ANY_SPINNER;
    model.console += '\b';
}

// Handshake lines until "Erase done.\n"; false if the device went away first.
bool model_handshake(ScriptCursor& cursor, ModelExchange& model) {
    std::string line;
    for (;;) {
        const ModelLine got = model_device_line(cursor, line);
        if (got == ModelLine::Lost) return false;
        if (got == ModelLine::Dropped) continue;
        if (line.find("want to update") != std::string::npos) {
            model.answers.push_back(cursor.reads());
            // A failed answer is ignored; only a device found gone ends the wait.
            if (cursor.write() == PortWrite::Lost) return false;
            model.console += "Slave machine update request\r\n";
        } else if (line == "Erasing flash,please wait.\n") {
            model.console += "Slave ready\r\n";
        } else if (line == "Erase done.\n") {
            return true;
        }
    }
}

// A packet that is not written whole ends the download: the device would flash
// a stream with a hole in it.
bool model_transfer(ScriptCursor& cursor, ModelExchange& model) {
    model.transferred = true;
    model.transfer_reads = cursor.reads();
    model.console += "Slave request data\r\nstart transfer\t";
    for (std::size_t k = 0; k < PACKETS; ++k) {
        spinner(model);
        ++model.packets;
        if (cursor.write() != PortWrite::Written) return false;
    }
    model.console += "\b done";
    return true;
}

bool model_final_wait(ScriptCursor& cursor, ModelExchange& model) {
    model.console += "\r\nwriting flash, wait...\t";
    std::size_t received = 0;
    for (;;) {
        std::uint8_t byte = 0;
        const PortRead got = cursor.read(byte);
        if (got == PortRead::Lost) return false;
        if (got != PortRead::Byte) continue;
        ++received;
        if (received % BYTES_PER_FINAL_SPIN == 0) spinner(model);
        if (byte == '@') {
            model.console += "Download completed\r\n";
            return true;
        }
    }
}

}  // namespace

ModelLine model_device_line(ScriptCursor& cursor, std::string& line) {
    line.clear();
    for (;;) {
        std::uint8_t byte = 0;
        switch (cursor.read(byte)) {
        case PortRead::Lost:
            return ModelLine::Lost;
        case PortRead::Failed:
            return ModelLine::Dropped;
        case PortRead::Empty:
            continue;
        case PortRead::Byte:
            break;
        }
        if (byte == 0) continue;
        line += static_cast<char>(byte);
        if (byte == '\n') return ModelLine::Delivered;
        if (line.size() == LONGEST_LINE) return ModelLine::Dropped;
    }
}

void model_exchange(const std::vector<ScriptEvent>& events, ModelExchange& model) {
    model.completed = false;
    model.answers.clear();
    model.transferred = false;
    model.transfer_reads = 0;
    model.packets = 0;
    model.console.clear();
    ScriptCursor cursor(events);
    std::string line;
    model.completed = model_handshake(cursor, model) && model_transfer(cursor, model) &&
                      model_device_line(cursor, line) != ModelLine::Lost && model_final_wait(cursor, model);
    model.reads = cursor.reads();
}
