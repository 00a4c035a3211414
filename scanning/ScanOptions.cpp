#include "scanning/ScanOptions.h"

#include <cstdio>
#include <utility>

namespace tbx {

const std::vector<std::string>& colorModeOption() {
    static const std::vector<std::string> list{"CGRAY", "GRAY256", "TEXT"};
    return list;
}

const std::vector<std::string>& resolutionOption() {
    static const std::vector<std::string> list{"200dpi", "300dpi", "600dpi", "1200dpi"};
    return list;
}

const std::vector<std::string>& typeOption() {
    static const std::vector<std::string> list{"AUTO", "PHOTO", "TYPE"};
    return list;
}

const std::vector<std::string>& compressionOption() {
    static const std::vector<std::string> list{"JPEG", "BMP"};
    return list;
}

const std::vector<std::string>& pageSizeOption() {
    static const std::vector<std::string> list{"A4", "A5", "B5(JIS)", "Letter"};
    return list;
}

const std::vector<std::string>& scanSourceOption() {
    static const std::vector<std::string> list{"AUTO", "ADF", "FB"};
    return list;
}

const std::vector<std::string>& saveFileTypeOption() {
    static const std::vector<std::string> list{"JPEG", "PDF", "BMP"};
    return list;
}

const std::vector<std::int64_t>& rotateOption() {
    static const std::vector<std::int64_t> list{0, 90, 180};
    return list;
}

const std::vector<std::string>& combineTypeOption() {
    static const std::vector<std::string> list{"NoCombine", "CombinHorizontal", "CombinVertical", "IDCard"};
    return list;
}

const std::map<std::int64_t, std::string>& ScanStatus() {
    static const std::map<std::int64_t, std::string> table{
        {0x80, "scanFinished"},
        {0x83, "forceInterruptByCommadR"},
        {0x86, "stoppedByDeviceKey"},
        {0xC2, "noPaperInADF"},
        {0xC3, "paperJunck"},
        {0xC4, "upperDoorOpen"},
        {0xC5, "cannotScannerByICommandC5"},
        {0xC6, "scannerMemoryFull"},
        {0xD0, "commandXSyntaxError"},
        {0xE2, "paperTooLong"},
        {0xE4, "runPaperFailed"},
        {0xE7, "resetFailed"},
        {0xE9, "pushOutPaperFailed"},
    };
    return table;
}

std::optional<std::string> scanStatusKey(std::int64_t code) {
    const auto& table = ScanStatus();
    if (auto it = table.find(code); it != table.end()) {
        return it->second;
    }
    return std::nullopt;
}

std::string scanStatusMessage(std::int64_t code) {
    if (auto key = scanStatusKey(code)) {
        return *key;
    }
    char text[48];
    std::snprintf(text, sizeof text, "unknownScannerStatus 0x%02llX",
                  static_cast<unsigned long long>(code & 0xFF));
    return text;
}

BaseDevice::BaseDevice(std::string name, std::string oid, std::uint16_t PID)
    : name(std::move(name)), oid(std::move(oid)), PID(PID), VID(0x356C) {}

const std::vector<BaseDevice>& ZelkDevices() {
    static const std::vector<BaseDevice> list{BaseDevice("Tamberlyx", "53303.4.7.1.9", 0x37)};
    return list;
}

} // namespace tbx
