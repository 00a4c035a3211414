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
    // Where one message key stands for several failures ("error" for a scanner
    // that is not attached and for one that refused the session), a key of our
    // own that says which one it was; the alert shows its text. Empty when the
    // message says it all. Two pairs with the same status and message are the
    // same outcome whatever their details say.
    std::string detail = {};

    friend bool operator==(const ResultPair& a, const ResultPair& b) {
        return a.status == b.status && a.message == b.message;
    }
};

// `pair` with the detail key `detail`.
inline ResultPair withDetail(ResultPair pair, std::string detail) {
    pair.detail = std::move(detail);
    return pair;
}

// "(status: true, message: \"3\")", the form the trace lines show, with
// ", detail: \"...\"" before the closing parenthesis when there is one.
inline std::string describe(const ResultPair& pair) {
    return std::string("(status: ") + (pair.status ? "true" : "false") + ", message: \"" + pair.message +
           "\"" + (pair.detail.empty() ? "" : ", detail: \"" + pair.detail + "\"") + ")";
}

inline std::ostream& operator<<(std::ostream& out, const ResultPair& pair) {
    return out << describe(pair);
}

} // namespace tbx
