// The simulated Tamberlyx scanner's protocol engine, shared by its USB and TCP
// transports. It answers the host's commands the way the scanner does (D, S, I
// and X text commands; vendor open and close requests), and once X has started a
// job it produces the scan image stream: data blocks with a 12-byte header, a
// 10-byte page trailer (0x82 ...) after each page and a lone status byte at the
// end. Pages are generated test patterns sized from the X command: JPEG files
// for the grey and colour modes, raw 1-bit rows (set bit = white) for TEXT.
// A script chooses the replies, the page count, the ending status byte and one
// misbehaviour, on the first page or after some whole pages.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tbx::sim {

using Bytes = std::vector<std::uint8_t>;

// What the last X command asked for.
struct ScanSettings {
    std::string resolution; // "300,300"
    std::string mode;       // "CGRAY", "GRAY256", "TEXT"
    std::string type;
    std::string compression;
    std::string duplex;
    std::int64_t x = 0, y = 0, w = 0, h = 0;
    int pagesLine = 0; // value of a "Pages=" line, 0 when absent
    bool idCard = false;
    std::optional<std::array<std::uint8_t, 256>> gamma; // TEXT mode only
};

// What goes wrong on the page after `faultAfterPages` whole pages. "The stream
// ends" closes the TCP connection at once; on USB the reads after it answer
// the platform's code for a device that went away.
enum class Misbehaviour {
    none,
    truncateBlock,  // a block header promises more payload than follows, then the stream ends
    stall,          // the stream stops after the page's first block; the connection stays open, silent
    malformedBlock, // a block whose header length disagrees with its payload
    closeMidPage,   // the stream ends after the page's first block
    endlessPage,    // the page's blocks never end: its data over and over, and no trailer
    lengthPastPage, // the page's last block announces 65535 bytes; what the page has left and the
                    // trailer follow, then the stream ends
    garbage,        // after the page's first block header, bytes of no unit (7-bit, so none reads
                    // as a status byte or trailer), without end
    closeMidHeader, // the stream ends 7 bytes into the page's second block header
    unknownStatus,  // after the page's first block, the status byte 0x99 (in no table); then the
                    // stream ends
};

// The status byte of Misbehaviour::unknownStatus.
inline constexpr std::uint8_t kUnknownStatusByte = 0x99;

struct ScannerScript {
    std::string greeting = "0001";
    std::uint8_t paperSourceReply = 0x80;   // first byte of the reply to D
    std::uint8_t sourceReply = 0x80;        // ... to S
    std::uint8_t imageSettingsReply = 0x00; // ... to I
    std::array<std::uint8_t, 5> openAnswer{5, 0, 0, 0, 0};
    std::array<std::uint8_t, 5> closeAnswer{5, 0, 0, 0, 0};
    int pages = 1;                  // pages in the job
    std::uint8_t endStatus = 0x80;  // status byte that ends the job
    int endStatusAfterPages = -1;   // send `endStatus` after this many pages; -1: after all
    std::size_t maxPayload = 32768; // largest block payload
    int firstPageNumber = 1;        // page number carried in the block headers
    Misbehaviour misbehaviour = Misbehaviour::none;
    int faultAfterPages = 0; // whole pages sent before the misbehaviour's page
    int jpegQuality = 85;
    // TCP: a pause after each page trailer (none by default: the host must cut
    // the stream by its lengths, not by when its pieces come).
    std::chrono::milliseconds tcpTrailerPause{0};
    // TCP: the stream goes out in pieces of random sizes drawn from this seed,
    // so trailers share pieces with the next header, headers are split across
    // two pieces, and so on; 0 sends one piece per stream unit.
    std::uint32_t tcpSegmentSeed = 1;
    // Instead of generated pages, the stream after X is these pieces as they
    // stand (one write or one bulk transfer each); after them the stream ends,
    // or stays open and silent when `holdAfterStream`.
    std::vector<Bytes> rawStream{};
    bool holdAfterStream = false;
};

// How the stream is cut into units. USB: one unit per bulk transfer, the trailer
// riding with the last block of the page. TCP: the trailer is a unit of its own
// (the TCP scanner then cuts the byte stream into pieces as its script says).
enum class Framing { usb, tcp };

struct StreamUnit {
    Bytes bytes;
    bool pauseAfter = false;
};

class ScannerEngine {
public:
    explicit ScannerEngine(ScannerScript script);

    // Length of the first complete command at the start of `buffer`, 0 while the
    // command is still incomplete. Text commands end with LF 0xC2 0x80; X ends
    // with its "IDCard=" line, or in TEXT mode with the gamma table and 0x80.
    static std::size_t completeCommandLength(std::span<const std::uint8_t> buffer);

    // Answers one complete command: the reply bytes, none for X (the image stream
    // follows instead) or for bytes that are no command.
    std::optional<Bytes> handleCommand(std::span<const std::uint8_t> command);

    // Vendor requests on the default pipe: 1 opens, 2 closes a scan session.
    // Answers the five answer bytes.
    std::array<std::uint8_t, 5> handleVendorRequest(std::uint8_t request);

    bool jobStarted() const { return jobStarted_; }
    bool sessionOpen() const { return sessionOpen_; }
    const ScanSettings& settings() const { return settings_; }
    // Command letters in the order received ("D", "S", "I", "X").
    const std::vector<std::string>& commandLog() const { return commandLog_; }
    // The text lines of the commands as received, for tests that check sources.
    const std::vector<std::string>& commandTexts() const { return commandTexts_; }

    // The next unit of the image stream; none once it has ended. `stalled()` tells
    // a stall (keep the link open, send nothing) from a finished stream.
    std::optional<StreamUnit> nextUnit(Framing framing);
    bool stalled() const { return stalled_; }
    // The stream ended part-way through the job by the misbehaviour: the
    // transport closes (or goes away) instead of waiting for the host.
    bool closed() const { return closed_; }
    Misbehaviour misbehaviour() const { return script_.misbehaviour; }

    // A generated page for these settings: a JPEG file, or raw 1-bit rows in TEXT mode.
    static Bytes makePage(const ScanSettings& settings, int pageNo, int jpegQuality = 85);

private:
    void startJob(const std::string& text, std::span<const std::uint8_t> command);
    void preparePage();
    // `count` bytes of 7-bit garbage from the engine's own seed.
    Bytes garbageBytes(std::size_t count);

    ScannerScript script_;
    ScanSettings settings_;
    bool jobStarted_ = false;
    bool sessionOpen_ = false;
    bool stalled_ = false;
    bool ended_ = false;
    bool closed_ = false;
    std::vector<std::string> commandLog_;
    std::vector<std::string> commandTexts_;

    int pagesSent_ = 0;
    Bytes page_;
    std::size_t pageOffset_ = 0;
    bool pageReady_ = false;
    bool pendingTrailer_ = false;
    bool closeAfterTrailer_ = false;
    int blocksOfPage_ = 0;
    std::size_t rawSent_ = 0;
    std::uint32_t garbageSeed_ = 1;
};

} // namespace tbx::sim
