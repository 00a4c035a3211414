#include "sim/scanner/ScannerEngine.h"

#include "sim/scanner/TcpScanner.h"

#include <QImage>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tbx::sim;

namespace {

Bytes textCommand(char letter, const std::string& body) {
    Bytes bytes{0x1B, std::uint8_t(letter), 0x0A};
    bytes.insert(bytes.end(), body.begin(), body.end());
    bytes.insert(bytes.end(), {0x0A, 0xC2, 0x80});
    return bytes;
}

Bytes xCommand(const std::string& mode, int w, int h, bool pages2 = false) {
    std::string text = "\x1BX\nR=300,300\nM=" + mode + "\nT=AUTO\nC=" + (mode == "TEXT" ? "BMP" : "JPEG") +
                       "\nJ=MID\nB=50\nN=50\nA=0,0," + std::to_string(w) + "," + std::to_string(h) +
                       "\nD=SIN\n" + (pages2 ? "Pages=2\n" : "") + "IDCard=0\n";
    Bytes bytes(text.begin(), text.end());
    if (mode == "TEXT") {
        const std::string gama = "GAMA=";
        bytes.insert(bytes.end(), gama.begin(), gama.end());
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(std::uint8_t(i));
        }
        bytes.push_back(0x80);
    }
    return bytes;
}

struct Page {
    int pageNo = 0;
    Bytes data;
};

// Parses USB units back into pages and the final status byte.
std::pair<std::vector<Page>, int> readUsbStream(ScannerEngine& engine) {
    std::vector<Page> pages;
    Page current;
    while (auto unit = engine.nextUnit(Framing::usb)) {
        const auto& b = unit->bytes;
        EXPECT_LE(b.size(), 40960u);
        if (b.size() == 1) {
            return {pages, b[0]};
        }
        const std::size_t length = b[10] | (b[11] << 8);
        current.data.insert(current.data.end(), b.begin() + 12, b.begin() + 12 + std::ptrdiff_t(length));
        if (b.size() == length + 22) {
            EXPECT_EQ(b[12 + length], 0x82);
            current.pageNo = b[3] | (b[4] << 8);
            pages.push_back(std::move(current));
            current = Page{};
        } else {
            EXPECT_EQ(b.size(), length + 12);
        }
    }
    return {pages, -1};
}

} // namespace

TEST(ScannerEngine, FindsCompleteCommandsOfEveryKind) {
    const Bytes d = textCommand('D', "AUTO");
    EXPECT_EQ(ScannerEngine::completeCommandLength(d), d.size());
    EXPECT_EQ(ScannerEngine::completeCommandLength(std::span(d).first(d.size() - 1)), 0u);
    const Bytes grey = xCommand("GRAY256", 64, 32);
    EXPECT_EQ(ScannerEngine::completeCommandLength(grey), grey.size());
    const Bytes text = xCommand("TEXT", 64, 32);
    EXPECT_EQ(ScannerEngine::completeCommandLength(text), text.size());
    EXPECT_EQ(ScannerEngine::completeCommandLength(std::span(text).first(text.size() - 1)), 0u);
    Bytes two = d;
    two.insert(two.end(), grey.begin(), grey.end());
    EXPECT_EQ(ScannerEngine::completeCommandLength(two), d.size());
}

TEST(ScannerEngine, RepliesAsScriptedAndParsesTheJob) {
    ScannerScript script;
    script.paperSourceReply = 0xC2;
    script.imageSettingsReply = 0x00;
    ScannerEngine engine(script);
    EXPECT_EQ(engine.handleVendorRequest(1), (std::array<std::uint8_t, 5>{5, 0, 0, 0, 0}));
    EXPECT_TRUE(engine.sessionOpen());
    EXPECT_EQ(engine.handleCommand(textCommand('D', "AUTO")), Bytes{0xC2});
    EXPECT_EQ(engine.handleCommand(textCommand('S', "FB")), Bytes{0x80});
    EXPECT_EQ(engine.handleCommand(textCommand('I', "R=300,300\nM=TEXT\nD=SIN")), Bytes{0x00});
    EXPECT_EQ(engine.handleCommand(xCommand("TEXT", 64, 32, true)), std::nullopt);
    EXPECT_TRUE(engine.jobStarted());
    EXPECT_EQ(engine.commandLog(), (std::vector<std::string>{"D", "S", "I", "X"}));
    EXPECT_EQ(engine.commandTexts()[1], "FB");
    EXPECT_EQ(engine.settings().mode, "TEXT");
    EXPECT_EQ(engine.settings().w, 64);
    EXPECT_EQ(engine.settings().h, 32);
    EXPECT_EQ(engine.settings().pagesLine, 2);
    ASSERT_TRUE(engine.settings().gamma);
    EXPECT_EQ((*engine.settings().gamma)[200], 200);
    engine.handleVendorRequest(2);
    EXPECT_FALSE(engine.sessionOpen());
}

