// The scan stream parser on hand-made byte sequences: the shared table of oddly
// cut and malformed network streams, and the byte-level cases around it.
#include "device/ScanStreamParser.h"

#include "tests/support/ScanStreams.h"

#include <deque>
#include <gtest/gtest.h>

using namespace tbx;
using namespace tbx::test;
using Kind = ScanStreamStep::Kind;

namespace {

// Larger than any page of these streams.
constexpr std::uint64_t kNoBound = 1 << 20;

// Delivers its pieces one read each (a read asking for less leaves the rest for
// the next), then the end of the stream (0) or a failed read (-1).
class PieceSource final : public ScanByteSource {
public:
    explicit PieceSource(std::vector<StreamBytes> pieces, long afterwards = 0, bool whole = false)
        : pieces_(pieces.begin(), pieces.end()), afterwards_(afterwards), whole_(whole) {}

    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        asked.push_back(maxLength);
        if (pieces_.empty()) {
            return afterwards_;
        }
        StreamBytes& piece = pieces_.front();
        const std::size_t n = std::min(maxLength, piece.size());
        given += n;
        std::copy_n(piece.begin(), n, buffer);
        piece.erase(piece.begin(), piece.begin() + std::ptrdiff_t(n));
        if (piece.empty()) {
            pieces_.pop_front();
        }
        return long(n);
    }
    bool readsWholeUnits() const override { return whole_; }

    std::vector<std::size_t> asked;
    std::size_t given = 0; // bytes handed out

private:
    std::deque<StreamBytes> pieces_;
    long afterwards_;
    bool whole_;
};

Kind kindOf(StreamCase::Outcome outcome) {
    switch (outcome) {
    case StreamCase::Outcome::finished:
    case StreamCase::Outcome::status:
        return outcome == StreamCase::Outcome::finished ? Kind::finished : Kind::status;
    case StreamCase::Outcome::ended:
        return Kind::ended;
    case StreamCase::Outcome::cutShort:
        return Kind::cutShort;
    case StreamCase::Outcome::broken:
        break;
    }
    return Kind::broken;
}

struct Seen final : ScanStreamObserver {
    void unitRead(const HeaderView&, long) override { ++unitReads; }
    void trailer(std::span<const std::uint8_t> bytes, const HeaderView&, std::uint64_t total) override {
        trailers.push_back(bytes.size());
        pageTotals.push_back(total);
    }
    void status(std::uint8_t code, bool withTrailer) override { statuses.emplace_back(code, withTrailer); }
    int unitReads = 0;
    std::vector<std::size_t> trailers;
    std::vector<std::uint64_t> pageTotals;
    std::vector<std::pair<std::uint8_t, bool>> statuses;
};

} // namespace

TEST(ScanStreamParser, SharedNetworkStreamCases) {
    for (const auto& c : networkStreamCases()) {
        SCOPED_TRACE(c.name);
        PieceSource source(c.pieces, c.ending == StreamCase::Ending::close ? 0 : -1);
        ScanStreamParser parser(source, kNoBound);
        for (std::size_t n = 1; n <= c.pagesKept; ++n) {
            const auto step = parser.next();
            ASSERT_EQ(step.kind, Kind::page) << "page " << n;
            EXPECT_EQ(step.pageNo, long(n));
            EXPECT_EQ(step.data, StreamBytes(pageBytes(n), std::uint8_t(n)));
        }
        const auto last = parser.next();
        EXPECT_EQ(last.kind, kindOf(c.outcome)) << last.problem;
        if (c.outcome == StreamCase::Outcome::status) {
            EXPECT_EQ(last.status, c.status);
        }
        EXPECT_EQ(parser.next().kind, Kind::ended); // the job is over
    }
}

