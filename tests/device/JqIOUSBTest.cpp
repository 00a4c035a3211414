#include "device/JqIOUSB.h"

#include "platform/foundation/Print.h"
#include "tests/device/USBTestSupport.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace tbx;
using namespace tbx::test;
using iokit::EndpointDescriptor;
using iokit::InterfaceDescriptor;
using JqIOUSBTest = USBLayerTest;

// ---- Pipe maps --------------------------------------------------------------

TEST_F(JqIOUSBTest, PipeMapsFollowEndpointDirections) {
    plug(withEndpoints({{0x01, 2, 512, 0}, {0x82, 2, 512, 0}}));
    TraceCapture capture;
    PipeMap pipes;
    withOpenInterface<ScannerBuild>([&](auto& interface) {
        capture.clear();
        pipes = interface.getPipes();
    });
    EXPECT_EQ(pipes, (PipeMap{{"writePipe", 1}, {"readPipe", 2}}));
    auto lines = capture.lines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "endpoints = 2 and get no res = Optional(0)");
    EXPECT_EQ(lines[1], "endpointnum = 1,direction = 0,number = 1,transType=2,maxsize=512,interval=0");
    EXPECT_EQ(lines[2], "endpoint1 direction: out, ");
    EXPECT_EQ(lines[3], "endpoint1 type is: bulk, ");
    EXPECT_EQ(lines[4], "endpointnum = 2,direction = 1,number = 2,transType=2,maxsize=512,interval=0");
    EXPECT_EQ(lines[5], "endpoint2 direction: in, ");
    EXPECT_EQ(lines[6], "endpoint2 type is: bulk, ");
}

TEST_F(JqIOUSBTest, PipeMapWithTwoInEndpointsHasOnlyTheReadPipe) {
    plug(withEndpoints({{0x81, 2, 512, 0}, {0x82, 3, 64, 10}}));
    PipeMap pipes;
    withOpenInterface<MonitorBuild>([&](auto& interface) { pipes = interface.getPipes(); });
    EXPECT_EQ(pipes, (PipeMap{{"readPipe", 2}}));
}

TEST_F(JqIOUSBTest, PipeMapOfOneEndpointReportsTheMissingPipe) {
    plug(withEndpoints({{0x81, 2, 512, 0}}));
    TraceCapture capture;
    PipeMap pipes;
    withOpenInterface<ScannerBuild>([&](auto& interface) { pipes = interface.getPipes(); });
    EXPECT_EQ(pipes, (PipeMap{{"readPipe", 1}}));
    EXPECT_NE(capture.text().find("Could not get properties for pipe 2\n"), std::string::npos);
}

TEST_F(JqIOUSBTest, PipePropertiesFaultSkipsThatPipe) {
    auto device = plugModel();
    device->injectFault(simusb::Step::pipeProperties,
                        {.code = ioreturn::notResponding, .times = 1, .pipe = 1});
    TraceCapture capture;
    PipeMap pipes;
    withOpenInterface<ScannerBuild>([&](auto& interface) { pipes = interface.getPipes(); });
    EXPECT_EQ(pipes, (PipeMap{{"readPipe", 2}}));
    EXPECT_NE(capture.text().find("Could not get properties for pipe 1\n"), std::string::npos);
}

TEST_F(JqIOUSBTest, PipesOfAClosedInterfaceCannotBeRead) {
    plugModel();
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto interface = firstInterface(device);
    EXPECT_TRUE(interface.getPipes().empty());
    interface.release();
    device.release();
}

// ---- readBytes --------------------------------------------------------------

TEST_F(JqIOUSBTest, ReadBytesHonoursMinAndMaxCounts) {
    auto device = plugModel();
    device->queueRead(2, {.bytes = {1, 2, 3}});
    device->queueRead(2, {.bytes = {1, 2, 3}});
    device->queueRead(2, {.bytes = {9, 8, 7, 6}});
    withOpenInterface<MonitorBuild>([&](auto& interface) {
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.minCount = 5, .pipe = 2}); }),
                  JqIOError::couldNotGetEnoughData);
        EXPECT_EQ(interface.readBytes({.pipe = 2}), (Bytes{1, 2, 3}));
        EXPECT_EQ(interface.readBytes({.maxCount = 10, .pipe = 2}), (Bytes{9, 8, 7, 6}));
    });
    auto reads = device->reads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].size, 64u);
    EXPECT_EQ(reads[2].size, 10u);
    EXPECT_EQ(reads[0].noDataTimeout, 300u);
    EXPECT_EQ(reads[0].completionTimeout, 300u);
}

