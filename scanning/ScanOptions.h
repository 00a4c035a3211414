// The scanner application's fixed vocabulary: the option lists that the settings
// form shows by index, the table of job-end status codes, and the known scanner
// models that discovery matches against. Each is built once, on first use
// (thread-safe), and never changes afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tbx {

const std::vector<std::string>& colorModeOption();    // "CGRAY", "GRAY256", "TEXT"
const std::vector<std::string>& resolutionOption();   // "200dpi", "300dpi", "600dpi", "1200dpi"
const std::vector<std::string>& typeOption();         // "AUTO", "PHOTO", "TYPE"
const std::vector<std::string>& compressionOption();  // "JPEG", "BMP"
const std::vector<std::string>& pageSizeOption();     // "A4", "A5", "B5(JIS)", "Letter"
const std::vector<std::string>& scanSourceOption();   // "AUTO", "ADF", "FB"
const std::vector<std::string>& saveFileTypeOption(); // "JPEG", "PDF", "BMP"
const std::vector<std::int64_t>& rotateOption();      // 0, 90, 180
const std::vector<std::string>&
combineTypeOption(); // "NoCombine", "CombinHorizontal", "CombinVertical", "IDCard"

// Status byte that ends a scan job (0x80 is the normal end) to its message key.
const std::map<std::int64_t, std::string>& ScanStatus();
// The key of `code`, or nothing when the table has no row for it.
std::optional<std::string> scanStatusKey(std::int64_t code);
// The message of a job that `code` ended: its key, or for a code the table has
// no row for, "unknownScannerStatus 0x" and the code in hexadecimal (both
// transports report such codes this one way).
std::string scanStatusMessage(std::int64_t code);

// A known scanner model.
struct BaseDevice {
    std::string name;      // model name, shown in device labels
    std::string oid;       // tail of the SNMP sysObjectID that identifies the model
    std::uint16_t PID = 0; // USB product id
    std::uint16_t VID = 0; // USB vendor id, always 0x356C

    BaseDevice(std::string name, std::string oid, std::uint16_t PID);

    friend bool operator==(const BaseDevice&, const BaseDevice&) = default;
};

// The maker's models that the application knows: "Tamberlyx".
const std::vector<BaseDevice>& ZelkDevices();

// Attaches a console destination to the application's logger. Nothing in the
// application calls it: the scan road writes its trace lines with plain prints.
void getlog();

} // namespace tbx
