// Stands in for Foundation's `UUID`: a random (version 4) 128-bit identifier,
// comparable, hashable and printable in the usual upper-case text form.
// Backed by libuuid. Left out: name-based identifiers and parsing from text.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tbx {

class UUID {
public:
    // A fresh random identifier, like `UUID()` of the platform.
    UUID();
    // The all-zero identifier, for records that need a stable empty value.
    static UUID null();

    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    std::string uuidString() const;

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    struct NullTag {};
    explicit UUID(NullTag) : bytes_{} {}
    std::array<std::uint8_t, 16> bytes_;
};

} // namespace tbx

template <>
struct std::hash<tbx::UUID> {
    std::size_t operator()(const tbx::UUID& id) const noexcept {
        std::size_t h = 14695981039346656037ull;
        for (auto b : id.bytes()) {
            h = (h ^ b) * 1099511628211ull;
        }
        return h;
    }
};
