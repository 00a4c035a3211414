// Scan image streams for tests: the units of the stream, and the one table of
// oddly cut and malformed network streams that the stream parser, the network
// page receiver and whole network scans are all tested with.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace tbx::test {

using StreamBytes = std::vector<std::uint8_t>;

inline StreamBytes blockHeader(std::size_t length, std::uint16_t pageNo = 1) {
    StreamBytes header(12, 0);
    header[3] = std::uint8_t(pageNo & 0xFF);
    header[4] = std::uint8_t(pageNo >> 8);
    header[10] = std::uint8_t(length & 0xFF);
    header[11] = std::uint8_t(length >> 8);
    return header;
}

// A block header and `length` payload bytes of `fill`.
inline StreamBytes block(std::size_t length, std::uint16_t pageNo = 1, std::uint8_t fill = 0x11) {
    StreamBytes bytes = blockHeader(length, pageNo);
    bytes.insert(bytes.end(), length, fill);
    return bytes;
}

inline StreamBytes trailer(std::uint8_t mark = 0x82) {
    StreamBytes bytes(10, 0);
    bytes[0] = mark;
    return bytes;
}

inline StreamBytes joined(std::initializer_list<StreamBytes> parts) {
    StreamBytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct StreamCase {
    enum class Ending { close, silence };
    enum class Outcome { finished, ended, status, cutShort, broken };
    std::string name;
    // Each piece is delivered by one read (at most what the read asks for) or
    // sent in one write.
    std::vector<StreamBytes> pieces;
    // After the pieces the peer closes, or stays silent until the reader gives up.
    Ending ending = Ending::close;
    // The pages that arrive whole before the stream ends; page n is filled with
    // the byte n and holds `pageBytes(n)` bytes.
    std::size_t pagesKept = 0;
    Outcome outcome = Outcome::finished;
    std::uint8_t status = 0; // for Outcome::status
};

inline std::size_t pageBytes(std::size_t pageNo) {
    return 3 + 2 * pageNo;
}

// The pages 1..count as blocks and trailers, one stream.
inline StreamBytes wholePages(std::size_t count) {
    StreamBytes all;
    for (std::size_t n = 1; n <= count; ++n) {
        const StreamBytes page = joined({block(pageBytes(n), std::uint16_t(n), std::uint8_t(n)), trailer()});
        all.insert(all.end(), page.begin(), page.end());
    }
    return all;
}

inline std::vector<StreamBytes> inPiecesOf(const StreamBytes& stream, std::size_t size) {
    std::vector<StreamBytes> pieces;
    for (std::size_t at = 0; at < stream.size(); at += size) {
        pieces.emplace_back(stream.begin() + std::ptrdiff_t(at),
                            stream.begin() + std::ptrdiff_t(std::min(stream.size(), at + size)));
    }
    return pieces;
}

inline const std::vector<StreamCase>& networkStreamCases() {
    using O = StreamCase::Outcome;
    using E = StreamCase::Ending;
    const StreamBytes page1 = wholePages(1);
    const StreamBytes header2 = blockHeader(pageBytes(2), 2);
    const StreamBytes payload2(pageBytes(2), 2);
    static const std::vector<StreamCase> cases{
        {"trailer and next header in one piece",
         {block(pageBytes(1), 1, 1), joined({trailer(), header2}), payload2, trailer(), {0x80}},
         E::close,
         2,
         O::finished},
        {"header split across two pieces",
         {StreamBytes(page1.begin(), page1.begin() + 5), StreamBytes(page1.begin() + 5, page1.end()), {0x80}},
         E::close,
         1,
         O::finished},
        {"every byte a piece of its own", inPiecesOf(joined({wholePages(2), {0x80}}), 1), E::close, 2,
         O::finished},
        {"status byte with the trailer",
         {block(pageBytes(1), 1, 1), joined({trailer(), {0x80}})},
         E::close,
         1,
         O::finished},
        {"whole job in one piece", {joined({wholePages(3), {0x80}})}, E::close, 3, O::finished},
        {"close between pages", {page1}, E::close, 1, O::ended},
        {"length past the end",
         {page1, joined({blockHeader(100, 2), StreamBytes(40, 2)})},
         E::close,
         1,
         O::cutShort},
        {"close mid-page", {page1, joined({header2, payload2})}, E::close, 1, O::cutShort},
        {"close inside a header",
         {page1, StreamBytes(header2.begin(), header2.begin() + 7)},
         E::close,
         1,
         O::cutShort},
        {"close inside a trailer",
         {joined({block(pageBytes(1), 1, 1), StreamBytes{0x82, 0, 0}})},
         E::close,
         0,
         O::cutShort},
        {"unknown status byte", {page1, {0x99}}, E::close, 1, O::status, 0x99},
        {"paper jam inside a page",
         {page1, joined({header2, payload2}), {0xC3}},
         E::close,
         1,
         O::status,
         0xC3},
        {"silence inside a page", {page1, joined({header2, payload2})}, E::silence, 1, O::broken},
        {"trailer without a block", {trailer()}, E::close, 0, O::broken},
    };
    return cases;
}

} // namespace tbx::test
