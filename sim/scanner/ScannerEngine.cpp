#include "sim/scanner/ScannerEngine.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstring>

namespace tbx::sim {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::string_view kTextEnd = "\n\xC2\x80";
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kTrailerSize = 10;
// Garbage goes out in pieces of this size: 7-bit bytes never make a USB
// transfer of this length look like a block (its length bytes would need the
// high bit), so none is taken for a unit.
constexpr std::size_t kGarbagePiece = 4000;

// The bytes as text, so the standard searches serve for finding command parts.
std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

std::int64_t toNumber(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (...) {
        return 0;
    }
}

Bytes blockHeader(int pageNo, std::size_t length) {
    Bytes header(kHeaderSize, 0);
    header[3] = std::uint8_t(pageNo & 0xFF);
    header[4] = std::uint8_t((pageNo >> 8) & 0xFF);
    header[10] = std::uint8_t(length & 0xFF);
    header[11] = std::uint8_t((length >> 8) & 0xFF);
    return header;
}

Bytes trailer() {
    Bytes bytes(kTrailerSize, 0);
    bytes[0] = 0x82;
    return bytes;
}

} // namespace

ScannerEngine::ScannerEngine(ScannerScript script) : script_(std::move(script)) {
    script_.maxPayload = std::clamp<std::size_t>(script_.maxPayload, 1, 40960 - kHeaderSize - kTrailerSize);
}

std::size_t ScannerEngine::completeCommandLength(std::span<const std::uint8_t> buffer) {
    if (buffer.empty()) {
        return 0;
    }
    if (buffer[0] != kEsc) {
        return buffer.size(); // not a command: swallow it whole
    }
    if (buffer.size() < 2) {
        return 0;
    }
    if (buffer[1] != 'X') {
        const std::size_t end = asText(buffer).find(kTextEnd);
        return end == std::string::npos ? 0 : end + kTextEnd.size();
    }
    const std::size_t idCard = asText(buffer).find("IDCard=");
    if (idCard == std::string::npos) {
        return 0;
    }
    const std::size_t lineEnd = asText(buffer).find('\n', idCard);
    if (lineEnd == std::string::npos) {
        return 0;
    }
    const bool text = asText(buffer.first(idCard)).find("\nM=TEXT\n") != std::string::npos;
    const std::size_t textEnd = lineEnd + 1;
    if (!text) {
        return textEnd;
    }
    const std::size_t full = textEnd + 5 + 256 + 1; // "GAMA=", the table, 0x80
    return buffer.size() >= full ? full : 0;
}

