// Reading the printer's status answers: the rendered SNMP replies of the status
// and toner objects, and the answer to the USB status control request. Every
// answer that does not have the expected form reads as "no value", never as a
// made-up reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tbx {

// A decimal integer: an optional sign and one or more digits, nothing else;
// none when the text has another form or the value does not fit 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view text);

// The status code of a rendered status reply such as `STRING: "3004,cover"`:
// the decimal text after the first double quote and before the first comma of
// the whole reply. None for "error", the empty text, a reply without a quote or
// a comma, a comma before the quote, or anything between them that is not a
// decimal integer.
std::optional<std::int64_t> statusCodeFromReply(std::string_view reply);

struct TonerReply {
    // The text after ": " when the reply splits into exactly two parts there.
    std::optional<std::string> value;
    // The toner level: `value` as a decimal integer that fits an int, else 0.
    int toner = 0;
};

// The toner of a rendered toner reply such as "INTEGER: 57".
TonerReply tonerFromReply(std::string_view reply);

struct UsbStatusAnswer {
    // Bytes 0-1, little-endian.
    std::int64_t code = 0;
    // Byte 2; none when the answer ended after the code.
    std::optional<int> toner;
};

// The answer of the status control request of which `received` bytes arrived
// (the buffer may be longer); none when fewer than the two code bytes came.
std::optional<UsbStatusAnswer> usbStatusFromAnswer(std::span<const std::uint8_t> answer,
                                                   std::size_t received);

} // namespace tbx
