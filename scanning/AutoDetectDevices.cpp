#include "scanning/AutoDetectDevices.h"

#include "device/IOReturn.h"
#include "device/RegistryObject.h"
#include "device/Snmp.h"
#include "platform/foundation/Print.h"
#include "scanning/ScanOptions.h"

#include <optional>
#include <string>

namespace tbx {

namespace {

constexpr std::uint16_t kNetworkVendorId = 0x356C;

} // namespace

std::vector<Device> devicesFromDiscoveryText(std::string_view text) {
    std::vector<Device> devices;
    for (const auto& record : snmpDiscoveryRecords(text)) {
        const std::string ip(record.ip);
        for (const auto& row : ZelkDevices()) {
            if (record.objectId.find(row.oid) != std::string_view::npos) {
                devices.emplace_back(row.name, row.name + "(" + ip + ")", "Net", ip, row.PID,
                                     kNetworkVendorId);
            }
        }
    }
    return devices;
}

std::vector<Device> getDeviceBySNMP() {
    char buffer[kSnmpDiscoveryBufferSize] = {};
    if (autoDetectSNMPPrinters(buffer) == -1) {
        printRaw("snmp get printers error\n");
        return {};
    }
    const std::string text(buffer);
    print(text);
    return devicesFromDiscoveryText(text);
}

std::vector<Device> getDeviceByIOUSB() {
    std::vector<Device> devices;
    try {
        const auto iterator = RegistryObject::matchingServices(iokit::IOServiceMatching("IOUSBDevice"));
        iterator.enumerateServices([&](iokit::io_object_t service, bool&) {
            const auto properties = RegistryObject::properties(service);
            if (!properties) {
                return;
            }
            const auto vendor = RegistryObject::integerProperty(*properties, iokit::kUSBVendorID);
            const auto product = RegistryObject::integerProperty(*properties, iokit::kUSBProductID);
            if (!vendor || !product) {
                return;
            }
            print(" find device pid = " + std::to_string(*product) + " and vid = " + std::to_string(*vendor));
            if (*vendor != kNetworkVendorId) {
                return;
            }
            for (const auto& row : ZelkDevices()) {
                if (*product == row.PID) {
                    devices.emplace_back(row.name, row.name, "USB", "", row.PID, row.VID);
                    print(" find zelk device  pid = " + std::to_string(*product) +
                          " and vid = " + std::to_string(*vendor));
                }
            }
        });
    } catch (const USBError&) {
        // The registry could not be searched: no USB devices.
    }
    return devices;
}

std::vector<Device> getDevicesList() {
    std::vector<Device> devices = getDeviceBySNMP();
    std::vector<Device> usb = getDeviceByIOUSB();
    devices.insert(devices.end(), usb.begin(), usb.end());
    return devices;
}

} // namespace tbx
