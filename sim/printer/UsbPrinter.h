// The simulated printer as a USB device of vendor 0x356C / product 0x37 on the
// simulated bus: one vendor-class interface with bulk OUT pipe 1 and bulk IN
// pipe 2, a registry location of its own (so two of them can be told apart).
//
// Status. The device answers the status control request (request type 0xC0,
// request 4, value 0, index 0, length 512, on the default pipe) with the
// status code (two bytes, little-endian) and the toner level (one byte), both
// settable. It checks every field of the request and its time-outs (2000 ms
// without data, 3000 ms to completion): any other request is answered with a
// stall and counted in `badRequests()`.
//
// Misbehaviour: a short answer (only the first n bytes), a stall, or a
// time-out (after `setTimeoutDelay`, immediately by default).
//
// Command channel. The bulk pipes (OUT 1, IN 2) are left to the printer's
// command channel: serve a responder on `device()` (its onWrite/onRead). Until
// one is served, writes succeed and are logged, and reads end in the
// platform's time-out, as a printer that sends nothing.
//
// Plug it with `bus->plug(printer.device())`, unplug with `bus->unplug(...)`.
#pragma once

#include "sim/usb/SimulatedUsb.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace tbx::sim {

class UsbPrinter {
public:
    enum class Misbehaviour { none, shortAnswer, stall, timeout };

    struct Options {
        std::uint16_t vendorId = 0x356C;
        std::uint16_t productId = 0x37;
        // The registry's "locationID" (bus in the top byte, then the port path).
        std::uint32_t location = 0x01100000;
        std::uint16_t statusCode = 1;
        std::uint8_t toner = 80;
    };

    UsbPrinter();
    explicit UsbPrinter(Options options);

    const std::shared_ptr<usb::Device>& device() const { return device_; }

    void setStatus(std::uint16_t code, std::uint8_t toner);
    std::uint16_t statusCode() const;
    std::uint8_t toner() const;
    // `shortLength`: the bytes a short answer keeps (0 to 2).
    void misbehave(Misbehaviour misbehaviour, std::size_t shortLength = 1);
    void setTimeoutDelay(std::chrono::milliseconds delay);

    // Status requests answered, and requests refused for a wrong field.
    int statusRequests() const;
    int badRequests() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::shared_ptr<usb::Device> device_;
};

// The printer a program asked for in TAMBERLYX_SIMULATED_PRINTER: "usb" makes
// a simulated bus the USB backend and plugs one printer into it (ready, toner
// 80 %). Answers none (and changes nothing) when the variable is unset or empty.
std::shared_ptr<UsbPrinter> simulatedPrinterFromEnvironment();

} // namespace tbx::sim
