// The scan image stream, cut by its own lengths whatever pieces its transport
// delivers it in. The scanner sends, for each page, one or more data blocks (a
// 12-byte block header whose bytes 3-4 are the page number and bytes 10-11 the
// payload length L, both little-endian, then L payload bytes) and a 10-byte
// page trailer whose first byte is 0x82; the job ends with one status byte
// (0x80: finished, any other value a scanner status code).
//
// Where a unit begins, its first byte tells what it is: 0x82 a page trailer, any
// other byte with the high bit set a status byte (the status codes run from 0x80
// to 0xE9), anything else a block header. A source that delivers every unit in
// a read of its own (USB bulk transfers) says so, and the parser then also
// refuses a read that holds no whole unit, and takes a read of one byte for the
// status byte whatever its value.
//
// The USB page reader (device/ImageStream.h) and the network scan's page
// receiver both cut their pages here; each keeps its own trace lines through a
// `ScanStreamObserver`.
//
// Every page is bounded: a block that would take the page past the most bytes
// the scan's settings can produce ends the job before its payload is read, so
// a scanner that never ends its page cannot take more memory than one page of
// that size. The page's buffer grows by doubling while it is small and then
// takes the whole bound at once: it never holds a copy of more than half of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tbx {

// Where the stream's bytes come from.
class ScanByteSource {
public:
    virtual ~ScanByteSource() = default;
    // Reads at most `maxLength` bytes into `buffer`: the count, 0 at the end of
    // the stream, negative when the read failed (or gave up waiting).
    virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    // True when every read answers whole units: one block, one block with the
    // page trailer after it, or the status byte alone.
    virtual bool readsWholeUnits() const { return false; }
};

// What the parser saw, for transports that trace their stream. Every call has
// a default that does nothing.
class ScanStreamObserver {
public:
    using HeaderView = std::array<std::uint8_t, 12>;
    virtual ~ScanStreamObserver() = default;
    // A read at the start of a unit, with its count; `view` holds the first 12
    // bytes of the unit as far as they came (later bytes keep earlier values).
    virtual void unitRead(const HeaderView& view, long count) {
        (void)view;
        (void)count;
    }
    // A read of payload bytes: its count and the number asked for.
    virtual void payloadRead(long count, std::size_t asked) {
        (void)count;
        (void)asked;
    }
    // A page trailer; `pageBytes` is the sum of the page's block lengths.
    virtual void trailer(std::span<const std::uint8_t> trailer, const HeaderView& view,
                         std::uint64_t pageBytes) {
        (void)trailer;
        (void)view;
        (void)pageBytes;
    }
    // A status byte; `withTrailer` when it came in the same read as the trailer before it.
    virtual void status(std::uint8_t code, bool withTrailer) {
        (void)code;
        (void)withTrailer;
    }
};

struct ScanStreamStep {
    enum class Kind {
        page,     // a page ended with its trailer: `pageNo`, `data`
        finished, // the status byte 0x80 (`data`: what had come of a page it cut short)
        status,   // another status byte ended the job: `status` (`data` as for finished)
        ended,    // the stream ended where a page or the job's end could begin
        cutShort, // the stream ended inside a page (`data`: what had come of it) or a unit
        broken,   // a read failed, or a unit is malformed: `problem`
        tooLarge, // a block would take the page past its bound (`data` is dropped): `problem`
    };
    Kind kind = Kind::ended;
    // The page number in the header of the page's last block.
    long pageNo = -1;
    std::vector<std::uint8_t> data;
    std::uint8_t status = 0;
    std::string problem;
    // For `broken`: a read failed (else a unit is malformed).
    bool readFailed = false;
};

class ScanStreamParser {
public:
    static constexpr std::size_t kHeaderSize = 12;
    static constexpr std::size_t kTrailerSize = 10;
    // The largest read the parser asks for (and a whole-unit source's transfer).
    static constexpr std::size_t kReadSize = 40960;
    static constexpr std::uint8_t kTrailerMark = 0x82;
    static constexpr std::uint8_t kJobFinished = 0x80;

    // `maxPageBytes`: the most image data one page may hold (the sum of its
    // blocks' lengths). `pageReserve`: the capacity each page's buffer starts
    // with (at most `maxPageBytes`).
    ScanStreamParser(ScanByteSource& source, std::uint64_t maxPageBytes,
                     ScanStreamObserver* observer = nullptr, std::size_t pageReserve = 0);

    // Reads up to the end of the next page or of the job. Once the job has
    // ended (any kind but `page`), every later call answers `ended`.
    ScanStreamStep next();

    // Hands a page's buffer back once its data has been used: the next page is
    // read into it, so the page reserve is made once a job, not once a page
    // (a large block of memory taken and given back for every page makes the
    // allocator hand out fresh, unmapped memory to whatever comes next).
    void recycle(std::vector<std::uint8_t> page);

private:
    enum class Fill { complete, ended, failed };
    // Reads until `pending` holds `count` bytes of the unit being read.
    Fill fill(std::size_t count);
    // One read at the start of a unit into `pending`; its count.
    long readUnitStart();
    // For a whole-unit source: the problem of a read that holds no whole unit.
    std::string wholeUnitProblem() const;
    void consume(std::size_t count);
    // How the job ends when a unit's bytes stopped coming before it was whole.
    static ScanStreamStep unitCutShort(Fill filled, std::vector<std::uint8_t> page);
    ScanStreamStep end(ScanStreamStep step);
    // Makes room for `size` bytes in `page` (never more than the bound).
    void growTo(std::vector<std::uint8_t>& page, std::size_t size) const;

    ScanByteSource& source_;
    std::uint64_t maxPageBytes_;
    ScanStreamObserver* observer_;
    std::size_t pageReserve_;
    std::vector<std::uint8_t> pending_; // read, not yet parsed (the start of the next units)
    std::size_t pendingStart_ = 0;
    ScanStreamObserver::HeaderView view_{};
    bool withTrailer_ = false;        // pending_ began with the rest of the read that held a trailer
    std::vector<std::uint8_t> spare_; // a used page's buffer, for the next page
    bool over_ = false;
};

} // namespace tbx
