// How tamberlyx-statemonitor-sim reads the lines typed on its console: input
// arrives in pieces of any size and is cut into whole lines, however long.
// Memory stays bounded: of a line longer than the limit only the length is
// kept, and the line is handed on once, whole, as too long to be a command, so
// no piece of it runs as one. Lines shown back to the terminal have their
// control characters escaped, so what was typed cannot move the cursor, clear
// the screen or change the terminal's settings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tbx::sim {

// No command comes near this length.
inline constexpr std::size_t kLongestConsoleLine = 4096;

class ConsoleLines {
public:
    struct Line {
        std::string text;       // without its newline; empty when too long
        std::size_t length = 0; // in bytes, without the newline
        bool tooLong = false;
    };

    explicit ConsoleLines(std::size_t limit = kLongestConsoleLine) : limit_(limit) {}

    // Takes the next bytes read and returns the lines that they end, in order.
    std::vector<Line> feed(std::string_view bytes);
    // The end of input ends a last line that has no newline.
    std::optional<Line> finish();

private:
    Line take();

    std::size_t limit_;
    std::string pending_;
    std::size_t length_ = 0;
};

// `text` with every control character (C0, DEL and C1) and every byte that is
// not part of valid UTF-8 written as an escape: "\x1b", "\x00", "\u009b".
std::string escapedControls(std::string_view text);

} // namespace tbx::sim
