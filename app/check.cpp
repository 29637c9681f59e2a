#include "app/check.h"

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/figures.h"
#include "image/image_fingerprint.h"
#include "link/update_exchange.h"
#include "console/exit_status.h"
#include "image/image_load.h"


int run_check(const char* hex_path, bool json, bool strict) {
    const ImageLoad loaded = load_image(hex_path, strict);
    const Problem described = describe_image_load(loaded, hex_path);
    console_show(described);
    nlohmann::json document = {{"file", hex_path}, {"ok", loaded.ready()}, {"notes", described.notes}};
    if (!loaded.ready()) {
        document["error"] = described.message_text();
        if (json) {
            const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
            console_data(text.data(), text.size());
        }
        return EXIT_FAILED;
    }
    const HexLoadReport& report = loaded.report;
    const ImageFingerprint fingerprint = fingerprint_image(loaded.window);
    char sha256[65];
    format_sha256(fingerprint.sha256, sha256);
    const std::string crc32_shown = crc32_text(fingerprint.crc32);
    const char* crc32 = crc32_shown.c_str();
    if (json) {
        document.update({{"lines", report.lines},
                         {"bytes_placed", report.bytes_placed},
                         {"lowest_address", report.lowest_address},
                         {"highest_address", report.highest_address},
                         {"sent_bytes", TRANSFER_LENGTH},
                         {"first_address", IMAGE_BASE},
                         {"last_address", IMAGE_BASE + TRANSFER_LENGTH - 1},
                         {"packets", PACKET_COUNT},
                         {"crc32", crc32},
                         {"sha256", sha256}});
        const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        console_data(text.data(), text.size());
        return EXIT_DOWNLOAD_COMPLETED;
    }
    char placed[32];
    char sent[32];
    char packets[32];
    format_thousands(report.bytes_placed, placed, sizeof placed);
    format_thousands(TRANSFER_LENGTH, sent, sizeof sent);
    format_thousands(PACKET_COUNT, packets, sizeof packets);
    console_print("file %s: %u lines\r\n"
                  "image: %s data bytes placed, from 0x%X to 0x%X\r\n"
                  "sent: %s bytes, 0x%X to 0x%X, in %s packets; 0xFF where the file places nothing\r\n"
                  "CRC-32 %s\r\n"
                  "SHA-256 %s\r\n",
                  hex_path, report.lines, placed, report.lowest_address, report.highest_address, sent, IMAGE_BASE,
                  IMAGE_BASE + TRANSFER_LENGTH - 1, packets, crc32, sha256);
    return EXIT_DOWNLOAD_COMPLETED;
}
