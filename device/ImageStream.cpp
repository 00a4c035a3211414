#include "device/ImageStream.h"

#include "platform/foundation/Print.h"

#include <algorithm>
#include <string>

namespace tbx {

namespace {

constexpr std::uint32_t kTransferSize = 40960;
constexpr std::uint32_t kNoDataTimeoutMs = 30000;
constexpr std::uint32_t kCompletionTimeoutMs = 60000;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kTrailerSize = 10;
constexpr std::uint8_t kTrailerMark = 0x82;
constexpr std::uint8_t kJobFinished = 0x80;

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

} // namespace

template <DeviceBuild B>
ReadImagesResult readImages(const USBInterface<B>& interface, const ReadOptions& options) {
    const std::uint8_t pipe = pipeArgument<B>(options.pipe, "func readImages");
    if (!interface || *interface.handle() == nullptr) {
        throw USBError(ioreturn::notOpen);
    }
    Bytes buffer(kTransferSize, 0);
    Bytes page;
    for (;;) {
        std::uint32_t length = 0;
        const IOReturn code =
            interface.readPipe(pipe, buffer, length, kNoDataTimeoutMs, kCompletionTimeoutMs);
        if (traceReadCode(code)) {
            interface.clearPipeStall(true, options.pipe);
            print("other error ");
        }
        if (code != iokit::kIOReturnSuccess) {
            // Whatever length a failed read reports, its bytes are not part of
            // the stream: the job cannot go on from here.
            throw USBError(code);
        }
        const std::size_t n = std::min<std::size_t>(length, buffer.size());
        if (n == 0) {
            return {true, -1, std::move(page)};
        }
        if (n == 1) {
            if (buffer[0] == kJobFinished) {
                print("buffer[0]=" + std::to_string(kJobFinished));
                return {true, -1, std::move(page)};
            }
            return {true, -2, Bytes{buffer[0]}};
        }
        print(byteListText(std::span(buffer).first(std::min(n, kHeaderSize))));
        if (n < kHeaderSize) {
            throw ScanStreamError("scan stream transfer of " + std::to_string(n) + " bytes is no block");
        }
        const std::size_t blockLength = buffer[10] | (std::size_t(buffer[11]) << 8);
        print("readBytes function. readlen=" + std::to_string(n) +
              "  and packet len = " + std::to_string(blockLength));
        if (n == blockLength + kHeaderSize) {
            page.insert(page.end(), buffer.begin() + kHeaderSize, buffer.begin() + std::ptrdiff_t(n));
            continue;
        }
        if (n == blockLength + kHeaderSize + kTrailerSize &&
            buffer[kHeaderSize + blockLength] == kTrailerMark) {
            const auto trailer = std::span(buffer).subspan(kHeaderSize + blockLength, kTrailerSize);
            print("finished receive one page tail = " + byteListText(trailer) + " and pagesize = 0");
            page.insert(page.end(), buffer.begin() + kHeaderSize,
                        buffer.begin() + std::ptrdiff_t(kHeaderSize + blockLength));
            const long pageNo = long(buffer[3]) + 256 * long(buffer[4]);
            return {false, pageNo, std::move(page)};
        }
        throw ScanStreamError("scan stream transfer of " + std::to_string(n) +
                              " bytes does not match its block length " + std::to_string(blockLength));
    }
}

template ReadImagesResult readImages<ScannerBuild>(const USBInterface<ScannerBuild>&, const ReadOptions&);
template ReadImagesResult readImages<MonitorBuild>(const USBInterface<MonitorBuild>&, const ReadOptions&);

} // namespace tbx
