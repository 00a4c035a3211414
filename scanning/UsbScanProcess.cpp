#include "scanning/UsbScanProcess.h"

#include "device/ImageStream.h"
#include "platform/foundation/Print.h"
#include "scanning/CommandSteps.h"
#include "scanning/ImageProcessing.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScanParameters.h"

#include <string>

namespace tbx {

namespace {

constexpr long kScanInterfaceNumber = 1;
constexpr double kCommandTimeout = 0.3;

// An error in its default text form, as the trace lines show it.
std::string errorText(const std::exception& error) {
    if (const auto* usb = dynamic_cast<const USBError*>(&error)) {
        if (usb->isReturnCode()) {
            return "IOReturn(" + std::to_string(usb->code()) + "): " + usb->what();
        }
    }
    return error.what();
}

// The failed page cycle's pair, with the key of our own that says what
// happened to the stream.
ResultPair receiveFailure(const std::exception& error) {
    std::string detail = "scanStreamBroken"; // the device went away, or the read failed otherwise
    if (dynamic_cast<const ScanPageTooLarge*>(&error) != nullptr) {
        detail = "scanPageTooLarge";
    } else if (dynamic_cast<const ScanStreamError*>(&error) != nullptr) {
        detail = "scanStreamMalformed";
    } else if (const auto* usb = dynamic_cast<const USBError*>(&error);
               usb != nullptr && (*usb == ioreturn::usbTransactionTimeout || *usb == ioreturn::timeout)) {
        detail = "scanStreamStalled";
    }
    return {false, "receiveImagesError", detail};
}

} // namespace

UsbScanProcess::UsbScanProcess(Device scanner, std::shared_ptr<ScanCommand> scanCommand, PageWriter writePage)
    : scanner_(std::move(scanner)), scanCommand_(std::move(scanCommand)), writePage_(std::move(writePage)) {
    if (!writePage_) {
        writePage_ = [](const ScanParam& param, std::int64_t pageNo, std::span<const std::uint8_t> data) {
            return saveImages(param, pageNo, data);
        };
    }
    print("init usbscanprocess pid=" + std::to_string(scanner_.PID) +
          " and vid = " + std::to_string(scanner_.VID));
    try {
        // Held by locals until the lookup is complete: a failure part-way
        // gives back whatever was made.
        auto device = USBDevice<Build>::create(long(scanner_.VID), long(scanner_.PID));
        USBInterface<Build> chosen;
        for (auto& interface : device.createInterfaceInterface(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF)) {
            if (interface.getInterfaceNum() == kScanInterfaceNumber) {
                chosen = std::move(interface); // the last interface numbered 1 is the one kept
            }
        }
        deviceInterface_ = std::move(device);
        interfaceInterface_ = std::move(chosen);
    } catch (const std::exception& error) {
        print("init usb interface error. and error is " + errorText(error));
    }
}

void UsbScanProcess::release() {
    deviceInterface_.release();
    interfaceInterface_.release();
}

ResultPair UsbScanProcess::vendorRequest(std::uint8_t request) {
    std::array<std::uint8_t, 5> answer{};
    IOUSBDevRequestTO setup{};
    setup.bmRequestType = 0xC0;
    setup.bRequest = request;
    setup.wValue = 2;
    setup.wIndex = 0;
    setup.wLength = 0x0500;
    setup.pData = answer.data();
    setup.wLenDone = 255;
    setup.noDataTimeout = 2000;
    setup.completionTimeout = 3000;
    const bool opening = request == 1;
    if (interfaceInterface_) {
        try {
            // The device may answer up to wLength bytes; only the five judged
            // bytes are kept, so nothing lands beyond the answer buffer.
            interfaceInterface_.sendControlRequest(setup, 0, std::span(answer));
        } catch (const std::exception& error) {
            release();
            print(std::string(opening ? "open scanner error. and error is "
                                      : "close scanner error. and error is ") +
                  errorText(error));
            return {false, opening ? "openError" : "closeError"};
        }
    }
    const bool accepted = answer[4] == 0 && answer[0] == 5;
    if (opening) {
        print(byteListText(answer));
        if (accepted) {
            return {true, "openSuccess"};
        }
        // Without an interface no request went out: the scanner is not attached.
        return {false, "error", interfaceInterface_ ? "scannerOpenRefused" : "usbScannerNotFound"};
    }
    if (accepted) {
        print("close scanner successfully");
        return {true, "closeSuccess"};
    }
    return {false, "closeError"};
}

ResultPair UsbScanProcess::openScanner() {
    return vendorRequest(1);
}

ResultPair UsbScanProcess::closeScanner() {
    return vendorRequest(2);
}

std::optional<std::uint8_t> UsbScanProcess::exchange(std::string_view command, long maxReply) {
    if (!interfaceInterface_ || !pips_.contains("writePipe") || !pips_.contains("readPipe")) {
        return std::nullopt; // nothing is written without both pipes
    }
    interfaceInterface_.write(command, pips_.at("writePipe"), kCommandTimeout, kCommandTimeout);
    const Bytes reply = interfaceInterface_.readBytes({.minCount = 1,
                                                       .maxCount = maxReply,
                                                       .pipe = pips_.at("readPipe"),
                                                       .noDataTimeout = kCommandTimeout,
                                                       .completionTimeout = kCommandTimeout});
    return reply.empty() ? std::nullopt : std::optional(reply.front());
}

ResultPair UsbScanProcess::checkPaperSource() {
    auto& source = scanCommand_->param.source;
    if (source == "FB") {
        return {true, "noNeedToCheck"};
    }
    std::optional<std::uint8_t> reply;
    try {
        reply = exchange(scanCommand_->getDCommand(), 10);
    } catch (const std::exception& error) {
        print("check paper source error. error = " + errorText(error));
        return {false, "checkPaperSourceError"};
    }
    if (!reply) {
        return {false, "unexpectError"};
    }
    return paperSourceResult(*reply, source);
}

ResultPair UsbScanProcess::sendSCommand() {
    std::optional<std::uint8_t> reply;
    try {
        reply = exchange(scanCommand_->getSCommand(), 10);
    } catch (const std::exception& error) {
        print("send s command error. error = " + errorText(error));
        return {false, "sndSCommandError"};
    }
    if (!reply) {
        return {false, "unexpectError"};
    }
    return sourceSelectionResult(*reply);
}

ResultPair UsbScanProcess::sendICommand() {
    std::optional<std::uint8_t> reply;
    try {
        reply = exchange(scanCommand_->getICommand(), 50);
    } catch (const std::exception& error) {
        print("send I command error. error = " + errorText(error));
        return {false, "sndICommandError"};
    }
    if (!reply) {
        return {false, "unexpectError"};
    }
    return *reply == 0x00 ? ResultPair{true, "ok"} : ResultPair{false, "sndICommandError"};
}

std::pair<int, std::string> UsbScanProcess::sendXCommand() {
    if (!interfaceInterface_ || !pips_.contains("writePipe")) {
        return {-1, "sndXCommandError"};
    }
    try {
        interfaceInterface_.write(scanCommand_->getXCommand(), pips_.at("writePipe"), kCommandTimeout,
                                  kCommandTimeout);
    } catch (const std::exception& error) {
        print("send X command error. error = " + errorText(error));
        return {-1, "sndXCommandError"};
    }
    return {1, "sendSuccess"};
}

ResultPair UsbScanProcess::receivePages(InterfaceSession<Build> firstCycle) {
    if (!pips_.contains("readPipe")) {
        return {false, "receiveImagesError"};
    }
    // The first cycle reads inside the open of the command exchange and closes
    // it; each later cycle opens the interface anew (opening it while it is
    // still open would be refused and written as a failed open).
    std::optional<InterfaceSession<Build>> held(std::move(firstCycle));
    auto cycleSession = [&] {
        if (held) {
            InterfaceSession<Build> session = std::move(*held);
            held.reset();
            return session;
        }
        return InterfaceSession<Build>(interfaceInterface_, false);
    };
    ResultPair job{true, "ok"};
    bool saveFailed = false;
    // Pages are counted and named from 1 in the order they arrive, as the
    // network scan does, whatever numbers the scanner puts in the stream.
    std::int64_t pageCounter = 1;
    std::optional<ReadImagesResult> latest;
    while (!latest || !latest->isFinished) {
        try {
            const InterfaceSession<Build> cycle = cycleSession();
            print("open and perform");
            latest = readImages(interfaceInterface_,
                                {.minCount = 1,
                                 .maxCount = 60000,
                                 .pipe = pips_.at("readPipe"),
                                 .noDataTimeout = kCommandTimeout,
                                 .completionTimeout = kCommandTimeout},
                                maxPageBytes(scanCommand_->param));
            if (!latest->isFinished) {
                if (!writePage_(scanCommand_->param, pageCounter, latest->data).status) {
                    saveFailed = true;
                }
                job = {true, std::to_string(pageCounter)};
                ++pageCounter;
            } else if (latest->pageNo == -2) {
                job = {false, scanStatusMessage(latest->data.empty() ? 0 : latest->data[0])};
            }
        } catch (const std::exception& error) {
            print(errorText(error));
            return receiveFailure(error); // the pages saved before stay on disk
        }
    }
    if (saveFailed && job.status) {
        return {false, "saveImageError"}; // the pages that could be saved stay on disk
    }
    return job;
}

ResultPair UsbScanProcess::startScan() {
    const ResultPair opened = openScanner();
    if (!opened.status) {
        release();
        return opened;
    }
    // From here on the scanner holds an open session: every way out closes it.
    const ResultPair result = runJob();
    closeScanner();
    release();
    return result;
}

ResultPair UsbScanProcess::runJob() {
    InterfaceSession<Build> session(interfaceInterface_, false);
    pips_ = interfaceInterface_.getPipes();
    const CommandSteps steps{
        .checkPaperSource = [this] { return checkPaperSource(); },
        .sendSCommand = [this] { return sendSCommand(); },
        .sendICommand = [this] { return sendICommand(); },
        .sendXCommand = [this]() -> std::optional<ResultPair> {
            const auto x = sendXCommand();
            if (x.first != 1) {
                return ResultPair{false, x.second}; // no job was started: nothing will arrive
            }
            return std::nullopt;
        },
        .paperSourceFailed = "check paper source error",
        .sCommandFailed = " S command  sent error",
        .iCommandFailed = " I command  sent error",
        .xCommandSent = "x command is sent",
    };
    if (auto ended = runCommandSteps(steps)) {
        return *ended;
    }
    return receivePages(std::move(session));
}

ResultPair runUsbScan(const Device& scanner, const std::shared_ptr<ScanCommand>& scanCommand) {
    UsbScanProcess process(scanner, scanCommand);
    return process.startScan();
}

} // namespace tbx
