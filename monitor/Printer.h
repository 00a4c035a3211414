// One printer of the status monitor: found on USB or by SNMP discovery, or the
// no-printer value that stands in while the list is empty.
//
// An immutable value: every field is fixed at construction and the model
// replaces whole values. Every construction makes a new `id`, so two values are
// equal only when one is a copy of the other (equality and hashing take every
// field, `id` first).
//
// `usbLocation` tells two attached printers of the model apart: the registry's
// "locationID" of the device (bus and port path), present for USB printers
// whose registry entry carries it. The status query opens the device with that
// location, not merely the first one with the same vendor and product.
#pragma once

#include "platform/foundation/UUID.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tbx {

class Printer {
public:
    // The vendor identifier of the no-printer value.
    static constexpr std::uint16_t kNoPrinterVendorId = 0x0EFD;

    Printer(std::string name, std::string label, std::string type, std::string ip, std::uint16_t PID,
            std::uint16_t VID, std::optional<std::uint32_t> usbLocation = std::nullopt);
    // The no-printer value: the given name (the model passes ""), empty label,
    // type and ip, PID 0, VID 0x0EFD.
    explicit Printer(std::string name = "");

    const UUID& id() const { return id_; }
    const std::string& name() const { return name_; }
    // Shown in the printer list: "Tamberlyx(USB)" or "Tamberlyx(10.0.0.5)".
    const std::string& label() const { return label_; }
    // "USB", "Net", or empty for the no-printer value.
    const std::string& type() const { return type_; }
    // Dotted IPv4 address of a network printer; empty for USB.
    const std::string& ip() const { return ip_; }
    std::uint16_t PID() const { return PID_; }
    std::uint16_t VID() const { return VID_; }
    const std::optional<std::uint32_t>& usbLocation() const { return usbLocation_; }

    friend bool operator==(const Printer&, const Printer&) = default;

private:
    UUID id_;
    std::string name_;
    std::string label_;
    std::string type_;
    std::string ip_;
    std::uint16_t PID_ = 0;
    std::uint16_t VID_ = kNoPrinterVendorId;
    std::optional<std::uint32_t> usbLocation_;
};

} // namespace tbx

template <>
struct std::hash<tbx::Printer> {
    std::size_t operator()(const tbx::Printer& printer) const noexcept;
};
