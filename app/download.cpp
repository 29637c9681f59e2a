#include "app/download.h"

#include <cmath>
#include <cstdlib>

#include "app/diagnostics.h"
#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "console/console.h"
#include "console/trace.h"
#include "image/hex_file.h"
#include "image/hex_image.h"
#include "image/image_fingerprint.h"
#include "link/serial_port.h"
#include "link/transfer_progress.h"
#include "link/update_exchange.h"

namespace {

// Starts the trace that STBLOAD_TRACE asks for, if any.
void start_trace(const char* label, const char* hex_path) {
    const char* path = std::getenv("STBLOAD_TRACE");  // NOLINT(concurrency-mt-unsafe): one thread
    if (path == nullptr || path[0] == '\0') return;
    if (!trace_open(path)) {
        console_note("cannot open the trace file %s; going on without a trace", path);
        return;
    }
    trace("stbload %s: %s, file %s", STBLOAD_VERSION, label, hex_path);
}

// After a completed download, for the person at the terminal: how long the
// transfer took, how near the line's rate it came, and which image it was.
void note_summary(double seconds, const ImageFingerprint& fingerprint) {
    char bytes[32];
    format_thousands(TRANSFER_LENGTH, bytes, sizeof bytes);
    const double rate = seconds > 0 ? static_cast<double>(STREAM_BYTES) / seconds : 0.0;
    char per_second[32];
    format_thousands(static_cast<unsigned long long>(std::llround(rate)), per_second, sizeof per_second);
    console_note("%s bytes sent in %.1f s (%s bytes/s on the wire, %.0f%% of the line); image CRC-32 0x%08X", bytes,
                 seconds, per_second, 100.0 * rate / LINE_BYTES_PER_SECOND, fingerprint.crc32);
}

// The steps of one download in their order: file, port, image, exchange.
int download(const PortName& name, const char* label, const char* hex_path) {
    HexFile hex_file;
    HexLoadReport report{};
    if (!hex_file.open(hex_path)) {
        show_image_file(ImageFile::CannotOpen, hex_path, report, hex_file.error());
        return EXIT_FAILED;
    }

    SerialPort port;
    switch (open_serial_port(name, port)) {
    case PortOpen::Opened:
        trace("%s is %s, set to 115200 8N1", label, port.device());
        break;
    case PortOpen::CannotOpen:
        console_print("cannot open %s\r\n", label);
        note_port_problem(label, port);
        return EXIT_FAILED;
    case PortOpen::SettingsRefused:
        console_print("cannot configure %s\r\n", label);
        note_port_problem(label, port);
        hex_file.close();
        port.close();
        return EXIT_FAILED;
    }

    const ImageFile loaded = load_image_file(hex_file, report);
    show_image_file(loaded, hex_path, report, hex_file.error());
    if (loaded != ImageFile::Ready) return EXIT_FAILED;

    ProgressDisplay progress(label);
    // Worked out once, outside the transfer, and only where someone reads it.
    ImageFingerprint fingerprint{};
    if (tracing() || progress.on_terminal()) {
        fingerprint = fingerprint_image();
        trace_fingerprint(fingerprint);
    }

    console_print("PC ready to download\r\n");
    progress.waiting_for_box();
    ExchangeConsole console(progress);
    if (run_update_exchange(port, console) == ExchangeResult::Lost) {
        console_print("\r\nlost connection to %s\r\n", label);
        note_port_problem(label, port);
        return EXIT_FAILED;
    }
    if (progress.on_terminal()) note_summary(console.transfer_seconds(), fingerprint);
    return EXIT_DOWNLOAD_COMPLETED;
}

}  // namespace

int run_download(const PortName& port, const char* hex_path) {
    char label[PORT_DEVICE_MAX + 8];
    port_label(port, label, sizeof label);
    start_trace(label, hex_path);
    const int status = download(port, label, hex_path);
    trace("outcome: %s, exit status %d", status == EXIT_DOWNLOAD_COMPLETED ? "download completed" : "failed",
          status);
    trace_close();
    return status;
}
