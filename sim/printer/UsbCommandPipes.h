// Serves a CommandResponder on the bulk pipes of a simulated USB device: each
// write to the OUT pipe is one request; its reply waits for the next read of the
// IN pipe. Without a reply (none asked for, or a silent responder) the read
// answers the platform's transaction time-out, as a printer that sends nothing.
#pragma once

#include "sim/printer/CommandResponder.h"
#include "sim/usb/SimulatedUsb.h"

#include <cstdint>
#include <memory>

namespace tbx::sim {

void serveCommandPipes(usb::Device& device, std::shared_ptr<CommandResponder> responder,
                       std::uint8_t outPipe = 1, std::uint8_t inPipe = 2);

} // namespace tbx::sim