TEST_F(JqIOUSBTest, ReadBytesWritesItsTraceInTheScannerBuildOnly) {
    auto device = plugModel();
    device->queueRead(2, {.bytes = {1, 2, 3}});
    device->queueRead(2, {.bytes = {1, 2, 3}});
    TraceCapture capture;
    withOpenInterface<ScannerBuild>([&](auto& interface) {
        capture.clear();
        interface.readBytes({.minCount = 1, .pipe = 2});
    });
    auto lines = capture.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "pipe status = Optional(0)");
    EXPECT_EQ(lines[1], "readBytes function. readlen=3");
    EXPECT_EQ(lines[2], "get bytes data is [1, 2, 3]");

    capture.clear();
    withOpenInterface<MonitorBuild>(
        [&](auto& interface) { interface.readBytes({.minCount = 1, .pipe = 2}); });
    EXPECT_EQ(capture.text(), "");
}

TEST_F(JqIOUSBTest, FailingReadThrowsItsCode) {
    auto device = plugModel();
    device->queueRead(2, {.code = ioreturn::notResponding});
    device->queueRead(2, {.code = ioreturn::notResponding});
    TraceCapture capture;
    withOpenInterface<ScannerBuild>([&](auto& interface) {
        capture.clear();
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.minCount = 1, .pipe = 2}); }),
                  ioreturn::notResponding);
    });
    EXPECT_NE(capture.text().find(
                  "error happened at func readBytes and error is: Optional(\"Device not responding\")\n"),
              std::string::npos);

    withOpenInterface<MonitorBuild>([&](auto& interface) {
        capture.clear();
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.minCount = 1, .pipe = 2}); }),
                  ioreturn::notResponding);
        EXPECT_EQ(capture.text(), "");
    });
}

TEST_F(JqIOUSBTest, SilentDeviceTimesOutWithTheReadsOwnCode) {
    plugModel(); // nothing queued: the device answers nothing within the time-out
    withOpenInterface<MonitorBuild>([&](auto& interface) {
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.minCount = 1, .pipe = 2}); }),
                  ioreturn::usbTransactionTimeout);
    });
}

TEST_F(JqIOUSBTest, ReportedLengthBeyondTheBufferReturnsOnlyTheBuffer) {
    auto device = plugModel();
    device->queueRead(2, {.bytes = {1, 2, 3, 4}, .reportedLength = 5000});
    withOpenInterface<ScannerBuild>([&](auto& interface) {
        EXPECT_EQ(interface.readBytes({.maxCount = 4, .pipe = 2}), (Bytes{1, 2, 3, 4}));
    });
}

TEST_F(JqIOUSBTest, ReadWithoutFunctionTableAnswersNothing) {
    iokit::IOUSBInterfaceStruct700* noTable = nullptr;
    USBInterface<MonitorBuild> interface(&noTable);
    EXPECT_TRUE(interface.readBytes({.pipe = 2}).empty());
    EXPECT_EQ(thrownBy([&] { interface.readBytes({.minCount = 1, .pipe = 2}); }),
              JqIOError::couldNotGetEnoughData);
    EXPECT_EQ(interface.getInterfaceNum(), 3);
    interface.write(Bytes{1}, 1);
    interface.sendControlRequest(IOUSBDevRequestTO{}, 0);
    interface.close();
}

