#include "printfilter/StatusQuery.h"

#include "printfilter/Cancellation.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <cstring>
#include <deque>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tbx {
namespace {

class NoSideChannel : public SideChannel {
public:
    bool present() override { return false; }
    cups_sc_status_t request(cups_sc_command_t, double) override { return CUPS_SC_STATUS_NOT_IMPLEMENTED; }
    void markAbsent(const char*) override {}
    bool answered() const override { return false; }
};

// Hands out one scripted reply per read; an empty reply is a read that brought nothing.
class ScriptedBackChannel : public BackChannel {
public:
    explicit ScriptedBackChannel(std::deque<std::string> replies) : replies_(std::move(replies)) {}
    ssize_t read(char* buffer, std::size_t size, double timeout) override {
        EXPECT_DOUBLE_EQ(timeout, 1.0);
        ++reads;
        if (replies_.empty())
            return -1;
        std::string reply = replies_.front();
        replies_.pop_front();
        if (reply.empty())
            return 0;
        const std::size_t n = std::min(size, reply.size());
        std::memcpy(buffer, reply.data(), n);
        return static_cast<ssize_t>(n);
    }
    int reads = 0;

private:
    std::deque<std::string> replies_;
};

struct Stream {
    test::TempFolder dir;
    int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    NoSideChannel side;
    JobStream stream{fd, side};
    ~Stream() { ::close(fd); }
};

TEST(StatusCategories, ByCodeRanges) {
    const std::pair<unsigned, int> table[] = {
        {0, 0},    {1, 0},    {2, 2},    {3, 3},    {4, 4},    {5, 0},    {6, 6},    {7, 0},
        {2000, 0}, {2001, 9}, {2002, 9}, {2003, 5}, {2016, 5}, {2017, 0}, {2999, 0}, {3000, 5},
        {3029, 5}, {3030, 0}, {3031, 5}, {3037, 5}, {3038, 7}, {3039, 5}, {3062, 5}, {3063, 0},
        {3064, 5}, {5012, 5}, {5013, 0}, {6001, 0}, {6002, 5}, {6003, 0}, {9999, 0}, {4294967295u, 0}};
    for (const auto& [code, category] : table)
        EXPECT_EQ(decodeStatusCode(code), category) << code;
}

TEST(StatusReply, FirstTokenOfAtMostFourDigitsWithinTheBytesRead) {
    EXPECT_EQ(replyCode("3038 paper jam", 14), 3038);
    EXPECT_EQ(replyCode("  2001\n", 7), 2001);
    EXPECT_EQ(replyCode("12345", 5), 1234);
    EXPECT_EQ(replyCode("ab12", 4), 0);
    EXPECT_EQ(replyCode("3038", 2), 30) << "never reads past the count";
    std::string full(kReplyBytes, '7'); // a full reply with no terminator
    EXPECT_EQ(replyCode(full.data(), full.size()), 7777);
}

TEST(StatusQuery, SendsTheQueryAndReadsTheReply) {
    Stream s;
    ScriptedBackChannel back({"3038 cover open"});
    EXPECT_EQ(cmdInteraction(s.stream, back, "Status?"), 3038);
    EXPECT_EQ(test::readWholeFile(s.dir.file("out")), "Status?");
    EXPECT_EQ(back.reads, 1);
}

TEST(StatusQuery, RetriesUntilAReplyComes) {
    Stream s;
    ScriptedBackChannel back({"", "2001"});
    EXPECT_EQ(cmdInteraction(s.stream, back, "Status?"), 2001);
    EXPECT_EQ(back.reads, 2);
}

TEST(StatusQuery, NoReplyIsCategorySixAndCancels) {
    cancellation::reset();
    cancellation::setLanguage(Language::none);
    Stream s;
    ScriptedBackChannel back({});
    EXPECT_EQ(checkStatus(s.stream, back), kNoReplyCategory);
    EXPECT_EQ(back.reads, 4) << "one read and three retries";
    EXPECT_TRUE(cancellation::requested());
    cancellation::reset();
}

TEST(StatusQuery, CategoriesThatCancel) {
    const std::pair<const char*, bool> replies[] = {
        {"4", true}, {"3030", false}, {"3038", false}, {"abc", false}};
    for (const auto& [reply, cancels] : replies) {
        cancellation::reset();
        cancellation::setLanguage(Language::none);
        Stream s;
        ScriptedBackChannel back({reply});
        checkStatus(s.stream, back);
        EXPECT_EQ(cancellation::requested(), cancels) << reply;
    }
    cancellation::reset();
}

} // namespace
} // namespace tbx
