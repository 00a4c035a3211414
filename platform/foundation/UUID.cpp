#include "platform/foundation/UUID.h"

#include <uuid/uuid.h>

namespace tbx {

UUID::UUID() {
    uuid_t raw;
    uuid_generate_random(raw);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        bytes_[i] = raw[i];
    }
}

UUID UUID::null() {
    return UUID(NullTag{});
}

std::string UUID::uuidString() const {
    uuid_t raw;
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        raw[i] = bytes_[i];
    }
    char text[37];
    uuid_unparse_upper(raw, text);
    return text;
}

} // namespace tbx
