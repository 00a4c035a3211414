#include "scanning/Device.h"

#include <utility>

namespace tbx {

Device::Device(std::string name, std::string label, std::string type, std::string ip, std::uint16_t PID,
               std::uint16_t VID)
    : name(std::move(name)), label(std::move(label)), type(std::move(type)), ip(std::move(ip)), PID(PID),
      VID(VID) {}

Device::Device(std::string name) : Device(std::move(name), "", "", "", 0, 0x0EFD) {}

Device Device::placeholder() {
    return Device("", "", "", "", 0, 0);
}

} // namespace tbx

namespace {
void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}
} // namespace

std::size_t std::hash<tbx::Device>::operator()(const tbx::Device& d) const noexcept {
    std::size_t seed = std::hash<tbx::UUID>{}(d.id);
    hashCombine(seed, std::hash<std::string>{}(d.name));
    hashCombine(seed, std::hash<std::string>{}(d.label));
    hashCombine(seed, std::hash<std::string>{}(d.type));
    hashCombine(seed, std::hash<std::string>{}(d.ip));
    hashCombine(seed, d.PID);
    hashCombine(seed, d.VID);
    return seed;
}
