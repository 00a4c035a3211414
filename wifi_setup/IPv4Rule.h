// The dotted-decimal IPv4 test that both Wi-Fi forms apply to an address, a
// subnet mask and a gateway before anything is written or sent: four numbers
// from 0 to 255 of one to three digits (leading zeros allowed) joined by ".",
// nothing before or after. Only the form of the text is tested.
#pragma once

#include <string_view>

namespace tbx {

bool isIPv4Text(std::string_view text);

} // namespace tbx
