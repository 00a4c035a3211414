#pragma once

// A reader of the printer's job stream, for tests: it splits the filter's output back into the
// commands, fields, framed page data and queries it is made of, and groups them into the job
// header and the pages, so a test can check every field and every page's bytes.
//
// Grammar: the stream is a concatenation of items with no separator. "RasterObject.Data#<n>="
// starts a data piece of exactly n raw bytes followed by ";". Any other item is either a field
// "Key=Value;" (the value runs to the next ";" and may hold a line feed, as JobTime does) or a
// query "Name?" (no "=" before the "?").

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tbx::test {

struct StreamItem {
    enum class Kind { field, data, query };
    Kind kind = Kind::field;
    std::string key;   // field key, or the query without its "?"
    std::string value; // field value, or the data piece's bytes
};

struct StreamTokens {
    std::vector<StreamItem> items;
    std::string error; // empty when the whole stream parsed
};

StreamTokens tokenizeJobStream(std::string_view stream);

using Fields = std::vector<std::pair<std::string, std::string>>;

struct DecodedPage {
    Fields header;                   // page header fields in stream order
    std::vector<std::size_t> pieces; // sizes of the data pieces
    std::string data;                // the pieces joined: the page's JBIG file
    bool endOfPage = false;

    // Value of a header field, or nothing.
    std::optional<std::string> field(std::string_view key) const;
    int width() const;  // RasterObject.Width, -1 when missing
    int height() const; // RasterObject.Height
};

struct DecodedJob {
    bool startOfJob = false;
    Fields jobHeader;
    std::vector<DecodedPage> pages;
    bool endOfJob = false;
    bool cancelled = false;           // the stream ended with "CancelJob?"
    std::vector<std::string> queries; // every query in order ("CancelJob", "Status", ...)
    std::string error;                // empty when the stream follows the job grammar

    std::optional<std::string> jobField(std::string_view key) const;
    bool ok() const { return error.empty(); }
};

// Decodes a whole job: "Event=StartOfJob;", the job header fields, then per page its header
// (from the media size field on), its data pieces and "Event=EndOfPage;", then "Event=EndOfJob;"
// or "CancelJob?". Anything out of that order is reported in error.
DecodedJob decodeJobStream(std::string_view stream);

// Reads a whole file (for streams a test recorded); empty when it cannot be read.
std::string readWholeFile(const std::string& path);

} // namespace tbx::test
