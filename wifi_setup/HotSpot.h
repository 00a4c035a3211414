// One Wi-Fi network that the printer sees: its position in the model's list,
// its name and the signal level the printer reports (one decimal digit).
// Equal when all three fields are; hashed over the same three, in this order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tbx {

struct HotSpot {
    std::int64_t id = 0;
    std::string name;
    std::int64_t signalDB = 0;

    bool operator==(const HotSpot&) const = default;
};

} // namespace tbx

template <>
struct std::hash<tbx::HotSpot> {
    std::size_t operator()(const tbx::HotSpot& spot) const noexcept {
        std::size_t seed = std::hash<std::int64_t>{}(spot.id);
        const auto mix = [&seed](std::size_t value) {
            seed ^= value + 0x9E3779B97F4A7C15ull + (seed << 6) + (seed >> 2);
        };
        mix(std::hash<std::string>{}(spot.name));
        mix(std::hash<std::int64_t>{}(spot.signalDB));
        return seed;
    }
};
