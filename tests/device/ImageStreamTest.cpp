#include "device/ImageStream.h"

#include "device/USBDevice.h"
#include "platform/foundation/Print.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"

#include <gtest/gtest.h>

using namespace tbx;
namespace simusb = tbx::sim::usb;

namespace {

constexpr long kInPipe = 2;

Bytes block(std::size_t length, int pageNo = 1, std::uint8_t fill = 0xAB) {
    Bytes bytes(12, 0);
    bytes[3] = std::uint8_t(pageNo & 0xFF);
    bytes[4] = std::uint8_t(pageNo >> 8);
    bytes[10] = std::uint8_t(length & 0xFF);
    bytes[11] = std::uint8_t(length >> 8);
    bytes.insert(bytes.end(), length, fill);
    return bytes;
}

Bytes lastBlock(std::size_t length, int pageNo, std::uint8_t mark = 0x82) {
    Bytes bytes = block(length, pageNo, 0xCD);
    bytes.push_back(mark);
    bytes.insert(bytes.end(), 9, 0);
    return bytes;
}

class ImageStreamTest : public test::SimulatedBusTest<> {
protected:
    void SetUp() override {
        SimulatedBusTest::SetUp();
        device = plug(simusb::bulkPairDevice(0x356C, 0x37));
        usbDevice = USBDevice<ScannerBuild>::create(0x356C, 0x37);
        interface = std::move(usbDevice.createInterfaceInterface().front());
        interface.open(false);
    }
    void TearDown() override {
        interface.close();
        interface.release();
        usbDevice.release();
        SimulatedBusTest::TearDown();
    }
    void queue(Bytes bytes) { device->queueRead(kInPipe, {.bytes = std::move(bytes)}); }
    ReadImagesResult read(std::uint64_t maxPageBytes = 1 << 20) {
        return readImages(interface, {.minCount = 1, .maxCount = 60000, .pipe = kInPipe}, maxPageBytes);
    }

    std::shared_ptr<simusb::Device> device;
    USBDevice<ScannerBuild> usbDevice;
    USBInterface<ScannerBuild> interface;
};

} // namespace

TEST_F(ImageStreamTest, BlocksMakeAPageThatTheTrailerEnds) {
    queue(block(100));
    queue(block(0));
    queue(lastBlock(50, 258));
    queue({0x80});
    TraceCapture capture;
    const auto page = read();
    EXPECT_FALSE(page.isFinished);
    EXPECT_EQ(page.pageNo, 258);
    ASSERT_EQ(page.data.size(), 150u);
    EXPECT_EQ(page.data[99], 0xAB);
    EXPECT_EQ(page.data[100], 0xCD);
    const auto end = read();
    EXPECT_TRUE(end.isFinished);
    EXPECT_EQ(end.pageNo, -1);
    EXPECT_TRUE(end.data.empty());

    const auto lines = capture.lines();
    EXPECT_EQ(lines[0], "read sucess");
    EXPECT_EQ(lines[2], "readBytes function. readlen=112  and packet len = 100");
    EXPECT_NE(capture.text().find(
                  "finished receive one page tail = [130, 0, 0, 0, 0, 0, 0, 0, 0, 0] and pagesize = 0"),
              std::string::npos);
    EXPECT_NE(capture.text().find("buffer[0]=128"), std::string::npos);
    // Every read asks for a whole transfer with the stream's own time-outs.
    for (const auto& request : device->reads()) {
        EXPECT_EQ(request.size, 40960u);
        EXPECT_EQ(request.noDataTimeout, 30000u);
        EXPECT_EQ(request.completionTimeout, 60000u);
    }
}

TEST_F(ImageStreamTest, StatusBytesAndEmptyReadsEndTheJob) {
    queue(block(10));
    queue({0x80});
    auto cut = read();
    EXPECT_TRUE(cut.isFinished);
    EXPECT_EQ(cut.pageNo, -1);
    EXPECT_EQ(cut.data.size(), 10u); // what arrived of the page so far

    queue({0x85});
    auto status = read();
    EXPECT_TRUE(status.isFinished);
    EXPECT_EQ(status.pageNo, -2);
    EXPECT_EQ(status.data, Bytes{0x85});

    queue(block(5));
    queue({});
    auto empty = read();
    EXPECT_TRUE(empty.isFinished);
    EXPECT_EQ(empty.pageNo, -1);
    EXPECT_EQ(empty.data.size(), 5u);
}

TEST_F(ImageStreamTest, FailedReadsEndTheCallWhateverLengthTheyReport) {
    // A failed read reporting 0 bytes, and one leaving the length as it was:
    // neither may pass for the end of the job or loop for ever.
    device->queueRead(kInPipe, {.code = iokit::kIOUSBTransactionTimeout, .reportedLength = 0});
    try {
        read();
        FAIL() << "no throw";
    } catch (const USBError& error) {
        EXPECT_TRUE(error == iokit::kIOUSBTransactionTimeout);
    }
    EXPECT_EQ(device->stats().stallClears, 1);

    device->queueRead(kInPipe, {.code = iokit::kIOReturnNoDevice, .keepLength = true});
    TraceCapture capture;
    EXPECT_THROW(read(), USBError);
    EXPECT_EQ(capture.lines().front(), "no devices");
    EXPECT_EQ(device->stats().stallClears, 1); // not cleared for the named codes
}

TEST_F(ImageStreamTest, StallThatCannotBeClearedIsTheError) {
    device->queueRead(kInPipe, {.code = iokit::kIOReturnError});
    device->injectFault(simusb::Step::clearStall, {.code = iokit::kIOReturnNotResponding});
    try {
        read();
        FAIL() << "no throw";
    } catch (const USBError& error) {
        EXPECT_TRUE(error == iokit::kIOReturnNotResponding);
    }
}

TEST_F(ImageStreamTest, TransfersThatFitNoUnitAreReported) {
    queue(lastBlock(20, 1, 0x00)); // the trailer lacks its mark
    EXPECT_THROW(read(), ScanStreamError);
    Bytes oversized = block(30);
    oversized.resize(oversized.size() - 4); // shorter than the header says
    queue(oversized);
    EXPECT_THROW(read(), ScanStreamError);
    queue({1, 2, 3, 4, 5});
    EXPECT_THROW(read(), ScanStreamError);
}

TEST_F(ImageStreamTest, WithoutAnInterfaceNoReadIsMade) {
    USBInterface<ScannerBuild> none;
    EXPECT_THROW(readImages(none, {.pipe = kInPipe}, 1 << 20), USBError);
    EXPECT_THROW(readImages(interface, {.pipe = 256}, 1 << 20), USBError);
    EXPECT_TRUE(device->reads().empty());
}
