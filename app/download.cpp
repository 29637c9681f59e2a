#include "app/download.h"

#include <cmath>
#include <string>

#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "console/console.h"
#include "console/figures.h"
#include "console/trace.h"
#include "image/image_fingerprint.h"
#include "link/transfer_progress.h"
#include "link/update_exchange.h"
#include "session/image_load.h"
#include "session/session.h"
#include "session/session_trace.h"

namespace {

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
int download(const PortName& name, const std::string& label, const char* hex_path) {
    ImageLoader image;
    if (!image.open(hex_path)) {
        console_show(describe_image_load(image.load(), hex_path));
        return EXIT_FAILED;
    }

    Session session(name, label, ImageWindow{});
    switch (session.open()) {
    case PortOpen::Opened:
        break;
    case PortOpen::CannotOpen:
        console_print("cannot open %s\r\n", label.c_str());
        console_note("%s", session.problem_note().c_str());
        return EXIT_FAILED;
    case PortOpen::SettingsRefused:
        console_print("cannot configure %s\r\n", label.c_str());
        console_note("%s", session.problem_note().c_str());
        image.close();  // the file closes before the port does
        session.close();
        return EXIT_FAILED;
    }

    const ImageLoad loaded = image.load();
    console_show(describe_image_load(loaded, hex_path));
    if (!loaded.ready()) return EXIT_FAILED;
    session.take_image(loaded.window);

    ProgressDisplay progress(label.c_str());
    // Worked out once, outside the transfer, and only where someone reads it.
    ImageFingerprint fingerprint{};
    if (tracing() || progress.on_terminal()) {
        fingerprint = fingerprint_image(loaded.window);
        trace_fingerprint(fingerprint);
    }

    console_print("PC ready to download\r\n");
    progress.waiting_for_box();
    ExchangeConsole console(progress);
    const BoxResult box = session.run_box(console);
    if (box.outcome != BoxOutcome::Completed) {
        console_print("\r\nlost connection to %s\r\n", label.c_str());
        console_note("%s", session.problem_note().c_str());
        return EXIT_FAILED;
    }
    if (progress.on_terminal()) note_summary(console.transfer_seconds(), fingerprint);
    return EXIT_DOWNLOAD_COMPLETED;
}

}  // namespace

int run_download(const PortName& port, const char* hex_path) {
    char label[PORT_DEVICE_MAX + 8];
    port_label(port, label, sizeof label);
    console_show(start_session_trace(std::string(label) + ", file " + hex_path));
    const int status = download(port, label, hex_path);
    end_session_trace(status == EXIT_DOWNLOAD_COMPLETED ? "download completed" : "failed", status);
    return status;
}