TEST_F(JqIOUSBTest, ArgumentsOutsideTheLimitsAreRefused) {
    auto device = plugModel();
    TraceCapture capture;
    withOpenInterface<ScannerBuild>([&](auto& interface) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.pipe = 256}); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.pipe = -1}); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.maxCount = -1, .pipe = 2}); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.minCount = -1, .pipe = 2}); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.pipe = 2, .noDataTimeout = -0.001}); }),
                  ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.readBytes({.pipe = 2, .completionTimeout = nan}); }),
                  ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.write(Bytes{1}, 1, inf); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.write(Bytes{1}, 1, 0.3, 4294967.296); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.write(Bytes{1}, 300); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.clearPipeStall(true, 256); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.resetPipe(-3); }), ioreturn::badArgument);
        EXPECT_EQ(thrownBy([&] { interface.sendControlRequest(IOUSBDevRequestTO{}, 256); }),
                  ioreturn::badArgument);
        // The largest time-out the platform can carry still goes through.
        device->queueRead(2, {.bytes = {1}});
        EXPECT_EQ(interface.readBytes({.pipe = 2, .completionTimeout = 4294967.295}), (Bytes{1}));
    });
    auto reads = device->reads();
    ASSERT_EQ(reads.size(), 1u); // nothing refused reached the device
    EXPECT_EQ(reads[0].completionTimeout, 4294967295u);
    EXPECT_TRUE(device->writes().empty());
    EXPECT_NE(
        capture.text().find("error happened at func readBytes and error is: Optional(\"Invalid argument\")"),
        std::string::npos);

    auto handle = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    EXPECT_EQ(thrownBy([&] { handle.createInterfaceInterface(0x10000); }), ioreturn::badArgument);
    EXPECT_EQ(thrownBy([&] { handle.createInterfaceInterface(0xFFFF, -1); }), ioreturn::badArgument);
    handle.release();
}

TEST_F(JqIOUSBTest, TimeOutsAreTruncatedToWholeMilliseconds) {
    auto device = plugModel();
    withOpenInterface<MonitorBuild>([&](auto& interface) {
        interface.write(Bytes{1, 2}, 1, 0.0019, 2.5);
        interface.write(std::string_view("Status?"), 1);
    });
    auto writes = device->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].noDataTimeout, 1u);
    EXPECT_EQ(writes[0].completionTimeout, 2500u);
    EXPECT_EQ(writes[1].bytes, (Bytes{'S', 't', 'a', 't', 'u', 's', '?'}));
    EXPECT_EQ(writes[1].noDataTimeout, 300u);
    EXPECT_EQ(writes[1].completionTimeout, 300u);
}

TEST_F(JqIOUSBTest, FailingWriteGoesThroughItsLabel) {
    auto device = plugModel();
    device->injectFault(simusb::Step::write, {.code = ioreturn::usbPipeStalled});
    TraceCapture capture;
    withOpenInterface<ScannerBuild>([&](auto& interface) {
        EXPECT_EQ(thrownBy([&] { interface.write(Bytes{1}, 1); }), ioreturn::usbPipeStalled);
    });
    EXPECT_NE(
        capture.text().find("error happened at func write  and error is: Optional(\"Pipe has stalled, error "
                            "needs to be cleared\")\n"),
        std::string::npos);
}

TEST_F(JqIOUSBTest, TransfersOnAnInterfaceThatIsNotOpenFail) {
    plugModel();
    auto device = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto interface = device.createInterfaceInterface();
    EXPECT_EQ(thrownBy([&] { interface.write(Bytes{1}, 1); }), ioreturn::notOpen);
    EXPECT_EQ(thrownBy([&] { interface.readBytes({.pipe = 2}); }), ioreturn::notOpen);
    interface.release();
    device.release();
}

// ---- Open, close, openAndPerform --------------------------------------------

TEST_F(JqIOUSBTest, OpenAndPerformClosesWhenTheHandlerThrows) {
    auto sim = plugModel();
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto interface = firstInterface(device);
    TraceCapture capture;
    EXPECT_EQ(thrownBy([&] {
                  interface.openAndPerform([&] {
                      EXPECT_TRUE(sim->isInterfaceOpen(0));
                      throw USBError(JqIOError::couldNotGetEnoughData);
                  });
              }),
              JqIOError::couldNotGetEnoughData);
    EXPECT_FALSE(sim->isInterfaceOpen(0));
    EXPECT_EQ(capture.text(), "interface closed\n");

    EXPECT_THROW(device.openAndPerform(true, [] { throw std::runtime_error("handler"); }),
                 std::runtime_error);
    EXPECT_FALSE(sim->isDeviceOpen());
    EXPECT_EQ(sim->stats().deviceOpens, 1);
    EXPECT_EQ(sim->stats().deviceCloses, 1);
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, FailedInterfaceOpenIsOnlyWrittenInTheScannerBuild) {
    auto sim = plugModel();
    sim->injectFault(simusb::Step::interfaceOpen, {.code = ioreturn::exclusiveAccess, .times = 2});
    TraceCapture capture;

    auto scanner = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto scannerInterface = firstInterface(scanner);
    bool ran = false;
    scannerInterface.openAndPerform([&] { ran = true; });
    EXPECT_TRUE(ran);
    // The close that follows finds nothing open; that too is only written.
    EXPECT_EQ(capture.text(), "open interface failed\n"
                              "error happened at func close and error is: Optional(\"Device not open\")\n"
                              "interface closed\n");

    capture.clear();
    auto monitor = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto monitorInterface = firstInterface(monitor);
    ran = false;
    EXPECT_EQ(thrownBy([&] { monitorInterface.openAndPerform([&] { ran = true; }); }),
              ioreturn::exclusiveAccess);
    EXPECT_FALSE(ran);
    EXPECT_EQ(capture.text(), "");

    scannerInterface.release();
    scanner.release();
    monitorInterface.release();
    monitor.release();
}

