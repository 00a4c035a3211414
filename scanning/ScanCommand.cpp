#include "scanning/ScanCommand.h"

#include "platform/foundation/Print.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tbx {

namespace {

constexpr char esc = '\x1B';
// LF then U+0080 in UTF-8: the ending of every text command.
constexpr const char* textEnding = "\n\xC2\x80";

std::string textCommand(char letter, const std::string& body) {
    std::string cmd;
    cmd.push_back(esc);
    cmd.push_back(letter);
    cmd.push_back('\n');
    cmd += body;
    cmd += textEnding;
    return cmd;
}

} // namespace

ScanCommand::ScanCommand(ScanParam scanParam) : param(std::move(scanParam)) {}

void ScanCommand::setScanParam(ScanParam newParam) {
    param = std::move(newParam);
}

std::string ScanCommand::getDCommand() const {
    print("selected source = " + param.source);
    return textCommand('D', param.source);
}

std::string ScanCommand::getSCommand() const {
    return textCommand('S', param.source);
}

std::string ScanCommand::getICommand() const {
    return textCommand('I', "R=" + param.resolution + "\nM=" + param.mode + "\nD=" + param.duplex);
}

std::vector<std::uint8_t> ScanCommand::getXCommand() const {
    const bool idCard = param.combineType == "IDCard";
    const std::int64_t areaHeight = idCard ? param.h / 2 : param.h;

    std::string text;
    text.push_back(esc);
    text += "X\n";
    text += "R=" + param.resolution + "\n";
    text += "M=" + param.mode + "\n";
    text += "T=" + param.type + "\n";
    text += "C=" + param.compression + "\n";
    text += "J=" + param.compressRatio + "\n";
    text += "B=" + param.brightness + "\n";
    text += "N=" + param.contrast + "\n";
    text += "A=" + std::to_string(param.x) + "," + std::to_string(param.y) + "," + std::to_string(param.w) +
            "," + std::to_string(areaHeight) + "\n";
    text += "D=" + param.duplex + "\n";
    if (param.combineType != "NoCombine") {
        text += "Pages=2\n";
    }
    text += idCard ? "IDCard=1\n" : "IDCard=0\n";
    print("cmd = " + text);

    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    if (param.mode == "TEXT") {
        for (char c : std::string("GAMA=")) {
            bytes.push_back(std::uint8_t(c));
        }
        const auto table = gammaTable(param.gamma);
        bytes.insert(bytes.end(), table.begin(), table.end());
        bytes.push_back(0x80);
    }
    return bytes;
}

std::vector<std::uint8_t> ScanCommand::gammaTable(std::int64_t gamma) {
    std::vector<std::uint8_t> table(256);
    for (int i = 0; i < 256; ++i) {
        if (gamma == 1 || gamma <= 0) {
            table[std::size_t(i)] = std::uint8_t(i);
            continue;
        }
        const double value = std::pow(i / 255.0, 1.0 / double(gamma)) * 255.0;
        table[std::size_t(i)] = std::uint8_t(std::clamp(std::trunc(value), 0.0, 255.0));
    }
    return table;
}

ResultPair paperSourceResult(std::uint8_t reply, std::string& source) {
    switch (reply) {
    case 0x80:
        if (source == "AUTO") {
            source = "ADF";
        }
        return {true, "ok"};
    case 0xC2:
        if (source == "AUTO") {
            source = "FB";
            return {true, "ok"};
        }
        return {false, "noPaperInADF"};
    case 0xD0:
        return {false, "paperSourceNotExist"};
    case 0xC4:
        return {false, "cannotChekPaperSource"};
    default:
        return {false, "unexpectError"};
    }
}

ResultPair sourceSelectionResult(std::uint8_t reply) {
    if (reply == 0x80) {
        return {true, "ok"};
    }
    if (reply == 0xD0) {
        return {false, "paperSourceNotExist"};
    }
    return {false, "unexpectError"};
}

} // namespace tbx

namespace {
void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}
} // namespace

std::size_t std::hash<tbx::ScanParam>::operator()(const tbx::ScanParam& p) const noexcept {
    std::hash<std::string> hs;
    std::hash<std::int64_t> hi;
    std::size_t seed = hs(p.source);
    for (const auto* s :
         {&p.resolution, &p.mode, &p.type, &p.compression, &p.compressRatio, &p.brightness, &p.contrast}) {
        hashCombine(seed, hs(*s));
    }
    for (auto v : {p.x, p.y, p.w, p.h}) {
        hashCombine(seed, hi(v));
    }
    hashCombine(seed, hs(p.duplex));
    hashCombine(seed, hi(p.gamma));
    hashCombine(seed, hs(p.combineType));
    hashCombine(seed, hs(p.filePath));
    hashCombine(seed, hs(p.fileType));
    hashCombine(seed, hi(p.rotateAngle));
    return seed;
}
