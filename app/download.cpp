#include "app/download.h"

#include "console/console.h"
#include "image/hex_file.h"
#include "image/hex_image.h"
#include "link/serial_port.h"
#include "link/update_exchange.h"

int run_download(int port_number, const char* hex_path) {
    HexFile hex_file;
    if (!hex_file.open(hex_path)) {
        console_print("cannot open file %s\r\ncheck you specified file\r\n", hex_path);
        return EXIT_FAILED;
    }

    SerialPort port;
    switch (open_serial_port(port_number, port)) {
    case PortOpen::Opened:
        break;
    case PortOpen::CannotOpen:
        console_print("cannot open COM%d\r\n", port_number);
        return EXIT_FAILED;
    case PortOpen::SettingsRefused:
        console_print("cannot configure COM%d\r\n", port_number);
        hex_file.close();
        port.close();
        return EXIT_FAILED;
    }

    const LoadResult loaded = load_hex_image(hex_file, IMAGE_BASE);
    hex_file.close();
    if (loaded == LoadResult::ReadFailed) {
        console_print("cannot read file %s\r\n", hex_path);
        return EXIT_FAILED;
    }
    if (loaded == LoadResult::NothingToDownload) {
        console_print("no data to download in %s\r\n", hex_path);
        return EXIT_FAILED;
    }

    console_print("PC ready to download\r\n");
    if (run_update_exchange(port) == ExchangeResult::Lost) {
        console_print("\r\nlost connection to COM%d\r\n", port_number);
        return EXIT_FAILED;
    }
    return EXIT_DOWNLOAD_COMPLETED;
}
