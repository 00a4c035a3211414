#include "monitor/PrinterDiscovery.h"

#include "device/JqIOUSB.h"
#include "device/Snmp.h"
#include "monitor/ZelkPrinter.h"
#include "platform/foundation/Print.h"

#include <cstring>
#include <optional>
#include <vector>

namespace tbx {

void findUsbPrinters(const PrinterSink& found) {
    using namespace iokit;
    RegistryObject services;
    try {
        services = RegistryObject::matchingServices(IOServiceMatching("IOUSBDevice"));
    } catch (const USBError&) {
        return; // a failed search lists no USB printer
    }
    const auto handle = [&](io_object_t service, bool&) {
        const auto read = RegistryObject::properties(service);
        if (!read) {
            return;
        }
        const Dictionary& properties = *read;
        const auto vendor = RegistryObject::integerProperty(properties, kUSBVendorID);
        const auto product = RegistryObject::integerProperty(properties, kUSBProductID);
        if (!vendor || !product) {
            return;
        }
        print(" find device pid = " + std::to_string(*product) + " and vid = " + std::to_string(*vendor));
        if (*vendor != kZelkVendorId) {
            return;
        }
        std::optional<std::uint32_t> location;
        if (const auto value = RegistryObject::integerProperty(properties, "locationID");
            value && *value >= 0 && *value <= 0xFFFFFFFFLL) {
            location = static_cast<std::uint32_t>(*value);
        }
        for (const auto& row : ZelkPrinterList()) {
            if (*product == row.PID) {
                found(Printer(row.printerName, row.printerName + "(USB)", "USB", "",
                              static_cast<std::uint16_t>(*product), static_cast<std::uint16_t>(*vendor),
                              location));
                print(" find device " + row.printerName + " pid = " + std::to_string(*product) +
                      " and vid = " + std::to_string(*vendor));
            }
        }
    };
    services.enumerateServices(handle); // the iterator is given back with `services`
}

void printersFromDiscoveryText(std::string_view text, const PrinterSink& found) {
    for (const auto& record : snmpDiscoveryRecords(text)) {
        const std::string ip(record.ip);
        for (const auto& row : ZelkPrinterList()) {
            if (record.objectId.find(row.oid) != std::string_view::npos) {
                found(Printer(row.printerName, row.printerName + "(" + ip + ")", "Net", ip, row.PID,
                              kZelkVendorId));
            }
        }
    }
}

SnmpDiscoveryOutcome discoverSnmpPrinters() {
    std::vector<char> buffer(kSnmpDiscoveryBufferSize, '\0');
    SnmpDiscoveryOutcome outcome;
    outcome.result = autoDetectSNMPPrinters(buffer.data(), buffer.size());
    outcome.text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    return outcome;
}

} // namespace tbx
