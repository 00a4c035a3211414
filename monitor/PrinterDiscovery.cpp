#include "monitor/PrinterDiscovery.h"

#include "device/JqIOUSB.h"
#include "device/Snmp.h"
#include "monitor/ZelkPrinter.h"
#include "platform/foundation/Print.h"

#include <cstring>
#include <optional>
#include <vector>

namespace tbx {

namespace {

std::optional<std::int64_t> integerProperty(const iokit::Dictionary& properties, const char* key) {
    const auto found = properties.find(key);
    if (found == properties.end()) {
        return std::nullopt;
    }
    if (const auto* number = std::get_if<std::int64_t>(&found->second)) {
        return *number;
    }
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        pieces.push_back(
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return pieces;
        }
        start = end + 1;
    }
}

} // namespace

void findUsbPrinters(const PrinterSink& found) {
    using namespace iokit;
    io_iterator_t iterator = IO_OBJECT_NULL;
    // A failed search leaves the iterator empty: no USB printer is listed.
    IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator);
    if (iterator == IO_OBJECT_NULL) {
        return;
    }
    RegistryObject services{iterator};
    const auto handle = [&](io_object_t service, bool&) {
        Dictionary properties;
        if (IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0) !=
            kIOReturnSuccess) {
            return;
        }
        const auto vendor = integerProperty(properties, kUSBVendorID);
        const auto product = integerProperty(properties, kUSBProductID);
        if (!vendor || !product) {
            return;
        }
        print(" find device pid = " + std::to_string(*product) + " and vid = " + std::to_string(*vendor));
        if (*vendor != kZelkVendorId) {
            return;
        }
        std::optional<std::uint32_t> location;
        if (const auto value = integerProperty(properties, "locationID");
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
    try {
        services.enumerateServices(handle);
    } catch (...) {
        services.release();
        throw;
    }
    services.release();
}

void printersFromDiscoveryText(std::string_view text, const PrinterSink& found) {
    for (const auto piece : split(text, '|')) {
        if (piece.empty()) {
            continue;
        }
        const auto fields = split(piece, ',');
        if (fields.size() < 2) {
            continue;
        }
        const std::string ip(fields[0]);
        for (const auto& row : ZelkPrinterList()) {
            if (fields[1].find(row.oid) != std::string_view::npos) {
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
