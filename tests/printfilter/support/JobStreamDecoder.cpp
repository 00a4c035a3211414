#include "tests/printfilter/support/JobStreamDecoder.h"

#include "platform/posix/PosixIO.h"

#include <charconv>

namespace tbx::test {

namespace {

constexpr std::string_view dataPrefix = "RasterObject.Data#";

// Page header keys: a field with one of these keys after the job header belongs to a page header.
bool isPageHeaderKey(std::string_view key) {
    return key == "MediaSize" || key == "Origin.Top" || key == "Origin.Left" || key == "RasterObject.Width" ||
           key == "RasterObject.Height" || key == "MediaInputTrayCheck";
}

} // namespace

StreamTokens tokenizeJobStream(std::string_view s) {
    StreamTokens out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (s.substr(pos, dataPrefix.size()) == dataPrefix) {
            const std::size_t start = pos + dataPrefix.size();
            const std::size_t eq = s.find('=', start);
            std::size_t length = 0;
            const auto [end, ec] =
                std::from_chars(s.data() + start, s.data() + (eq == s.npos ? s.size() : eq), length);
            if (eq == s.npos || ec != std::errc() || end != s.data() + eq || eq == start) {
                out.error = "bad data prefix at offset " + std::to_string(pos);
                return out;
            }
            if (eq + 1 + length + 1 > s.size() || s[eq + 1 + length] != ';') {
                out.error = "data piece of " + std::to_string(length) + " bytes at offset " +
                            std::to_string(pos) + " is not followed by ';'";
                return out;
            }
            out.items.push_back(
                {StreamItem::Kind::data, "RasterObject.Data", std::string(s.substr(eq + 1, length))});
            pos = eq + 1 + length + 1;
            continue;
        }
        const std::size_t stop = s.find_first_of(";?", pos);
        if (stop == s.npos) {
            out.error =
                "unterminated item at offset " + std::to_string(pos) + ": " + std::string(s.substr(pos, 40));
            return out;
        }
        const std::string_view head = s.substr(pos, stop - pos);
        const std::size_t eq = head.find('=');
        if (s[stop] == '?' && eq == head.npos) {
            out.items.push_back({StreamItem::Kind::query, std::string(head), {}});
            pos = stop + 1;
            continue;
        }
        const std::size_t semi = s.find(';', pos);
        if (semi == s.npos || eq == head.npos) {
            out.error = "item without '=' or ';' at offset " + std::to_string(pos);
            return out;
        }
        const std::string_view item = s.substr(pos, semi - pos);
        out.items.push_back(
            {StreamItem::Kind::field, std::string(item.substr(0, eq)), std::string(item.substr(eq + 1))});
        pos = semi + 1;
    }
    return out;
}

std::optional<std::string> DecodedPage::field(std::string_view key) const {
    for (const auto& [k, v] : header)
        if (k == key)
            return v;
    return std::nullopt;
}

namespace {
int number(const std::optional<std::string>& text) {
    if (!text)
        return -1;
    int value = -1;
    std::from_chars(text->data(), text->data() + text->size(), value);
    return value;
}
} // namespace

int DecodedPage::width() const {
    return number(field("RasterObject.Width"));
}
int DecodedPage::height() const {
    return number(field("RasterObject.Height"));
}

std::optional<std::string> DecodedJob::jobField(std::string_view key) const {
    for (const auto& [k, v] : jobHeader)
        if (k == key)
            return v;
    return std::nullopt;
}

DecodedJob decodeJobStream(std::string_view stream) {
    DecodedJob job;
    StreamTokens tokens = tokenizeJobStream(stream);
    const auto fail = [&](std::string why) {
        if (job.error.empty())
            job.error = std::move(why);
    };
    enum class At { start, jobHeader, pageHeader, pageData, betweenPages, end } at = At::start;
    for (std::size_t i = 0; i < tokens.items.size(); ++i) {
        const StreamItem& item = tokens.items[i];
        const std::string where = " (item " + std::to_string(i) + ")";
        if (at == At::end) {
            fail("item after the end of the job" + where);
            break;
        }
        if (item.kind == StreamItem::Kind::query) {
            job.queries.push_back(item.key);
            if (item.key == "CancelJob") {
                job.cancelled = true;
                if (at == At::pageHeader || at == At::pageData)
                    fail("CancelJob? inside a page" + where);
                at = At::end;
            }
            continue;
        }
        if (item.kind == StreamItem::Kind::data) {
            if (at != At::pageHeader && at != At::pageData) {
                fail("page data outside a page" + where);
                continue;
            }
            job.pages.back().pieces.push_back(item.value.size());
            job.pages.back().data += item.value;
            at = At::pageData;
            continue;
        }
        if (item.key == "Event") {
            if (item.value == "StartOfJob") {
                if (at != At::start)
                    fail("StartOfJob not at the start" + where);
                job.startOfJob = true;
                at = At::jobHeader;
            } else if (item.value == "EndOfPage") {
                if (at != At::pageHeader && at != At::pageData)
                    fail("EndOfPage outside a page" + where);
                else
                    job.pages.back().endOfPage = true;
                at = At::betweenPages;
            } else if (item.value == "EndOfJob") {
                if (at == At::pageHeader || at == At::pageData)
                    fail("EndOfJob inside a page" + where);
                if (at == At::start)
                    fail("EndOfJob without StartOfJob" + where);
                job.endOfJob = true;
                at = At::end;
            } else {
                fail("unknown event " + item.value + where);
            }
            continue;
        }
        if (at == At::start) {
            fail("field before StartOfJob" + where);
            continue;
        }
        if (isPageHeaderKey(item.key)) {
            if (item.key == "MediaSize" || at == At::jobHeader || at == At::betweenPages) {
                if (at == At::pageHeader || at == At::pageData)
                    fail("page header inside a page" + where);
                job.pages.emplace_back();
                at = At::pageHeader;
            }
            if (at != At::pageHeader)
                fail("page header field after page data" + where);
            job.pages.back().header.emplace_back(item.key, item.value);
            continue;
        }
        if (at == At::jobHeader) {
            job.jobHeader.emplace_back(item.key, item.value);
            continue;
        }
        fail("unexpected field " + item.key + where);
    }
    if (!tokens.error.empty())
        fail(tokens.error);
    if (!job.endOfJob && !job.cancelled)
        fail("the stream ends without EndOfJob or CancelJob?");
    return job;
}

std::string readWholeFile(const std::string& path) {
    return posix::readFile(path).bytes;
}

} // namespace tbx::test
