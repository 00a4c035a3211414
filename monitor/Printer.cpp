#include "monitor/Printer.h"

#include <functional>
#include <utility>

namespace tbx {

Printer::Printer(std::string name, std::string label, std::string type, std::string ip, std::uint16_t PID,
                 std::uint16_t VID, std::optional<std::uint32_t> usbLocation)
    : name_(std::move(name)), label_(std::move(label)), type_(std::move(type)), ip_(std::move(ip)), PID_(PID),
      VID_(VID), usbLocation_(usbLocation) {}

Printer::Printer(std::string name) : name_(std::move(name)) {}

} // namespace tbx

std::size_t std::hash<tbx::Printer>::operator()(const tbx::Printer& printer) const noexcept {
    std::size_t seed = 0;
    auto feed = [&seed](std::size_t value) {
        seed ^= value + 0x9E3779B97F4A7C15ull + (seed << 6) + (seed >> 2);
    };
    feed(std::hash<tbx::UUID>{}(printer.id()));
    feed(std::hash<std::string>{}(printer.name()));
    feed(std::hash<std::string>{}(printer.label()));
    feed(std::hash<std::string>{}(printer.type()));
    feed(std::hash<std::string>{}(printer.ip()));
    feed(printer.PID());
    feed(printer.VID());
    feed(printer.usbLocation() ? std::hash<std::uint32_t>{}(*printer.usbLocation()) : 0x5A5Aull);
    return seed;
}