std::optional<Bytes> ScannerEngine::handleCommand(std::span<const std::uint8_t> command) {
    if (command.size() < 3 || command[0] != kEsc) {
        return std::nullopt;
    }
    const char letter = char(command[1]);
    std::string text(command.begin() + 3, command.end()); // after ESC, the letter and LF
    if (letter != 'X' && text.size() >= kTextEnd.size()) {
        text.resize(text.size() - kTextEnd.size()); // the LF U+0080 ending
    }
    commandLog_.emplace_back(1, letter);
    commandTexts_.push_back(text);
    switch (letter) {
    case 'D':
        return Bytes{script_.paperSourceReply};
    case 'S':
        return Bytes{script_.sourceReply};
    case 'I':
        return Bytes{script_.imageSettingsReply};
    case 'X':
        startJob(text, command);
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::array<std::uint8_t, 5> ScannerEngine::handleVendorRequest(std::uint8_t request) {
    if (request == 1) {
        sessionOpen_ = true;
        return script_.openAnswer;
    }
    if (request == 2) {
        sessionOpen_ = false;
        return script_.closeAnswer;
    }
    return {0, 0, 0, 0, 0};
}

void ScannerEngine::startJob(const std::string& text, std::span<const std::uint8_t> command) {
    settings_ = ScanSettings{};
    for (const auto& line : splitLines(text)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "R") {
            settings_.resolution = value;
        } else if (key == "M") {
            settings_.mode = value;
        } else if (key == "T") {
            settings_.type = value;
        } else if (key == "C") {
            settings_.compression = value;
        } else if (key == "D") {
            settings_.duplex = value;
        } else if (key == "Pages") {
            settings_.pagesLine = int(toNumber(value));
        } else if (key == "IDCard") {
            settings_.idCard = value.rfind('1', 0) == 0;
        } else if (key == "A") {
            std::int64_t numbers[4] = {0, 0, 0, 0};
            std::size_t start = 0;
            for (int i = 0; i < 4 && start <= value.size(); ++i) {
                const std::size_t comma = value.find(',', start);
                numbers[i] = toNumber(
                    value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
                start = comma == std::string::npos ? value.size() + 1 : comma + 1;
            }
            settings_.x = numbers[0];
            settings_.y = numbers[1];
            settings_.w = numbers[2];
            settings_.h = numbers[3];
        }
    }
    const std::size_t gama = asText(command).find("GAMA=");
    if (gama != std::string::npos && command.size() >= gama + 5 + 256) {
        std::array<std::uint8_t, 256> table{};
        std::memcpy(table.data(), command.data() + gama + 5, 256);
        settings_.gamma = table;
    }
    jobStarted_ = true;
    ended_ = false;
    stalled_ = false;
    pagesSent_ = 0;
    pageReady_ = false;
    rawSent_ = 0;
    closed_ = false;
    pendingTrailer_ = false;
    closeAfterTrailer_ = false;
}

void ScannerEngine::preparePage() {
    page_ = makePage(settings_, pagesSent_ + 1, script_.jpegQuality);
    pageOffset_ = 0;
    blocksOfPage_ = 0;
    pageReady_ = true;
}

Bytes ScannerEngine::garbageBytes(std::size_t count) {
    Bytes bytes(count);
    for (auto& byte : bytes) {
        garbageSeed_ = garbageSeed_ * 1664525u + 1013904223u;
        byte = std::uint8_t((garbageSeed_ >> 24) & 0x7F);
    }
    return bytes;
}

std::optional<StreamUnit> ScannerEngine::nextUnit(Framing framing) {
    if (!jobStarted_ || ended_ || stalled_) {
        return std::nullopt;
    }
    if (!script_.rawStream.empty()) {
        if (rawSent_ < script_.rawStream.size()) {
            return StreamUnit{script_.rawStream[rawSent_++], false};
        }
        (script_.holdAfterStream ? stalled_ : ended_) = true;
        return std::nullopt;
    }
    auto endStream = [this] {
        ended_ = true;
        closed_ = true;
    };
    if (pendingTrailer_) {
        pendingTrailer_ = false;
        if (closeAfterTrailer_) {
            endStream();
        }
        return StreamUnit{trailer(), true};
    }
    const int pagesBeforeStatus = script_.endStatusAfterPages >= 0
                                      ? std::min(script_.endStatusAfterPages, script_.pages)
                                      : script_.pages;
    if (pagesSent_ >= pagesBeforeStatus) {
        ended_ = true;
        return StreamUnit{Bytes{script_.endStatus}, false};
    }
    if (!pageReady_) {
        preparePage();
    }
    const Misbehaviour fault =
        pagesSent_ == script_.faultAfterPages ? script_.misbehaviour : Misbehaviour::none;
    const int pageNo = script_.firstPageNumber + pagesSent_;

    // The misbehaviours that start after the page's first block.
    if (blocksOfPage_ >= 1) {
        switch (fault) {
        case Misbehaviour::closeMidPage:
            endStream();
            return std::nullopt;
        case Misbehaviour::stall:
            stalled_ = true;
            return std::nullopt;
        case Misbehaviour::garbage:
            ++blocksOfPage_;
            return StreamUnit{garbageBytes(kGarbagePiece), false};
        case Misbehaviour::closeMidHeader:
            if (blocksOfPage_ == 1) {
                endStream();
                Bytes header = blockHeader(pageNo, std::min(page_.size() - pageOffset_, script_.maxPayload));
                header.resize(7);
                return StreamUnit{std::move(header), false};
            }
            break;
        case Misbehaviour::unknownStatus:
            if (blocksOfPage_ == 1) {
                endStream();
                return StreamUnit{Bytes{kUnknownStatusByte}, false};
            }
            break;
        default:
            break;
        }
    }

    if (fault == Misbehaviour::endlessPage && pageOffset_ == page_.size()) {
        pageOffset_ = 0; // the page's data once more, and never its trailer
    }
    const std::size_t left = page_.size() - pageOffset_;
    std::size_t length = std::min(left, script_.maxPayload);
    const bool needsSecondUnit = fault == Misbehaviour::closeMidPage || fault == Misbehaviour::stall ||
                                 fault == Misbehaviour::closeMidHeader ||
                                 fault == Misbehaviour::unknownStatus;
    if (needsSecondUnit && blocksOfPage_ == 0 && length == left && left > 1) {
        length = left / 2; // the page's first block is not its last
    }
    const bool lastBlock = length == left && fault != Misbehaviour::endlessPage;

    StreamUnit unit;
    unit.bytes = blockHeader(pageNo, length);
    if (blocksOfPage_ == 0 && fault == Misbehaviour::truncateBlock) {
        const std::size_t sent = length / 2;
        unit.bytes.insert(unit.bytes.end(), page_.begin(), page_.begin() + std::ptrdiff_t(sent));
        endStream();
        return unit;
    }
    if (blocksOfPage_ == 0 && fault == Misbehaviour::garbage) {
        const Bytes noise = garbageBytes(length); // in place of the block's payload
        unit.bytes.insert(unit.bytes.end(), noise.begin(), noise.end());
        ++blocksOfPage_;
        return unit;
    }
    if (blocksOfPage_ == 0 && fault == Misbehaviour::malformedBlock) {
        unit.bytes[10] = std::uint8_t((length + 7) & 0xFF); // claims a length its payload does not have
        unit.bytes[11] = std::uint8_t(((length + 7) >> 8) & 0xFF);
    }
    const bool pastPage = lastBlock && fault == Misbehaviour::lengthPastPage;
    if (pastPage) {
        unit.bytes[10] = 0xFF; // 65535: more than the page has left
        unit.bytes[11] = 0xFF;
    }
    unit.bytes.insert(unit.bytes.end(), page_.begin() + std::ptrdiff_t(pageOffset_),
                      page_.begin() + std::ptrdiff_t(pageOffset_ + length));
    pageOffset_ += length;
    ++blocksOfPage_;
    if (!lastBlock) {
        return unit;
    }
    ++pagesSent_;
    pageReady_ = false;
    page_ = Bytes();
    if (framing == Framing::usb) {
        const Bytes tail = trailer();
        unit.bytes.insert(unit.bytes.end(), tail.begin(), tail.end());
        if (pastPage) {
            endStream();
        }
    } else {
        pendingTrailer_ = true; // TCP: the trailer follows as a unit of its own
        closeAfterTrailer_ = pastPage;
    }
    return unit;
}

Bytes ScannerEngine::makePage(const ScanSettings& settings, int pageNo, int jpegQuality) {
    const int w = int(std::clamp<std::int64_t>(settings.w, 1, 20000));
    const int h = int(std::clamp<std::int64_t>(settings.h, 1, 30000));
    // A recognisable pattern: a black block in the top-left quarter (shows
    // orientation after turning), one small square per page number along the
    // top edge, and a band down the right edge (blue in colour mode).
    const QRect marker(w / 8, h / 8, std::max(1, w / 8), std::max(1, h / 8));
    const int square = std::max(2, w / 40);
    if (settings.mode == "TEXT") {
        const int rowBytes = (w + 7) / 8;
        Bytes rows(std::size_t(rowBytes) * std::size_t(h), 0xFF);
        auto clear = [&](int x, int y) {
            rows[std::size_t(y) * rowBytes + x / 8] &= std::uint8_t(~(0x80 >> (x % 8)));
        };
        for (int y = marker.top(); y <= marker.bottom() && y < h; ++y) {
            for (int x = marker.left(); x <= marker.right() && x < w; ++x) {
                clear(x, y);
            }
        }
        for (int n = 0; n < pageNo && n < 20; ++n) {
            for (int y = square; y < 2 * square && y < h; ++y) {
                for (int x = w / 2 + n * 2 * square; x < w / 2 + n * 2 * square + square && x < w; ++x) {
                    clear(x, y);
                }
            }
        }
        return rows;
    }
    const bool colour = settings.mode == "CGRAY";
    QImage image(w, h, colour ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.fillRect(marker, Qt::black);
        for (int n = 0; n < pageNo && n < 20; ++n) {
            painter.fillRect(QRect(w / 2 + n * 2 * square, square, square, square), Qt::black);
        }
        painter.fillRect(QRect(w - std::max(1, w / 16), 0, std::max(1, w / 16), h),
                         colour ? QColor(0, 0, 255) : QColor(128, 128, 128));
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", jpegQuality);
    return Bytes(encoded.begin(), encoded.end());
}

} // namespace tbx::sim
