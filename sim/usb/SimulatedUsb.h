// Simulated USB devices behind the IOKit stand-in, for the tests and the demo.
//
// Quick start
//
//   #include "sim/usb/SimulatedUsb.h"
//   namespace simusb = tbx::sim::usb;
//
//   auto bus = simusb::Bus::install();        // the registry now shows only simulated devices
//   auto device = simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x37));
//   bus->plug(device);                         // first-match notifications fire
//
//   device->queueRead(2, {.bytes = {0x80}});   // next bulk IN on pipe 2 answers one byte
//   device->onWrite(1, [](const simusb::WriteRecord& w) { ...; return tbx::iokit::kIOReturnSuccess; });
//   device->onControl([](const simusb::ControlRecord& c) { return simusb::ControlAnswer{.data = {5, 0, 0, 0,
//   0}}; });
//
//   ... code under test: USBDevice<B>::create(0x356C, 0x37), createInterfaceInterface(), ...
//
//   device->writes();                          // every bulk OUT, with its pipe and time-outs
//   device->reads();                           // every bulk IN asked for, with its size and time-outs
//   device->controlRequests();                 // every control request with its setup and OUT data
//   bus->unplug(device);                       // terminate notifications fire; open clients get
//   kIOReturnNoDevice EXPECT_EQ(tbx::iokit::liveObjectCounts(), baseline);   // everything handed out was
//   released
//
// Devices. `DeviceConfig` holds the device descriptor (vendor, product, names,
// location) and the interfaces of the active configuration with their
// endpoints; pipe n of an interface is its endpoint n - 1. `bulkPairDevice`
// builds the usual printer/scanner layout: one vendor-class interface number 0
// with bulk OUT 0x01 (pipe 1) and bulk IN 0x82 (pipe 2); give `interfaceNumber`
// to number it differently. `propertyOverrides` replace or add registry
// properties (for example a text "idVendor" to test a malformed entry).
//
// Bulk IN, per pipe, in this order: the queued results (`queueRead`, one per
// read, FIFO), else the pipe's handler (`onRead`), else the idle result
// (`setIdleRead`, by default kIOUSBTransactionTimeout with no bytes, as a
// device that sends nothing within the time-out). A result's `bytes` are copied
// into the caller's buffer, cut to its size; the length the read reports is
// `reportedLength` when set (it may lie, even beyond the buffer), else the bytes
// copied; `keepLength` leaves the caller's length untouched. With
// `setTimeoutsTakeTime(true)` a read whose result is a time-out first sleeps for
// its time-out (completion, else no-data), so stalls take real time.
//
// Bulk OUT: every write is logged (`writes()`), then answered by the pipe's
// queued results (`queueWriteResult`), else its handler (`onWrite`), else success.
//
// Control requests (pipe 0 through the interface or the device client): logged
// (`controlRequests()`, with the OUT data stage), then answered by the queued
// answers (`queueControl`), else the handler (`onControl`), else a stall
// (kIOUSBPipeStalled, as a device that does not know the request). For
// device-to-host requests the answer's `data` goes into the data stage, cut to
// wLength; `done` reports how many bytes moved.
//
// Faults. `injectFault(step, fault)` makes a step fail with `fault.code` for
// `fault.times` calls (-1: until `clearFaults`), after `fault.after` matching
// calls that still pass, optionally only for one pipe,
// one service kind (device or interface) or one interface number. Steps:
// plug-in creation (code success there means "succeeds but gives no plug-in"),
// plug-in query (the code is ignored: the query just finds nothing), registry
// property reads, device open/close/reset, interface open/close, pipe properties,
// pipe status, read, write, control, stall clearing, pipe reset. A faulted read
// still logs the request; a faulted write still logs the data.
//
// Open state: the device and each interface can be open by one client at a
// time; a second non-seizing open answers kIOReturnExclusiveAccess (a seizing
// one takes over). `stats()` counts opens, closes, resets and stall clears.
// After `unplug` every call answers kIOReturnNoDevice.
//
// Threads: every call may come from any thread; handlers run on the caller's
// thread without any lock held, so a handler may call back into its device.
#pragma once

#include "platform/iokit/Backend.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tbx::sim::usb {

using Bytes = std::vector<std::uint8_t>;
using iokit::IOReturn;

struct DeviceConfig {
    iokit::DeviceDescriptor descriptor{};
    std::vector<iokit::InterfaceDescriptor> interfaces{};
    iokit::Dictionary propertyOverrides{};
};

