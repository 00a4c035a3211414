#include "printfilter/Cancellation.h"
#include "printfilter/FilterJob.h"

#include <deque>
#include <gtest/gtest.h>

namespace tbx {
namespace {

// Answers the connection question from a script; after the script, with the last status.
class ScriptedSideChannel : public SideChannel {
public:
    ScriptedSideChannel(std::deque<cups_sc_status_t> script, bool answers)
        : script_(std::move(script)), answers_(answers) {}
    bool present() override { return present_; }
    cups_sc_status_t request(cups_sc_command_t command, double) override {
        EXPECT_EQ(command, CUPS_SC_CMD_GET_CONNECTED);
        ++requests;
        const cups_sc_status_t status = script_.front();
        if (script_.size() > 1)
            script_.pop_front();
        return status;
    }
    void markAbsent(const char*) override { present_ = false; }
    bool answered() const override { return answers_; }
    int requests = 0;

private:
    std::deque<cups_sc_status_t> script_;
    bool answers_;
    bool present_ = true;
};

class ConnectionWait : public ::testing::Test {
protected:
    void SetUp() override {
        cancellation::reset();
        cancellation::setLanguage(Language::none);
    }
    void TearDown() override { cancellation::reset(); }
};

TEST_F(ConnectionWait, EndsAtOkOrNotImplemented) {
    ScriptedSideChannel ok({CUPS_SC_STATUS_OK}, true);
    waitForConnection(ok);
    EXPECT_EQ(ok.requests, 1);
    ScriptedSideChannel later({CUPS_SC_STATUS_NONE, CUPS_SC_STATUS_NOT_IMPLEMENTED}, true);
    waitForConnection(later);
    EXPECT_EQ(later.requests, 2);
    EXPECT_FALSE(cancellation::requested());
}

TEST_F(ConnectionWait, PrinterGoneCancelsAndEndsTheWait) {
    for (auto status : {CUPS_SC_STATUS_NO_RESPONSE, CUPS_SC_STATUS_IO_ERROR}) {
        cancellation::reset();
        ScriptedSideChannel gone({status}, true);
        waitForConnection(gone);
        EXPECT_EQ(gone.requests, 1);
        EXPECT_TRUE(cancellation::requested());
    }
}

TEST_F(ConnectionWait, EndsWhenTheJobIsCancelled) {
    ScriptedSideChannel busy({CUPS_SC_STATUS_NONE}, true);
    cancellation::cancelJob();
    waitForConnection(busy);
    EXPECT_EQ(busy.requests, 0);
}

TEST_F(ConnectionWait, SilenceBeyondThePatienceMeansNoBackend) {
    ScriptedSideChannel silent({CUPS_SC_STATUS_TIMEOUT}, false);
    waitForConnection(silent, 0.0);
    EXPECT_EQ(silent.requests, 1);
    EXPECT_FALSE(silent.present());
    // A backend that has answered before is waited for (here: until it says OK).
    ScriptedSideChannel slow({CUPS_SC_STATUS_TIMEOUT, CUPS_SC_STATUS_OK}, true);
    waitForConnection(slow, 0.0);
    EXPECT_EQ(slow.requests, 2);
    EXPECT_TRUE(slow.present());
}

} // namespace
} // namespace tbx
