#pragma once

// Asking the printer for its state: a query such as "Status?" goes out on the job stream and the
// printer's answer comes back on the back channel as a decimal status code, which is sorted into a
// small category. Categories 4 and 6 (6 also stands for no answer) turn into a cancel request.

#include "printfilter/JobStream.h"
#include "printfilter/SideChannel.h"

#include <string_view>

namespace tbx {

inline constexpr int kNoReplyCategory = 6;
inline constexpr std::size_t kReplyBytes = 512;

// Sends command and reads the reply: the decimal value of its first token (at most 4 characters;
// 0 when it does not begin with digits), or kNoReplyCategory when the first read and three retries
// bring nothing.
int cmdInteraction(JobStream& stream, BackChannel& back, std::string_view command);

// Category of a printer status code.
int decodeStatusCode(unsigned code);

// "Status?" and its category; records a cancel request for category 4 or 6. Returns the category.
int checkStatus(JobStream& stream, BackChannel& back);

// The status code in a reply of length bytes (not terminated), read as cmdInteraction reads it.
int replyCode(const char* reply, std::size_t length);

} // namespace tbx
