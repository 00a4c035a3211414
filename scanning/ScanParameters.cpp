#include "scanning/ScanParameters.h"

#include "platform/posix/PosixIO.h"
#include "scanning/ScanOptions.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string_view>

namespace tbx {

namespace {

template <typename List>
bool inList(std::int64_t index, const List& list) {
    return index >= 0 && std::uint64_t(index) < list.size();
}

template <typename List>
const typename List::value_type& entry(const List& list, std::int64_t index, const char* what) {
    if (!inList(index, list)) {
        throw std::out_of_range(std::string(what) + " index " + std::to_string(index) +
                                " is outside its list");
    }
    return list[std::size_t(index)];
}

struct PageDots {
    double W;
    double H;
};

// Page size in dots at 300 dpi; unknown names fall back to A4.
PageDots pageDots(const std::string& page) {
    if (page == "A5") {
        return {1728, 2433};
    }
    if (page == "B5(JIS)") {
        return {2112, 2979};
    }
    if (page == "Letter") {
        return {2528, 3234};
    }
    return {2432, 3441};
}

// The length of the blank character (an ASCII space or a space separator of
// Unicode, UTF-8 encoded) at the start of `text`, 0 when it starts otherwise.
std::size_t blankLength(std::string_view text) {
    static constexpr std::string_view blanks[] = {
        " ",      "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
        "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000",
    };
    for (const std::string_view blank : blanks) {
        if (text.starts_with(blank)) {
            return blank.size();
        }
    }
    return 0;
}

bool onlyBlanks(std::string_view text) {
    while (!text.empty()) {
        const std::size_t n = blankLength(text);
        if (n == 0) {
            return false;
        }
        text.remove_prefix(n);
    }
    return true;
}

} // namespace

bool isPlainFileName(const std::string& name) {
    // A name of blanks only would make files whose names look empty ("  -0001.jpg").
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && !onlyBlanks(name);
}

std::optional<std::string> saveFileNameProblem(const std::string& name, std::size_t nameMax) {
    if (!isPlainFileName(name)) {
        return "invalidSaveFileName";
    }
    if (!posix::isValidUTF8(reinterpret_cast<const std::uint8_t*>(name.data()), name.size())) {
        return "saveFileNameNotUTF8";
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return "saveFileNameControlCharacter";
        }
    }
    if (name.front() == '-') {
        return "saveFileNameStartsWithDash";
    }
    if (name.size() + kPageFileSuffixBytes > nameMax) {
        return "saveFileNameTooLong";
    }
    return std::nullopt;
}

std::optional<std::string> invalidSettingKey(const UIParams& p, std::size_t nameMax) {
    const bool indexesValid =
        inList(p.scanSourceIndex, scanSourceOption()) && inList(p.colorModeIndex, colorModeOption()) &&
        inList(p.resolutionIndex, resolutionOption()) && inList(p.pageSizeIndex, pageSizeOption()) &&
        (p.saveTypeIndex == 0 || p.saveTypeIndex == 1) && inList(p.contentTypeIndex, typeOption()) &&
        inList(p.rotateAngleIndex, rotateOption()) && inList(p.combineTypeIndex, combineTypeOption());
    if (!indexesValid) {
        return "invalidScanSetting";
    }
    // Black-and-white pages kept as BMP files are written as they arrive and
    // never combined: refused here, before anything is scanned.
    const bool bmpPages = colorModeOption()[std::size_t(p.colorModeIndex)] == "TEXT" && p.saveTypeIndex == 0;
    if (bmpPages && combineTypeOption()[std::size_t(p.combineTypeIndex)] != "NoCombine") {
        return "cannotCombineBWPages";
    }
    if (auto problem = saveFileNameProblem(p.saveFileName, nameMax)) {
        return problem;
    }
    // The whole path of a page file: folder, receive folder with a suffix,
    // file name and page suffix.
    constexpr std::size_t receiveFolderBytes = 1 + 14 + 6 + 1;
    if (p.saveDir.size() + receiveFolderBytes + p.saveFileName.size() + kPageFileSuffixBytes >= PATH_MAX) {
        return "saveFileNameTooLong";
    }
    return std::nullopt;
}

ScanParam scanParameters(const UIParams& p, const std::string& receiveDir) {
    const std::string& mode = entry(colorModeOption(), p.colorModeIndex, "colour mode");
    const std::string& resolutionText = entry(resolutionOption(), p.resolutionIndex, "resolution");
    const PageDots page = pageDots(entry(pageSizeOption(), p.pageSizeIndex, "page size"));
    if (p.saveTypeIndex != 0 && p.saveTypeIndex != 1) {
        throw std::out_of_range("save type index " + std::to_string(p.saveTypeIndex) +
                                " is outside its list");
    }

    std::string resolution;
    std::int64_t w = 0;
    std::int64_t h = 0;
    if (resolutionText == "300dpi") {
        resolution = "300,300";
        w = std::int64_t(page.W);
        h = std::int64_t(page.H);
    } else if (resolutionText == "600dpi") {
        resolution = "600,600";
        w = std::int64_t(page.W * 2.0);
        h = std::int64_t(page.H * 2.0);
    } else if (resolutionText == "1200dpi") {
        resolution = "1200,1200";
        w = std::int64_t(page.W * 4.0);
        h = std::int64_t(page.H * 4.0);
    } else {
        // 200 dpi, and the fallback for any other text. Black-and-white pages at
        // 200 dpi are always 1632 dots wide.
        resolution = "200,200";
        w = std::int64_t(page.W / 3.0 * 2.0);
        h = std::int64_t(page.H / 3.0 * 2.0);
        if (mode == "TEXT") {
            w = 1632;
        }
    }

    const bool text = mode == "TEXT";
    ScanParam param;
    param.source = entry(scanSourceOption(), p.scanSourceIndex, "scan source");
    param.resolution = resolution;
    param.mode = mode;
    param.type = entry(typeOption(), p.contentTypeIndex, "content type");
    param.compression = text ? "BMP" : "JPEG";
    param.compressRatio = "MID";
    param.brightness = "50";
    param.contrast = "50";
    param.x = 0;
    param.y = 0;
    param.w = w;
    param.h = h;
    param.duplex = "SIN";
    param.gamma = 1;
    param.combineType = entry(combineTypeOption(), p.combineTypeIndex, "combine type");
    param.filePath = receiveDir + "/" + p.saveFileName;
    param.fileType = p.saveTypeIndex == 0 ? (text ? "BMP" : "JPEG") : "PDF";
    param.rotateAngle = entry(rotateOption(), p.rotateAngleIndex, "rotation");
    return param;
}

std::uint64_t maxPageBytes(const ScanParam& param) {
    // Beyond any page a scanner makes, and small enough that nothing overflows.
    static constexpr std::int64_t largestSide = 1 << 20;
    const auto side = [](std::int64_t dots) {
        return std::uint64_t(std::clamp<std::int64_t>(dots, 0, largestSide));
    };
    const std::uint64_t w = side(param.w);
    const std::uint64_t h = side(param.h);
    if (param.mode == "TEXT") {
        constexpr std::uint64_t oneBlock = 65535;
        return (w + 7) / 8 * h + oneBlock;
    }
    constexpr std::uint64_t bytesPerPixel = 6;
    constexpr std::uint64_t markers = 1 << 20;
    return (w + 7) / 8 * 8 * ((h + 7) / 8 * 8) * bytesPerPixel + markers;
}

} // namespace tbx