TEST(ScanStreamParser, PayloadBytesAreNeverTakenForUnits) {
    // Trailer marks and status bytes inside a payload, empty blocks, and a block
    // longer than one read.
    StreamBytes odd = blockHeader(6, 9);
    odd.insert(odd.end(), {0x82, 0x80, 0x99, 0, 0x82, 0xFF});
    StreamBytes big = block(50000, 9, 0x7F);
    PieceSource source({joined({blockHeader(0, 9), odd}), big, joined({block(0, 9), trailer(), {0x80}})});
    Seen seen;
    ScanStreamParser parser(source, kNoBound, &seen, 64);
    const auto page = parser.next();
    ASSERT_EQ(page.kind, Kind::page);
    EXPECT_EQ(page.pageNo, 9);
    ASSERT_EQ(page.data.size(), 50006u);
    EXPECT_EQ(StreamBytes(page.data.begin(), page.data.begin() + 6),
              (StreamBytes{0x82, 0x80, 0x99, 0, 0x82, 0xFF}));
    EXPECT_EQ(page.data.back(), 0x7F);
    EXPECT_EQ(parser.next().kind, Kind::finished);
    // Reads never ask for more than 40960 bytes, and a payload asks no more than it lacks.
    EXPECT_EQ(std::count(source.asked.begin(), source.asked.end(), 40960u), 1);
    EXPECT_EQ(*std::max_element(source.asked.begin(), source.asked.end()), 40960u);
    EXPECT_EQ(seen.pageTotals, (std::vector<std::uint64_t>{50006}));
    EXPECT_EQ(seen.statuses, (std::vector<std::pair<std::uint8_t, bool>>{{0x80, true}}));
}

TEST(ScanStreamParser, StatusBytesEndTheJobWithWhatCameOfThePage) {
    struct Case {
        std::string name;
        std::vector<StreamBytes> pieces;
        Kind kind;
        std::uint8_t status;
        std::size_t partial; // bytes of the page cut short
    };
    const Case cases[] = {
        {"finished at once", {{0x80}}, Kind::finished, 0x80, 0},
        {"finished inside a page", {block(7), {0x80}}, Kind::finished, 0x80, 7},
        {"status inside a page", {block(4), {0xC4}}, Kind::status, 0xC4, 4},
        {"highest status", {{0xFF}}, Kind::status, 0xFF, 0},
    };
    for (const auto& c : cases) {
        PieceSource source(c.pieces);
        ScanStreamParser parser(source, kNoBound);
        const auto step = parser.next();
        EXPECT_EQ(step.kind, c.kind) << c.name;
        EXPECT_EQ(step.status, c.status) << c.name;
        EXPECT_EQ(step.data.size(), c.partial) << c.name;
    }
}

TEST(ScanStreamParser, WholeUnitSourcesRefuseReadsThatHoldNoWholeUnit) {
    struct Case {
        std::string name;
        std::vector<StreamBytes> transfers;
        Kind kind;
        std::string problem;
    };
    StreamBytes highHeader = block(3);
    highHeader[0] = 0x90; // a header is a header here, whatever its first byte
    StreamBytes shortBlock = block(30);
    shortBlock.resize(shortBlock.size() - 4);
    const Case cases[] = {
        {"block, then block with trailer", {block(3), joined({block(2), trailer()})}, Kind::page, ""},
        {"high first byte", {joined({highHeader, trailer()})}, Kind::page, ""},
        {"lone byte is the status", {{0x05}}, Kind::status, ""},
        {"short block",
         {shortBlock},
         Kind::broken,
         "scan stream transfer of 38 bytes does not match its block length 30"},
        {"trailer without its mark",
         {joined({block(20), trailer(0x00)})},
         Kind::broken,
         "scan stream transfer of 42 bytes does not match its block length 20"},
        {"too short for a header",
         {{1, 2, 3, 4, 5}},
         Kind::broken,
         "scan stream transfer of 5 bytes is no block"},
        {"block and next header",
         {joined({block(2), blockHeader(4)})},
         Kind::broken,
         "scan stream transfer of 26 bytes does not match its block length 2"},
        {"empty transfer between pages", {}, Kind::ended, ""},
    };
    for (const auto& c : cases) {
        PieceSource source(c.transfers, 0, true);
        ScanStreamParser parser(source, kNoBound);
        const auto step = parser.next();
        EXPECT_EQ(step.kind, c.kind) << c.name;
        EXPECT_EQ(step.problem, c.problem) << c.name;
        for (const auto asked : source.asked) {
            EXPECT_EQ(asked, ScanStreamParser::kReadSize) << c.name; // a whole transfer each time
        }
    }
}

