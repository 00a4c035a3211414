// The printer models the status monitor knows: discovery keeps a USB device of
// vendor 0x356C whose product identifier is a row's `PID`, and a network device
// whose SNMP sysObjectID text contains a row's `oid`.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tbx {

// The vendor identifier of every printer that discovery finds.
inline constexpr std::uint16_t kZelkVendorId = 0x356C;

struct ZelkPrinter {
    ZelkPrinter(std::string printerName, std::string oid, std::uint16_t PID)
        : printerName(std::move(printerName)), oid(std::move(oid)), PID(PID) {}

    std::string printerName;
    std::string oid;
    std::uint16_t PID;
};

// Built once on first use (safe against concurrent first use); never changes.
const std::vector<ZelkPrinter>& ZelkPrinterList();

} // namespace tbx
