// The simulated scanner as a USB device: a `ScannerEngine` behind a simulated
// device with the scanner's layout (interface number 1, bulk OUT pipe 1, bulk
// IN pipe 2). Commands written to pipe 1 are answered on pipe 2; once X has
// started a job every read of pipe 2 answers the next transfer of the image
// stream. Vendor requests 1 and 2 open and close the scan session. A stall
// answers reads with the platform's time-out code; a stream that a misbehaviour
// cut off answers kIOReturnNoDevice, as a scanner that went away.
// Plug `device()` into a `tbx::sim::usb::Bus` to make it visible.
#pragma once

#include "sim/scanner/ScannerEngine.h"
#include "sim/usb/SimulatedUsb.h"

#include <memory>

namespace tbx::sim {

class UsbScanner {
public:
    explicit UsbScanner(ScannerScript script, std::uint16_t productId = 0x37,
                        std::uint16_t vendorId = 0x356C);

    const std::shared_ptr<usb::Device>& device() const { return device_; }

    // Makes the bulk write number `number` (from 1) fail with `code`.
    void failWrite(int number, iokit::IOReturn code);

    std::vector<std::string> commandLog() const;
    std::vector<std::string> commandTexts() const;
    ScanSettings settings() const;
    bool sessionOpen() const;
    int vendorRequests() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::shared_ptr<usb::Device> device_;
};

} // namespace tbx::sim
