#include "printfilter/StatusQuery.h"

#include "printfilter/Cancellation.h"

#include <cctype>
#include <cstdio>
#include <string>

namespace tbx {

int replyCode(const char* reply, std::size_t length) {
    // The first whitespace-delimited token, at most 4 characters, never reading past length.
    std::size_t i = 0;
    while (i < length && std::isspace(static_cast<unsigned char>(reply[i])))
        ++i;
    int code = 0;
    for (std::size_t k = 0; k < 4 && i < length && std::isdigit(static_cast<unsigned char>(reply[i]));
         ++k, ++i)
        code = code * 10 + (reply[i] - '0');
    return code;
}

int cmdInteraction(JobStream& stream, BackChannel& back, std::string_view command) {
    const cups_sc_status_t sent = stream.sendCmd(command);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]send command:%s ,and send status = %d\n",
                 printableForLog(command).c_str(), static_cast<int>(sent));
    char reply[kReplyBytes];
    ssize_t count = back.read(reply, sizeof reply, 1.0);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]bytes_status= %zd\n", count);
    int retries = 0;
    while (count < 1 && retries < 3) {
        count = back.read(reply, sizeof reply, 1.0);
        std::fprintf(stderr, "DEBUG:[Tamberlyx]bytes_status= %zd\n", count);
        ++retries;
    }
    if (count < 1)
        return kNoReplyCategory;
    const std::size_t length = std::min(static_cast<std::size_t>(count), sizeof reply);
    const int code = replyCode(reply, length);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]send cmd=%s ,original response =%s,responseCode=%d\n",
                 printableForLog(command).c_str(), printableForLog(std::string_view(reply, length)).c_str(),
                 code);
    return code;
}

int decodeStatusCode(unsigned code) {
    switch (code) {
    case 2:
    case 3:
    case 4:
    case 6:
        return static_cast<int>(code);
    case 2001:
    case 2002:
        return 9;
    case 3030:
    case 3063:
        return 0;
    case 3038:
        return 7;
    case 6002:
        return 5;
    default:
        break;
    }
    if ((code >= 2003 && code <= 2016) || (code >= 3000 && code <= 5012))
        return 5;
    return 0;
}

int checkStatus(JobStream& stream, BackChannel& back) {
    const int code = cmdInteraction(stream, back, "Status?");
    const int category = decodeStatusCode(static_cast<unsigned>(code));
    std::fprintf(stderr, "DEBUG:[Tamberlyx] printer status code %d, category %d\n", code, category);
    if (category == 4 || category == kNoReplyCategory)
        cancellation::cancelJob();
    return category;
}

} // namespace tbx
