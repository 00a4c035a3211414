// One request and reply over the bulk pipes of the USB printer with these
// identifiers (status monitor build of the USB layer): open the device's first
// interface, write the request to its OUT pipe, read 16 to 600 bytes from its
// IN pipe (0.3 s time-outs each), close and release everything again.
//
// The reply is the bytes received as UTF-8 text without trailing NUL padding;
// absent when anything failed or the bytes are not valid UTF-8. A failure of the
// exchange (no device, open, pipes, write, read, fewer than 16 bytes) posts the
// line "function getIPInfoByUSB throws error" to the main queue. With a
// `location`, only the device at that registry location is used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tbx {

std::optional<std::string> usbInteraction(const std::string& cmd, long PID, long VID,
                                          std::optional<std::uint32_t> location = std::nullopt);

} // namespace tbx