TEST_F(JqIOUSBTest, SecondOpenOfAnInterfaceIsReportedAndHarmless) {
    plugModel();
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto interface = firstInterface(device);
    TraceCapture capture;
    interface.open();
    interface.open();
    EXPECT_EQ(capture.text(), "open interface failed\n");
    interface.close();
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, SeizingOpensGoThroughTheirLabels) {
    auto sim = plugModel();
    sim->injectFault(simusb::Step::interfaceOpen, {.code = ioreturn::busy});
    sim->injectFault(simusb::Step::deviceOpen, {.code = ioreturn::notPermitted});
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto interface = firstInterface(device);
    TraceCapture capture;
    EXPECT_EQ(thrownBy([&] { interface.open(true); }), ioreturn::busy);
    EXPECT_EQ(thrownBy([&] { device.open(false); }), ioreturn::notPermitted);
    EXPECT_EQ(capture.text(),
              "error happened at func open-seize-true and error is: Optional(\"Device busy\")\n"
              "error happened at func open-seize-false and error is: Optional(\"Not permitted\")\n");
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, FailedClosesAreWrittenAndSwallowed) {
    auto sim = plugModel();
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto interface = firstInterface(device);
    interface.open();
    device.open();
    sim->injectFault(simusb::Step::interfaceClose, {.code = ioreturn::notResponding});
    sim->injectFault(simusb::Step::deviceClose, {.code = ioreturn::notResponding});
    TraceCapture capture;
    interface.close();
    device.close();
    EXPECT_EQ(capture.text(),
              "error happened at func close and error is: Optional(\"Device not responding\")\n"
              "interface closed\n"
              "error happened at func close and error is: Optional(\"Device not responding\")\n");
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, ResetAndPipeMaintenanceReachTheDevice) {
    auto sim = plugModel();
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    TraceCapture capture;
    EXPECT_EQ(thrownBy([&] { device.reset(); }), ioreturn::notOpen); // only an open device resets
    EXPECT_EQ(capture.text(), "error happened at func reset  and error is: Optional(\"Device not open\")\n");
    device.openAndPerform([&] { device.reset(); });
    EXPECT_EQ(sim->stats().deviceResets, 1);

    withOpenInterface<ScannerBuild>([&](auto& interface) {
        interface.clearPipeStall(2);
        interface.clearPipeStall(true, 1);
        interface.resetPipe(2);
        capture.clear();
        EXPECT_EQ(thrownBy([&] { interface.resetPipe(7); }), ioreturn::usbUnknownPipe);
        EXPECT_EQ(capture.text(), "error happened at func resetPipe  and error is: Optional(\"Pipe ref not "
                                  "recognized\")\n");
    });
    EXPECT_EQ(sim->stats().stallClears, 2);
    EXPECT_EQ(sim->stats().pipeResets, 1);
    device.release();
}

TEST_F(JqIOUSBTest, UnpluggedDeviceAnswersNoDevice) {
    auto sim = plugModel();
    auto device = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto interface = device.createInterfaceInterface();
    interface.open();
    bus->unplug(sim);
    EXPECT_EQ(thrownBy([&] { interface.readBytes({.pipe = 2}); }), ioreturn::noDevice);
    EXPECT_EQ(thrownBy([&] { device.getVendorIdentifier(); }), ioreturn::noDevice);
    interface.close();
    interface.release();
    device.release();
}

// ---- Control requests -------------------------------------------------------

