// The printer's own access point as the status monitor reads and writes it.
// `encryptMode` is the form's choice (0 none, 1 encrypted) after a read and the
// printer's code (0 or 6) once the form has written it back.
#pragma once

#include <cstdint>
#include <string>

namespace tbx {

struct APSetting {
    std::string APName;
    std::int64_t encryptMode = 0;
    std::string APPassword;
    std::string ip;
    std::string mask;
    std::string gateway;

    bool operator==(const APSetting&) const = default;
};

} // namespace tbx
