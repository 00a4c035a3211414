// The text side of the printer's Wi-Fi command channel: building the two write
// commands, their escaping, the masked form for trace lines, cutting reply codes
// and reading the data replies. Pure functions over UTF-8 text; no I/O.
//
// Requests end in "?" or ";". Fields inside a request and lines inside a reply
// are joined by CR LF. Inside the write commands a "?" or ";" that belongs to a
// field travels as 0x01 or 0x02, so only the final ";" ends the command.
#pragma once

#include "wifi_setup/APSetting.h"
#include "wifi_setup/ClietModeSetting.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tbx::wifi {

inline constexpr std::string_view kLineBreak = "\r\n";
inline constexpr std::string_view kHotSpotListRequest = "Checkwifiserver?";
inline constexpr std::string_view kAPInfoRequest = "CheckwifiAP?";
inline constexpr std::string_view kClientModeRequest = "CheckwifiSTA?";
inline constexpr std::string_view kSetAPPrefix = "SetwifiAP=";
inline constexpr std::string_view kSetClientModePrefix = "SetwifiSTA=";

// The pieces of `text` between the occurrences of `separator` (which must not be
// empty): "a,b," gives "a", "b", ""; a text without it is its own one piece.
std::vector<std::string> components(std::string_view text, std::string_view separator);

// "SetwifiAP=" name, encryption code, password, "S", ip, mask, gateway ";".
std::string apCommand(const APSetting& setting, std::string_view encryptCode);
// "SetwifiSTA=" network name, password, address type, ip, mask, gateway ";".
std::string clientModeCommand(std::string_view networkName, const ClietModeSetting& setting);

// Every "?" becomes 0x01 and every ";" 0x02, except the command's last byte.
std::string escapeCommand(std::string_view command);

// True when `field` holds a C0 control byte (0x00-0x1F) or DEL: such a field
// could end a line or the command inside the printer and is never sent.
bool holdsControlByte(std::string_view field);

// The command with the password field of a write replaced by "******" (escaped
// or not); other commands unchanged. Trace lines print only this form.
std::string maskedCommand(std::string_view command);

// The text before the reply's first ",", the whole reply when it has none.
std::string replyCode(std::string_view reply);

// The bytes as text without the NUL bytes that pad them at the end; none when
// they are not valid UTF-8.
std::optional<std::string> replyText(std::span<const std::uint8_t> bytes);

// The platform's rendering of an optional text: Optional("...") with the text
// escaped as a string literal, or nil.
std::string optionalDescription(const std::optional<std::string>& text);

// Unicode text equality: canonically equivalent texts are equal.
bool sameUnicodeText(std::string_view a, std::string_view b);

// One network of a list reply.
struct ListedNetwork {
    std::string name;
    std::int64_t signal = 0;
};

// The networks of the list piece of a "8012" reply, one per CR LF line: the
// line without its last two characters (user-perceived characters), and its
// last character as the signal digit. Lines shorter than three characters and
// lines whose last character is not a decimal digit are left out.
std::vector<ListedNetwork> listedNetworks(std::string_view listPiece);

// The six settings lines of a "8014" or "8013" reply: the name after the first
// ";" of line 1 (up to the next ";"), then lines 2 to 6 as they stand. None with
// fewer than six lines or without ";" in line 1.
struct SettingsReply {
    std::string name;
    std::vector<std::string> lines; // lines 2 to 6
};
std::optional<SettingsReply> settingsReply(std::string_view reply);

} // namespace tbx::wifi
