#include "app/port_listing.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "console/console.h"
#include "link/port_list.h"
#include "console/exit_status.h"

namespace {

// The device column: as wide as the widest device, within reason for an
// 80-column console.
constexpr std::size_t DEVICE_COLUMN_MAX = 20;

std::string what_it_is(const PortInfo& port) {
    std::string text = port.kind;
    if (port.vendor != 0 || port.product != 0) {
        char ids[16];
        std::snprintf(ids, sizeof ids, " %04x:%04x", port.vendor, port.product);
        text += ids;
    }
    if (!port.description.empty()) text += (text.empty() ? "" : ", ") + port.description;
    return text;
}

// The list for scripts: every port with all that is known of it.
int print_json(const std::vector<PortInfo>& ports) {
    nlohmann::json list = nlohmann::json::array();
    for (const PortInfo& port : ports) {
        nlohmann::json entry = {{"name", port.name},
                                {"com_number", port.com_number > 0 ? nlohmann::json(port.com_number) : nullptr},
                                {"device", port.device},
                                {"kind", port.kind},
                                {"description", port.description},
                                {"by_id", port.by_id.empty() ? nlohmann::json(nullptr) : nlohmann::json(port.by_id)},
                                {"usb", nullptr}};
        if (port.usb) {
            char ids[16];
            std::snprintf(ids, sizeof ids, "%04x:%04x", port.vendor, port.product);
            entry["usb"] = {{"ids", ids},
                            {"serial", port.serial},
                            {"location", port.location},
                            {"identity", usb_identity(port, " ")}};
        }
        list.push_back(entry);
    }
    const std::string text =
        nlohmann::json{{"ports", list}}.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    console_data(text.data(), text.size());
    return EXIT_DOWNLOAD_COMPLETED;
}

}  // namespace

int run_port_list(bool json) {
    const std::vector<PortInfo> ports = list_serial_ports();
    if (json) return print_json(ports);
    if (ports.empty()) {
        console_print("no serial ports found\r\n");
        return EXIT_DOWNLOAD_COMPLETED;
    }
    std::size_t width = 0;
    for (const PortInfo& port : ports) width = port.device.size() > width ? port.device.size() : width;
    if (width > DEVICE_COLUMN_MAX) width = DEVICE_COLUMN_MAX;
    const int device_width = static_cast<int>(width);
    for (const PortInfo& port : ports) {
        char com[16] = "";
        if (port.com_number > 0) std::snprintf(com, sizeof com, "COM%d", port.com_number);
        console_print("%-6s %-*s  %s\r\n", com, device_width, port.device.c_str(), what_it_is(port).c_str());
        std::string identity = usb_identity(port, "  ");
        if (!port.by_id.empty()) identity += (identity.empty() ? "" : "  ") + port.by_id;
        if (!identity.empty()) console_print("         %s\r\n", identity.c_str());
    }
    return EXIT_DOWNLOAD_COMPLETED;
}