TEST_F(JqIOUSBTest, ControlAnswerNeverRunsPastTheCallersBuffer) {
    auto sim = plugModel();
    Bytes answer(64);
    for (std::size_t i = 0; i < answer.size(); ++i) {
        answer[i] = static_cast<std::uint8_t>(i + 1);
    }
    sim->onControl([&](const simusb::ControlRecord&) { return simusb::ControlAnswer{.data = answer}; });
    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto interface = firstInterface(device);

    std::array<std::uint8_t, 8> memory{}; // five bytes for the answer, three that must stay untouched
    memory.fill(0xEE);
    std::fill(memory.begin(), memory.begin() + 5, 0);
    IOUSBDevRequestTO request{0xC0, 1, 2, 0, 0x0500, nullptr, 255, 2000, 3000};
    TraceCapture capture;
    interface.sendControlRequest(request, 0, std::span<std::uint8_t>(memory.data(), 5));
    EXPECT_EQ(capture.text(), "sendControlRequest\n");
    EXPECT_EQ(memory, (std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE}));

    auto requests = sim->controlRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.wLength, 0x0500); // the device saw the request as the caller built it
    EXPECT_EQ(requests[0].setup.bRequest, 1);
    EXPECT_EQ(requests[0].pipe, 0);
    EXPECT_EQ(requests[0].noDataTimeout, 2000u);
    EXPECT_EQ(requests[0].completionTimeout, 3000u);
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, ShortControlAnswerLeavesTheRestOfTheBufferAlone) {
    auto sim = plugModel();
    sim->queueControl({.data = {5}});
    auto device = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto interface = device.createInterfaceInterface();
    Bytes buffer(512, 0);
    interface.sendControlRequest({0xC0, 4, 0, 0, 512, nullptr, 255, 2000, 3000}, 0, buffer);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 511);
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, HostToDeviceDataBeyondTheBufferIsRefused) {
    auto sim = plugModel();
    sim->queueControl({});
    auto device = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto interface = device.createInterfaceInterface();
    Bytes data{1, 2, 3};
    EXPECT_EQ(thrownBy([&] {
                  interface.sendControlRequest({0x40, 9, 0, 0, 16, nullptr, 0, 100, 100}, 0, data);
              }),
              ioreturn::badArgument);
    std::uint8_t raw[4] = {};
    EXPECT_EQ(thrownBy([&] {
                  interface.sendControlRequest({0xC0, 9, 0, 0, 4, raw, 0, 100, 100}, 0);
              }),
              ioreturn::badArgument);
    EXPECT_TRUE(sim->controlRequests().empty());
    interface.sendControlRequest({0x40, 9, 0, 0, 3, nullptr, 0, 100, 100}, 0, data);
    ASSERT_EQ(sim->controlRequests().size(), 1u);
    EXPECT_EQ(sim->controlRequests()[0].dataOut, data);
    interface.release();
    device.release();
}

TEST_F(JqIOUSBTest, FailedControlRequestLinesDifferByBuild) {
    auto sim = plugModel(); // no handler: the device stalls the request
    TraceCapture capture;
    auto scanner = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    auto scannerInterface = firstInterface(scanner);
    Bytes buffer(5);
    EXPECT_EQ(thrownBy([&] {
                  scannerInterface.sendControlRequest({0xC0, 1, 2, 0, 5, nullptr, 0, 10, 10}, 0, buffer);
              }),
              ioreturn::usbPipeStalled);
    EXPECT_EQ(capture.text(), "sendControlRequest\n");

    capture.clear();
    auto monitor = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto monitorInterface = firstInterface(monitor);
    EXPECT_EQ(thrownBy([&] {
                  monitorInterface.sendControlRequest({0xC0, 4, 0, 0, 5, nullptr, 0, 10, 10}, 0, buffer);
              }),
              ioreturn::usbPipeStalled);
    EXPECT_EQ(capture.text(), "send control request not success\n");
    scannerInterface.release();
    scanner.release();
    monitorInterface.release();
    monitor.release();
}

TEST_F(JqIOUSBTest, KernelReturnTexts) {
    EXPECT_EQ(USBInterface<ScannerBuild>::krToString(iokit::kIOReturnNoDevice),
              "(iokit/common) no such device");
    EXPECT_EQ(USBInterface<ScannerBuild>::krToString(12345), "Unknown kernel error 12345");
}

TEST_F(JqIOUSBTest, ByteListsAreWrittenLikeThePlatformDoes) {
    EXPECT_EQ(byteListText(Bytes{}), "[]");
    EXPECT_EQ(byteListText(Bytes{0, 128, 255}), "[0, 128, 255]");
}