// One vendor-class interface with bulk OUT 0x01 (pipe 1) and bulk IN 0x82 (pipe 2).
DeviceConfig bulkPairDevice(std::uint16_t vendorId, std::uint16_t productId,
                            std::uint8_t interfaceNumber = 0);

struct ReadRequest {
    std::uint8_t interfaceNumber = 0;
    std::uint8_t pipe = 0;
    std::uint32_t size = 0; // the caller's buffer
    std::uint32_t noDataTimeout = 0;
    std::uint32_t completionTimeout = 0;
};

struct ReadResult {
    IOReturn code = iokit::kIOReturnSuccess;
    Bytes bytes{};
    std::optional<std::uint32_t> reportedLength{};
    bool keepLength = false;
};

struct WriteRecord {
    std::uint8_t interfaceNumber = 0;
    std::uint8_t pipe = 0;
    Bytes bytes{};
    std::uint32_t noDataTimeout = 0;
    std::uint32_t completionTimeout = 0;
};

struct ControlRecord {
    std::optional<std::uint8_t> interfaceNumber; // none: sent through the device client
    std::uint8_t pipe = 0;
    iokit::ControlSetup setup{};
    Bytes dataOut{}; // host-to-device data stage
    std::uint32_t noDataTimeout = 0;
    std::uint32_t completionTimeout = 0;
};

struct ControlAnswer {
    IOReturn code = iokit::kIOReturnSuccess;
    Bytes data{}; // device-to-host data stage, cut to wLength
};

enum class Step {
    plugIn,
    query,
    properties,
    deviceOpen,
    deviceClose,
    deviceReset,
    interfaceOpen,
    interfaceClose,
    pipeProperties,
    pipeStatus,
    read,
    write,
    control,
    clearStall,
    resetPipe,
};

struct Fault {
    IOReturn code = iokit::kIOReturnError;
    int times = 1; // -1: until cleared
    std::optional<std::uint8_t> pipe{};
    std::optional<iokit::ServiceKind> kind{};
    std::optional<std::uint8_t> interfaceNumber{};
    int after = 0; // matching calls that still pass before the fault strikes
};

struct Stats {
    int deviceOpens = 0;
    int deviceCloses = 0;
    int deviceResets = 0;
    int interfaceOpens = 0;
    int interfaceCloses = 0;
    int stallClears = 0;
    int pipeResets = 0;
};

class Device final : public iokit::BackendDevice, public std::enable_shared_from_this<Device> {
public:
    explicit Device(DeviceConfig config);
    static std::shared_ptr<Device> make(DeviceConfig config) {
        return std::make_shared<Device>(std::move(config));
    }

    // Scripting.
    void queueRead(std::uint8_t pipe, ReadResult result);
    void onRead(std::uint8_t pipe, std::function<ReadResult(const ReadRequest&)> handler);
    void setIdleRead(ReadResult result);
    void setTimeoutsTakeTime(bool takeTime);
    // While held, a bulk read (logged first) waits until the reads are let go, as
    // a transfer to a printer that keeps it; letting go also ends the waits.
    void holdReads(bool hold);
    void queueWriteResult(std::uint8_t pipe, IOReturn code);
    void onWrite(std::uint8_t pipe, std::function<IOReturn(const WriteRecord&)> handler);
    void queueControl(ControlAnswer answer);
    void onControl(std::function<ControlAnswer(const ControlRecord&)> handler);
    void injectFault(Step step, Fault fault);
    void clearFaults();

    // What happened.
    std::vector<WriteRecord> writes() const;
    std::vector<ReadRequest> reads() const;
    std::vector<ControlRecord> controlRequests() const;
    // Counts the transfers (bulk reads and writes, control requests) asked for on
    // `thread` from now on, a window's thread say, which must never wait for the device.
    void countTransfersOn(std::thread::id thread);
    int transfersCounted() const;
    void clearLogs();
    Stats stats() const;
    bool isDeviceOpen() const;
    bool isInterfaceOpen(std::uint8_t number) const;
    bool isPlugged() const;

    const DeviceConfig& config() const { return config_; }

