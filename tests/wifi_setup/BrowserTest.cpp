// The service browser against a private Avahi daemon inside the network
// sandbox, and without any daemon.
#include "wifi_setup/Browser.h"

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Print.h"
#include "tests/support/Sandbox.h"
#include "tests/wifi_setup/AvahiDaemon.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

using namespace tbx;
using namespace tbx::test;

namespace {

const std::string kResult = "browser.browseResultsChangedHandler result: ";
const std::string kOne = kResult + "Tamberlyx One._superapp._tcp.local.@lo";
const std::string kTwo = kResult + "Tamberlyx Two._superapp._tcp.local.@lo";

bool holds(const TraceCapture& capture, const std::string& line) {
    const auto lines = capture.lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool mentions(const TraceCapture& capture, const std::string& part) {
    return capture.text().find(part) != std::string::npos;
}

// While it lives, work posted to the main queue stays there: each post asks Qt's loop, by a
// queued call to the application, to run the queue, and this filter takes those calls out.
class MainQueueHold : public QObject {
public:
    MainQueueHold() { QCoreApplication::instance()->installEventFilter(this); }
    ~MainQueueHold() override { QCoreApplication::instance()->removeEventFilter(this); }

    // Runs Qt's loop until something has been posted to the main queue (false after 20 s).
    bool waitForAPost() {
        QTimer backstop;
        backstop.setSingleShot(true);
        backstop.start(20000);
        while (!posted_ && backstop.isActive()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return posted_;
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (target == QCoreApplication::instance() && event->type() == QEvent::MetaCall) {
            posted_ = true;
            return true;
        }
        return false;
    }

private:
    bool posted_ = false;
};

bool runUntil(const std::function<bool()>& done, double seconds = 20) {
    return dispatch::runMainUntil(done, dispatch::Seconds(seconds));
}

TEST(BrowserTest, ResultLinesNameServiceEndpointsOnly) {
    using nw::Endpoint;
    const std::set<nw::BrowseResult> results = {
        {{Endpoint::Kind::service, "A", "_superapp._tcp", "local", "lo"}},
        {{Endpoint::Kind::hostPort, "10.0.0.1:9101", "", "", ""}},
        {{Endpoint::Kind::service, "B b", "_superapp._tcp", "local", ""}},
        {{Endpoint::Kind::url, "http://x/", "", "", ""}},
    };
    EXPECT_EQ(Browser::resultLines(results),
              (std::vector<std::string>{kResult + "A._superapp._tcp.local.@lo",
                                        kResult + "B b._superapp._tcp.local."}));
    EXPECT_EQ(Browser().nwBrowser().descriptor().type, "_superapp._tcp");
    EXPECT_TRUE(Browser().nwBrowser().parameters().includePeerToPeer);
}

TEST(BrowserTest, WithoutADaemonItWaitsOrFailsAndDoesNotCrash) {
    TBX_REQUIRE_NETWORK_SANDBOX();
    AvahiDaemon unused; // only for its folder
    pointAtMissingBus(unused.folder());
    TraceCapture capture;
    {
        Browser browser;
        browser.start();
        EXPECT_TRUE(runUntil([&] {
            return mentions(capture, "browser.stateUpdateHandler waiting(") ||
                   mentions(capture, "browser.stateUpdateHandler failed(");
        })) << capture.text();
    }
    dispatch::runMainFor(dispatch::Seconds(0.1)); // a moment for a result to show, which it must not
    EXPECT_FALSE(mentions(capture, kResult));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(BrowserTest, ListsOnlyItsServiceTypeAndFollowsChanges) {
    TBX_REQUIRE_NETWORK_SANDBOX();
    AvahiDaemon avahi;
    ASSERT_TRUE(avahi.start()) << avahi.error() << avahi.log();
    TraceCapture capture;
    auto browser = std::make_unique<Browser>();
    browser->start();
    ASSERT_TRUE(runUntil([&] { return holds(capture, "browser.stateUpdateHandler ready"); }))
        << capture.text() << avahi.log();

    const pid_t one = avahi.publish("Tamberlyx One", "_superapp._tcp", 9101);
    ASSERT_NE(avahi.publish("Other Printer", "_ipp._tcp", 631), 0);
    ASSERT_TRUE(runUntil([&] { return holds(capture, kOne); })) << capture.text() << avahi.log();
    dispatch::runMainFor(dispatch::Seconds(1.5)); // time for the other type to show, if it did
    EXPECT_FALSE(mentions(capture, "Other Printer")) << capture.text();

    // A second service: the whole set is printed again.
    capture.clear();
    avahi.publish("Tamberlyx Two", "_superapp._tcp", 9101);
    ASSERT_TRUE(runUntil([&] { return holds(capture, kTwo); })) << capture.text();
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{kOne, kTwo}));

    // A removal: what is left is printed.
    capture.clear();
    avahi.withdraw(one);
    ASSERT_TRUE(runUntil([&] { return holds(capture, kTwo); })) << capture.text();
    EXPECT_EQ(capture.lines(), std::vector<std::string>{kTwo});

    // Destroyed while browsing, with results already posted to the main queue:
    // none of them runs afterwards.
    {
        MainQueueHold hold;
        avahi.publish("Tamberlyx Three", "_superapp._tcp", 9101);
        ASSERT_TRUE(hold.waitForAPost()) << avahi.log(); // the browser's news of it
        capture.clear();
        browser.reset();
        avahi.stop();
    }
    dispatch::runMainFor(dispatch::Seconds(0.3)); // what was posted runs now, or never
    EXPECT_EQ(capture.text(), "");
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
