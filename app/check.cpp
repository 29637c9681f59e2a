#include "app/check.h"

#include "console/console.h"
#include "console/figures.h"
#include "image/image_fingerprint.h"
#include "link/update_exchange.h"
#include "session/exit_status.h"
#include "session/image_load.h"

int run_check(const char* hex_path) {
    const ImageLoad loaded = load_image(hex_path);
    console_show(describe_image_load(loaded, hex_path));
    if (!loaded.ready()) return EXIT_FAILED;

    const HexLoadReport& report = loaded.report;
    char placed[32];
    char sent[32];
    char packets[32];
    format_thousands(report.bytes_placed, placed, sizeof placed);
    format_thousands(TRANSFER_LENGTH, sent, sizeof sent);
    format_thousands(PACKET_COUNT, packets, sizeof packets);
    const ImageFingerprint fingerprint = fingerprint_image(loaded.window);
    char sha256[65];
    format_sha256(fingerprint.sha256, sha256);
    console_print("file %s: %u lines\r\n"
                  "image: %s data bytes placed, from 0x%X to 0x%X\r\n"
                  "sent: %s bytes, 0x%X to 0x%X, in %s packets; 0xFF where the file places nothing\r\n"
                  "CRC-32 0x%08X\r\n"
                  "SHA-256 %s\r\n",
                  hex_path, report.lines, placed, report.lowest_address, report.highest_address, sent, IMAGE_BASE,
                  IMAGE_BASE + TRANSFER_LENGTH - 1, packets, fingerprint.crc32, sha256);
    return EXIT_DOWNLOAD_COMPLETED;
}
