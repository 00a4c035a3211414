// One scanner as discovery found it, and the form's choices for one scan.
#pragma once

#include "platform/foundation/UUID.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tbx {

// A scanner found by discovery. A value: copies keep the identity of the
// original, while every newly made device gets a fresh `id`, so two devices
// made separately from the same values compare unequal.
struct Device {
    UUID id;
    std::string name;
    std::string label; // what the scanner picker shows
    std::string type;  // "Net" or "USB"; empty in the placeholder
    std::string ip;    // IPv4 address text of a network scanner, empty for USB
    std::uint16_t PID = 0;
    std::uint16_t VID = 0;

    Device(std::string name, std::string label, std::string type, std::string ip, std::uint16_t PID,
           std::uint16_t VID);
    // A device known only by name: no label, type or address, PID 0, VID 0x0EFD.
    explicit Device(std::string name);
    // The placeholder selected before any discovery: all texts empty, PID and VID 0.
    static Device placeholder();

    friend bool operator==(const Device&, const Device&) = default;
};

} // namespace tbx

template <>
struct std::hash<tbx::Device> {
    std::size_t operator()(const tbx::Device& d) const noexcept;
};
