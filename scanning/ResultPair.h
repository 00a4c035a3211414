// The answer of every step of a scan: a success flag and a message. On failure
// the message is a localisation key naming the cause; on the success of a whole
// scan it is the number of pages saved, in decimal.
#pragma once

#include <ostream>
#include <string>

namespace tbx {

struct ResultPair {
    bool status = false;
    std::string message;

    friend bool operator==(const ResultPair&, const ResultPair&) = default;
};

// "(status: true, message: \"3\")", the form the trace lines show.
inline std::string describe(const ResultPair& pair) {
    return std::string("(status: ") + (pair.status ? "true" : "false") + ", message: \"" + pair.message +
           "\")";
}

inline std::ostream& operator<<(std::ostream& out, const ResultPair& pair) {
    return out << describe(pair);
}

} // namespace tbx