TEST(ScanStreamParser, ObserverSeesEveryUnitStartTrailerAndStatus) {
    PieceSource source({block(5), trailer(), block(3), joined({trailer(), {0x80}})});
    Seen seen;
    ScanStreamParser parser(source, kNoBound, &seen);
    EXPECT_EQ(parser.next().kind, Kind::page);
    EXPECT_EQ(parser.next().kind, Kind::page);
    EXPECT_EQ(parser.next().kind, Kind::finished);
    EXPECT_EQ(seen.trailers, (std::vector<std::size_t>{10, 10}));
    EXPECT_EQ(seen.pageTotals, (std::vector<std::uint64_t>{5, 3}));
    EXPECT_EQ(seen.statuses, (std::vector<std::pair<std::uint8_t, bool>>{{0x80, true}}));
    EXPECT_EQ(seen.unitReads, 4); // one read at the start of each header and trailer piece
}

TEST(ScanStreamParser, PagesPastTheirBoundEndTheJobBeforeTheBlockIsRead) {
    struct Case {
        std::string name;
        std::vector<StreamBytes> pieces;
        bool wholeUnits;
        std::uint64_t bound;
        Kind kind;
        std::size_t mostGiven; // bytes the parser may have taken from the source
    };
    std::vector<StreamBytes> endless(40, block(1000));
    std::vector<StreamBytes> small(100, block(100));
    small.push_back(joined({trailer(), {0x80}}));
    const Case cases[] = {
        {"exactly the bound", {block(600), block(400), trailer()}, false, 1000, Kind::page, 1034},
        // The block that would pass the bound is not read.
        {"one byte past it",
         {block(600), blockHeader(401), StreamBytes(401, 1), trailer()},
         false,
         1000,
         Kind::tooLarge,
         624},
        {"a page that never ends", endless, false, 10000, Kind::tooLarge, 10 * 1012 + 12},
        {"the bound in many blocks", small, false, 10000, Kind::page, 100 * 112 + 11},
        {"USB: one byte past it",
         {block(600), joined({block(401), trailer()})},
         true,
         1000,
         Kind::tooLarge,
         612 + 423},
        {"USB: a page that never ends", endless, true, 10000, Kind::tooLarge, 11 * 1012},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t bound = c.bound;
        PieceSource source(c.pieces, 0, c.wholeUnits);
        ScanStreamParser parser(source, bound, nullptr, 64);
        const auto step = parser.next();
        EXPECT_EQ(step.kind, c.kind);
        EXPECT_LE(source.given, c.mostGiven);
        // The buffer grows to the bound and no further; a refused page's goes.
        EXPECT_LE(step.data.capacity(), bound);
        if (c.kind == Kind::tooLarge) {
            EXPECT_EQ(step.data.capacity(), 0u);
            EXPECT_EQ(parser.next().kind, Kind::ended);
        }
    }
}

TEST(ScanStreamParser, NextPageIsReadIntoTheBufferGivenBack) {
    PieceSource source({block(300), trailer(), block(200), trailer(), {0x80}});
    ScanStreamParser parser(source, kNoBound, nullptr, 512);
    auto first = parser.next();
    ASSERT_EQ(first.kind, Kind::page);
    const std::uint8_t* buffer = first.data.data();
    parser.recycle(std::move(first.data));
    const auto second = parser.next();
    ASSERT_EQ(second.kind, Kind::page);
    EXPECT_EQ(second.data, StreamBytes(200, 0x11)); // nothing of the first page is left in it
    EXPECT_EQ(second.data.data(), buffer);
}
