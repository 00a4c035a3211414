#include "device/ImageStream.h"

#include "device/ScanStreamParser.h"
#include "platform/foundation/Print.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tbx {

namespace {

constexpr std::uint32_t kNoDataTimeoutMs = 30000;
constexpr std::uint32_t kCompletionTimeoutMs = 60000;

// The line for the read's return code; answers whether the stall must be cleared.
bool traceReadCode(IOReturn code) {
    switch (code) {
    case iokit::kIOReturnSuccess:
        print("read sucess");
        return false;
    case ioreturn::noDevice:
        print("no devices");
        return false;
    case ioreturn::aborted:
        print("thread is interrupted before call complete");
        return false;
    case ioreturn::notOpen:
        print("the interface is not open for exclusive access");
        return false;
    case ioreturn::badArgument:
        print("timeout values are specified for an interrupt pipe");
        return false;
    default:
        return true;
    }
}

// The bulk IN pipe as the parser's byte source: one transfer of up to 40960
// bytes per unit, handed out as it came.
template <DeviceBuild B>
class TransferSource final : public ScanByteSource {
public:
    TransferSource(const USBInterface<B>& interface, std::uint8_t pipe, long pipeArgument)
        : interface_(interface), pipe_(pipe), pipeArgument_(pipeArgument),
          transfer_(ScanStreamParser::kReadSize) {}

    bool readsWholeUnits() const override { return true; }

    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        if (offset_ == length_) {
            transferOnce();
            if (length_ == 0) {
                return 0;
            }
        }
        const std::size_t n = std::min(maxLength, length_ - offset_);
        std::memcpy(buffer, transfer_.data() + offset_, n);
        offset_ += n;
        return long(n);
    }

private:
    void transferOnce() {
        std::uint32_t length = 0;
        const IOReturn code =
            interface_.readPipe(pipe_, transfer_, length, kNoDataTimeoutMs, kCompletionTimeoutMs);
        if (traceReadCode(code)) {
            interface_.clearPipeStall(true, pipeArgument_);
            print("other error ");
        }
        if (code != iokit::kIOReturnSuccess) {
            // Whatever length a failed read reports, its bytes are not part of
            // the stream: the job cannot go on from here.
            throw USBError(code);
        }
        offset_ = 0;
        length_ = length;
        if (length_ >= 2) {
            const auto bytes = std::span(transfer_).first(length_);
            print(byteListText(bytes.first(std::min(length_, ScanStreamParser::kHeaderSize))));
            if (length_ >= ScanStreamParser::kHeaderSize) {
                const std::size_t blockLength = bytes[10] | (std::size_t(bytes[11]) << 8);
                print("readBytes function. readlen=" + std::to_string(length_) +
                      "  and packet len = " + std::to_string(blockLength));
            }
        }
    }

    const USBInterface<B>& interface_;
    std::uint8_t pipe_;
    long pipeArgument_;
    Bytes transfer_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
};

class UsbStreamTrace final : public ScanStreamObserver {
public:
    void trailer(std::span<const std::uint8_t> trailer, const HeaderView&, std::uint64_t) override {
        print("finished receive one page tail = " + byteListText(trailer) + " and pagesize = 0");
    }
    void status(std::uint8_t code, bool) override {
        if (code == ScanStreamParser::kJobFinished) {
            print("buffer[0]=" + std::to_string(code));
        }
    }
};

} // namespace

template <DeviceBuild B>
ReadImagesResult readImages(const USBInterface<B>& interface, const ReadOptions& options,
                            std::uint64_t maxPageBytes) {
    const std::uint8_t pipe = pipeArgument<B>(options.pipe, "func readImages");
    if (!interface || *interface.handle() == nullptr) {
        throw USBError(ioreturn::notOpen);
    }
    TransferSource<B> source(interface, pipe, options.pipe);
    UsbStreamTrace trace;
    ScanStreamParser parser(source, maxPageBytes, &trace);
    ScanStreamStep step = parser.next();
    using Kind = ScanStreamStep::Kind;
    switch (step.kind) {
    case Kind::page:
        return {false, step.pageNo, std::move(step.data)};
    case Kind::status:
        return {true, -2, Bytes{step.status}};
    case Kind::finished:
    case Kind::ended:
    case Kind::cutShort:
        return {true, -1, std::move(step.data)};
    case Kind::tooLarge:
        throw ScanPageTooLarge(step.problem);
    case Kind::broken:
        break;
    }
    throw ScanStreamError(step.problem);
}

template ReadImagesResult readImages<ScannerBuild>(const USBInterface<ScannerBuild>&, const ReadOptions&,
                                                   std::uint64_t);
template ReadImagesResult readImages<MonitorBuild>(const USBInterface<MonitorBuild>&, const ReadOptions&,
                                                   std::uint64_t);

} // namespace tbx
