// The USB interface handle (IOUSBInterfaceStruct700**): open and close, bulk
// reads and writes with time-outs, control requests, pipe stalls and the pipe
// map. `USBInterface` is a move-only owner of one reference; its destructor
// gives it back and `release()` does so early. `InterfaceSession` holds an
// interface open for one scope. An operation on an empty handle throws
// kIOReturnNotOpen (through its label where it has one); `close()` and
// `release()` never throw, and the scanner build's open without seizing keeps
// its own rule ("open interface failed"). A handle whose function table is
// absent makes no call and answers what the operation started with.
#pragma once

#include "device/OwnedHandle.h"
#include "device/USBTypes.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tbx {

template <DeviceBuild B>
class USBInterface : public OwnedHandle<iokit::IOUSBInterfaceStruct700> {
public:
    using OwnedHandle::OwnedHandle;

    // Through the plug-in; query failed: `couldNotQueryUsbInterfaceInterface`.
    static USBInterface create(iokit::io_service_t service);

    // Seize: label "func open-seize-true". Without seize the scanner build writes
    // "open interface failed" on failure and returns; the monitor build throws.
    void open(bool seize = false) const;
    // Never throws; the scanner build then writes "interface closed".
    void close() const;
    void openAndPerform(bool seize, const std::function<void()>& handler) const;
    void openAndPerform(const std::function<void()>& handler) const { openAndPerform(false, handler); }

    // One bulk read of at most maxCount bytes; fewer than minCount:
    // `couldNotGetEnoughData`. Answers the bytes that arrived.
    Bytes readBytes(const ReadOptions& options) const;
    Bytes read(const ReadOptions& options) const { return readBytes(options); }
    // One bulk read into `buffer` with time-outs in milliseconds, without a
    // trace line or a check of its own: answers the platform's code and sets
    // `length` to the bytes that arrived (never beyond the buffer).
    IOReturn readPipe(std::uint8_t pipe, std::span<std::uint8_t> buffer, std::uint32_t& length,
                      std::uint32_t noDataTimeout, std::uint32_t completionTimeout) const;
    void write(std::span<const std::uint8_t> bytes, long pipe, double noDataTimeout = 0.3,
               double completionTimeout = 0.3) const;
    // The data-value form: the text's bytes as they stand (UTF-8).
    void write(std::string_view data, long pipe, double noDataTimeout = 0.3,
               double completionTimeout = 0.3) const;
    void write(const Bytes& bytes, long pipe, double noDataTimeout = 0.3,
               double completionTimeout = 0.3) const {
        write(std::span<const std::uint8_t>(bytes), pipe, noDataTimeout, completionTimeout);
    }
    // The request as the caller built it; its data stage goes out of or lands
    // in `data` (request.pData is not used). A device-to-host answer fills at
    // most data.size() bytes, whatever wLength asks for; a host-to-device
    // wLength beyond data.size() is refused with kIOReturnBadArgument.
    // Answers the number of bytes the data stage moved (0 when no request was made).
    std::uint32_t sendControlRequest(const IOUSBDevRequestTO& request, long pipe,
                                     std::span<std::uint8_t> data = {}) const;
    void clearPipeStall(bool bothEnds, long pipe) const;
    void clearPipeStall(long pipe) const { clearPipeStall(false, pipe); }
    void resetPipe(long pipe) const;
    std::uint8_t getInterfaceNum() const;
    PipeMap getPipes() const;
    static std::string krToString(iokit::kern_return_t kr) requires isScannerBuild<B>;

    // A second owner of the same interface interface.
    USBInterface retain() const;

private:
    template <DeviceBuild>
    friend class InterfaceSession;
    // The open of `open(seize)`; answers whether the interface is open now.
    bool openInterface(bool seize) const;
};

// Holds an interface open from its construction to the end of its scope: the
// open is the interface's `open(seize)` (it may throw, and then nothing is
// held), the end of the scope is its `close()`, which never throws.
template <DeviceBuild B>
class InterfaceSession {
public:
    InterfaceSession(const USBInterface<B>& interface, bool seize)
        : interface_(&interface), open_(interface.openInterface(seize)) {}
    InterfaceSession(InterfaceSession&& other) noexcept
        : interface_(std::exchange(other.interface_, nullptr)), open_(other.open_) {}
    InterfaceSession& operator=(InterfaceSession&&) = delete;
    InterfaceSession(const InterfaceSession&) = delete;
    ~InterfaceSession() { close(); }

    // Whether the open succeeded (a failed open without seizing in the
    // scanner build is only written).
    bool isOpen() const { return interface_ != nullptr && open_; }
    // Closes now; the end of the scope then does nothing.
    void close() {
        if (const USBInterface<B>* interface = std::exchange(interface_, nullptr)) {
            interface->close();
        }
    }

private:
    const USBInterface<B>* interface_;
    bool open_;
};

} // namespace tbx
