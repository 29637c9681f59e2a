// Windows: the COM ports that exist now, from the registry's SERIALCOMM list,
// and what SetupAPI knows of the device behind each (its friendly name,
// vendor and product ids, and for a USB adapter its serial number and the hub
// port it is plugged into).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "link/port_list.h"

namespace {

// GUID_DEVCLASS_PORTS, "Ports (COM & LPT)": spelled out so that no GUID
// library has to be linked.
const GUID PORTS_CLASS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// What a serial driver's device names say of it.
std::string kind_of_device_name(const std::string& name) {
    static const struct {
        const char* prefix;
        const char* kind;
    } KINDS[] = {
        {"\\Device\\VCP", "FTDI USB-serial"},      {"\\Device\\Silabser", "CP210x USB-serial"},
        {"\\Device\\USBSER", "CDC ACM"},           {"\\Device\\CH341SER", "CH34x USB-serial"},
        {"\\Device\\ProlificSerial", "PL2303 USB-serial"}, {"\\Device\\Serial", "serial port"},
    };
    for (const auto& k : KINDS) {
        if (name.rfind(k.prefix, 0) == 0) return k.kind;
    }
    return name.rfind("\\Device\\", 0) == 0 ? name.substr(8) : name;
}

int com_number_of(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0) return 0;
    char* end = nullptr;
    const long number = std::strtol(name + 3, &end, 10);
    return end != name + 3 && *end == '\0' && number > 0 ? static_cast<int>(number) : 0;
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    char text[1024] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 1, nullptr)) {
        return std::string();
    }
    return text;  // a multi-string's first string
}

// "VID_0403&PID_6001" in a hardware or instance id.
void take_ids(const std::string& id, PortInfo& port) {
    const std::size_t vid = id.find("VID_");
    const std::size_t pid = id.find("PID_");
    if (vid == std::string::npos || pid == std::string::npos) return;
    port.vendor = static_cast<unsigned>(std::strtoul(id.c_str() + vid + 4, nullptr, 16));
    port.product = static_cast<unsigned>(std::strtoul(id.c_str() + pid + 4, nullptr, 16));
}

// The USB device a port hangs under: the first devnode upward whose id is
// USB\VID_...; its last part is the serial number unless Windows made one up
// (then it holds '&'). A composite device's interface is skipped ("MI_").
void take_usb_device(DEVINST node, PortInfo& port) {
    for (int depth = 0; depth < 8; ++depth) {
        char id[MAX_DEVICE_ID_LEN] = "";
        if (CM_Get_Device_IDA(node, id, sizeof id, 0) != CR_SUCCESS) return;
        if (_strnicmp(id, "USB\\VID_", 8) == 0 && std::strstr(id, "&MI_") == nullptr) {
            port.usb = true;
            take_ids(id, port);
            const char* last = std::strrchr(id, '\\');
            if (last != nullptr && std::strchr(last, '&') == nullptr) port.serial = last + 1;
            char location[256] = "";
            ULONG size = sizeof location;
            if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_INFORMATION, nullptr, location, &size, 0) ==
                CR_SUCCESS) {
                port.location = location;
            }
            return;
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
        node = parent;
    }
}

// Adds what SetupAPI knows of the devices in the Ports class to `ports`.
void add_device_details(std::vector<PortInfo>& ports) {
    HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = "";
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        const bool named = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                               ERROR_SUCCESS &&
                           type == REG_SZ;
        RegCloseKey(key);
        const int number = named ? com_number_of(name) : 0;
        for (PortInfo& port : ports) {
            if (number == 0 || port.com_number != number) continue;
            port.description = device_property(set, device, SPDRP_FRIENDLYNAME);
            take_ids(device_property(set, device, SPDRP_HARDWAREID), port);
            take_usb_device(device.DevInst, port);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<PortInfo> list_serial_ports() {
    std::vector<PortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char value_name[256];
        char data[64];
        DWORD name_size = sizeof value_name;
        DWORD data_size = sizeof data - 1;
        DWORD type = 0;
        const LONG got = RegEnumValueA(key, index, value_name, &name_size, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &data_size);
        if (got == ERROR_NO_MORE_ITEMS) break;
        if (got != ERROR_SUCCESS || type != REG_SZ) continue;
        data[data_size] = '\0';
        PortInfo port;
        port.name = data;
        port.com_number = com_number_of(data);
        port.device = std::string("\\\\.\\") + data;
        port.kind = kind_of_device_name(value_name);
        ports.push_back(port);
    }
    RegCloseKey(key);
    add_device_details(ports);
    sort_ports(ports);
    return ports;
}