TEST(ScannerEngine, UsbStreamCarriesPagesTrailersAndTheEndStatus) {
    ScannerScript script;
    script.pages = 3;
    script.maxPayload = 1000;
    ScannerEngine engine(script);
    engine.handleCommand(xCommand("TEXT", 2432, 40));
    auto [pages, status] = readUsbStream(engine);
    EXPECT_EQ(status, 0x80);
    ASSERT_EQ(pages.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pages[size_t(i)].pageNo, i + 1);
        EXPECT_EQ(pages[size_t(i)].data.size(), 2432u / 8 * 40);
    }
    EXPECT_EQ(pages[0].data[0], 0xFF); // top-left corner is white
}

TEST(ScannerEngine, JpegPagesDecodeToTheAreaSize) {
    for (const char* mode : {"GRAY256", "CGRAY"}) {
        ScannerScript script;
        script.pages = 2;
        script.firstPageNumber = 258;
        ScannerEngine engine(script);
        engine.handleCommand(xCommand(mode, 300, 200));
        auto [pages, status] = readUsbStream(engine);
        ASSERT_EQ(pages.size(), 2u) << mode;
        EXPECT_EQ(pages[0].pageNo, 258);
        QImage image;
        ASSERT_TRUE(image.loadFromData(pages[1].data.data(), int(pages[1].data.size()), "JPEG"));
        EXPECT_EQ(image.width(), 300);
        EXPECT_EQ(image.height(), 200);
        EXPECT_LT(qGray(image.pixel(300 / 8 + 5, 200 / 8 + 5)), 60); // the black marker
        EXPECT_GT(qGray(image.pixel(5, 5)), 200);
    }
}

TEST(ScannerEngine, JamEndsTheJobAfterTheGivenPagesAndMisbehavioursCutTheStream) {
    ScannerScript jam;
    jam.pages = 5;
    jam.endStatus = 0xC3;
    jam.endStatusAfterPages = 2;
    ScannerEngine jammed(jam);
    jammed.handleCommand(xCommand("TEXT", 64, 8));
    auto [pages, status] = readUsbStream(jammed);
    EXPECT_EQ(pages.size(), 2u);
    EXPECT_EQ(status, 0xC3);

    for (auto misbehaviour : {Misbehaviour::truncateBlock, Misbehaviour::closeMidPage, Misbehaviour::stall,
                              Misbehaviour::malformedBlock}) {
        ScannerScript script;
        script.maxPayload = 100;
        script.misbehaviour = misbehaviour;
        ScannerEngine engine(script);
        engine.handleCommand(xCommand("TEXT", 640, 20));
        int units = 0;
        bool sawMismatch = false;
        while (auto unit = engine.nextUnit(Framing::usb)) {
            ++units;
            if (unit->bytes.size() < 12) {
                continue; // the status byte
            }
            const std::size_t length = unit->bytes[10] | (unit->bytes[11] << 8);
            sawMismatch =
                sawMismatch || (unit->bytes.size() != length + 12 && unit->bytes.size() != length + 22);
            if (units > 100) {
                break;
            }
        }
        EXPECT_EQ(engine.stalled(), misbehaviour == Misbehaviour::stall);
        if (misbehaviour == Misbehaviour::truncateBlock || misbehaviour == Misbehaviour::malformedBlock) {
            EXPECT_TRUE(sawMismatch);
        }
        if (misbehaviour != Misbehaviour::malformedBlock) {
            EXPECT_EQ(units, 1);
        }
    }
}

TEST(TcpScanner, ServesAWholeJobOverLoopback) {
    ScannerScript script;
    script.pages = 2;
    TcpScanner scanner(script);
    ASSERT_NE(scanner.port(), 0);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(scanner.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto readSome = [&](std::size_t max) {
        Bytes bytes(max);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) {
            return Bytes{};
        }
        const ssize_t n = ::recv(fd, bytes.data(), max, 0);
        bytes.resize(n > 0 ? std::size_t(n) : 0);
        return bytes;
    };
    auto sendBytes = [&](const Bytes& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); };
    const Bytes greeting = readSome(300);
    EXPECT_EQ(std::string(greeting.begin(), greeting.end()), "0001");
    sendBytes(textCommand('S', "ADF"));
    EXPECT_EQ(readSome(300), Bytes{0x80});
    sendBytes(xCommand("TEXT", 320, 10));
    // The stream comes in pieces of any size; cut by its lengths it holds two
    // pages and the status byte.
    Bytes stream;
    int pages = 0;
    int status = -1;
    for (std::size_t at = 0; status < 0;) {
        const std::size_t need = at < stream.size() && stream[at] == 0x82    ? 10
                                 : at < stream.size() && (stream[at] & 0x80) ? 1
                                 : at + 12 <= stream.size() ? 12 + (stream[at + 10] | (stream[at + 11] << 8))
                                                            : 12;
        if (at + need > stream.size()) {
            const Bytes piece = readSome(4096);
            ASSERT_FALSE(piece.empty());
            stream.insert(stream.end(), piece.begin(), piece.end());
            continue;
        }
        if (stream[at] == 0x82) {
            ++pages;
        } else if (need == 1) {
            status = stream[at];
        }
        at += need;
    }
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(status, 0x80);
    ::close(fd);
    scanner.stop();
    EXPECT_EQ(scanner.commandLog(), (std::vector<std::string>{"S", "X"}));
    EXPECT_EQ(scanner.settings().w, 320);
}
