// Stands in for the declarative UI framework's localised text: the string
// table's text for a key as a Qt string, the key itself where the table has
// none. Left out: formatted keys with arguments (see localizedFormat).
#pragma once

#include "platform/foundation/Localization.h"

#include <QString>
#include <string_view>

namespace tbx::widgets {

inline QString localizedText(std::string_view key) {
    return QString::fromStdString(localizedString(key));
}

} // namespace tbx::widgets
