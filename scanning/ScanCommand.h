// The settings of one scan in the scanner's own words (`ScanParam`) and the
// builder of the scanner's four text commands from them (`ScanCommand`):
//   D  paper-source query     ESC 'D' LF source LF U+0080
//   S  source selection       ESC 'S' LF source LF U+0080
//   I  image settings         ESC 'I' LF R=.. LF M=.. LF D=.. LF U+0080
//   X  scan start             ESC 'X' LF R= M= T= C= J= B= N= A= D= [Pages=2] IDCard= lines,
//                             in TEXT mode followed by "GAMA=", a 256-byte table and 0x80
// The text commands are returned UTF-8 encoded, so U+0080 is the two bytes
// 0xC2 0x80: exactly the bytes that go on the wire.
#pragma once

#include "scanning/ResultPair.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tbx {

struct ScanParam {
    std::string source;        // "AUTO", "ADF" or "FB"; the paper-source check resolves "AUTO"
    std::string resolution;    // "200,200", "300,300", "600,600" or "1200,1200"
    std::string mode;          // "CGRAY", "GRAY256" or "TEXT" (black and white, 1-bit pages)
    std::string type;          // "AUTO", "PHOTO" or "TYPE"
    std::string compression;   // "JPEG" or "BMP"
    std::string compressRatio; // "MID"
    std::string brightness;    // "50"
    std::string contrast;      // "50"
    std::int64_t x = 0;        // scan area in dots at the chosen resolution
    std::int64_t y = 0;
    std::int64_t w = 0;
    std::int64_t h = 0;
    std::string duplex;           // "SIN"
    std::int64_t gamma = 1;       // exponent of the TEXT-mode transfer table
    std::string combineType;      // "NoCombine", "CombinHorizontal", "CombinVertical" or "IDCard"
    std::string filePath;         // receive folder + "/" + file name; pages append "-%04d.jpg" etc.
    std::string fileType;         // "JPEG", "BMP" or "PDF"
    std::int64_t rotateAngle = 0; // 0, 90 or 180

    friend bool operator==(const ScanParam&, const ScanParam&) = default;
};

// Shared by reference between the scanner model and the scan process of one
// scan; the paper-source check may rewrite `param.source`, and every builder
// reads `param` when it is called.
class ScanCommand {
public:
    explicit ScanCommand(ScanParam scanParam);

    ScanParam param;

    void setScanParam(ScanParam newParam);

    // Writes the trace line "selected source = " + source first.
    std::string getDCommand() const;
    std::string getSCommand() const;
    std::string getICommand() const;
    // Writes the trace line "cmd = " + the text part.
    std::vector<std::uint8_t> getXCommand() const;

    // The TEXT-mode transfer table: entry i is i for gamma 1 (and for the
    // meaningless gamma <= 0), otherwise pow(i / 255, 1 / gamma) * 255 truncated.
    static std::vector<std::uint8_t> gammaTable(std::int64_t gamma);
};

// The scanner's answer to the paper-source check (D), the same on both
// transports. A source of "AUTO" is resolved to "ADF" (0x80) or "FB" (0xC2).
ResultPair paperSourceResult(std::uint8_t reply, std::string& source);
// The scanner's answer to the source selection (S).
ResultPair sourceSelectionResult(std::uint8_t reply);

} // namespace tbx

template <>
struct std::hash<tbx::ScanParam> {
    std::size_t operator()(const tbx::ScanParam& p) const noexcept;
};