    // The backend's side (called by the IOKit stand-in).
    iokit::DeviceDescriptor descriptor() const override;
    std::vector<iokit::InterfaceDescriptor> interfaces() const override;
    IOReturn properties(const iokit::InterfaceDescriptor* interface, iokit::Dictionary& out) const override;
    IOReturn copyProperties(const iokit::InterfaceDescriptor* interface,
                            iokit::Dictionary& out) const override;
    IOReturn createPlugIn(iokit::ServiceKind kind, std::uint8_t interfaceNumber, bool& provide) override;
    bool queryInterface(iokit::ServiceKind kind, std::uint8_t interfaceNumber) override;
    IOReturn openDevice(bool seize) override;
    IOReturn closeDevice() override;
    IOReturn resetDevice() override;
    IOReturn openInterface(std::uint8_t number, bool seize) override;
    IOReturn closeInterface(std::uint8_t number) override;
    IOReturn pipeProperties(const iokit::InterfaceDescriptor& interface, std::uint8_t pipe,
                            iokit::PipeProperties& out) override;
    IOReturn pipeStatus(const iokit::InterfaceDescriptor& interface, std::uint8_t pipe) override;
    IOReturn readPipe(const iokit::InterfaceDescriptor& interface, std::uint8_t pipe,
                      std::span<std::uint8_t> buffer, std::uint32_t& length, std::uint32_t noDataTimeout,
                      std::uint32_t completionTimeout) override;
    IOReturn writePipe(const iokit::InterfaceDescriptor& interface, std::uint8_t pipe,
                       std::span<const std::uint8_t> data, std::uint32_t noDataTimeout,
                       std::uint32_t completionTimeout) override;
    IOReturn controlRequest(const iokit::InterfaceDescriptor* interface, std::uint8_t pipe,
                            const iokit::ControlSetup& setup, std::span<std::uint8_t> data,
                            std::uint32_t& done, std::uint32_t noDataTimeout,
                            std::uint32_t completionTimeout) override;
    IOReturn clearPipeStall(const iokit::InterfaceDescriptor& interface, std::uint8_t pipe,
                            bool bothEnds) override;
    IOReturn resetPipe(const iokit::InterfaceDescriptor& interface, std::uint8_t pipe) override;

private:
    friend class Bus;
    // The fault for this call, if one is armed (and counts it down).
    std::optional<IOReturn> takeFault(Step step, std::optional<std::uint8_t> pipe,
                                      std::optional<iokit::ServiceKind> kind,
                                      std::optional<std::uint8_t> interfaceNumber) const;
    void setPlugged(bool plugged);
    // Under mutex_: counts a transfer asked for on the counted thread.
    void noteTransfer();

    DeviceConfig config_;
    mutable std::mutex mutex_;
    bool plugged_ = false;
    std::map<std::uint8_t, std::deque<ReadResult>> queuedReads_;
    std::map<std::uint8_t, std::function<ReadResult(const ReadRequest&)>> readHandlers_;
    ReadResult idleRead_;
    bool timeoutsTakeTime_ = false;
    bool readsHeld_ = false;
    std::condition_variable readsLetGo_;
    std::map<std::uint8_t, std::deque<IOReturn>> queuedWrites_;
    std::map<std::uint8_t, std::function<IOReturn(const WriteRecord&)>> writeHandlers_;
    std::deque<ControlAnswer> queuedControls_;
    std::function<ControlAnswer(const ControlRecord&)> controlHandler_;
    mutable std::multimap<Step, Fault> faults_;
    std::vector<WriteRecord> writes_;
    std::vector<ReadRequest> reads_;
    std::vector<ControlRecord> controls_;
    std::thread::id countedThread_; // none: no thread is counted
    int transfersCounted_ = 0;
    Stats stats_;
    bool deviceOpen_ = false;
    std::map<std::uint8_t, bool> interfaceOpen_;
};

// The simulated bus: the backend of the IOKit stand-in while installed.
class Bus final : public iokit::Backend {
public:
    // Makes a new, empty bus the stand-in's backend (replacing any other, whose
    // devices are terminated) and returns it.
    static std::shared_ptr<Bus> install();
    // Registers "sim" with the backend selection, so TAMBERLYX_USB_BACKEND=sim
    // picks an empty simulated bus; `Bus::current()` then finds it.
    static void registerFactory();
    // The installed simulated bus, none when another backend is in use.
    static std::shared_ptr<Bus> current();

    // Attaches the device: it enters the registry (first-match notifications).
    void plug(const std::shared_ptr<Device>& device);
    // Detaches it: terminate notifications; its clients answer kIOReturnNoDevice.
    void unplug(const std::shared_ptr<Device>& device);
    void unplugAll();
    std::vector<std::shared_ptr<Device>> devices() const;

    std::string name() const override { return "sim"; }
    void start(iokit::DeviceSink& sink) override;
    void stop() override;

private:
    mutable std::mutex mutex_;
    iokit::DeviceSink* sink_ = nullptr;
    std::vector<std::shared_ptr<Device>> devices_;
};

} // namespace tbx::sim::usb
