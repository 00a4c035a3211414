// The main queue across applications that start and end while workers post:
// this program makes its own, so it has no Qt main.
#include "platform/dispatch/Dispatch.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(DispatchMain, PostsWhileApplicationsStartAndEndAllRunAndNeverReachAnEndedOne) {
    int argc = 1;
    char name[] = "platform_dispatch_app_test";
    char* argv[] = {name, nullptr};
    std::atomic<bool> stop{false};
    std::atomic<long> posted{0};
    std::atomic<bool> workerSeenAsMain{false};
    long ran = 0; // changed on the main thread only
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&] {
            for (; !stop; ++posted) {
                tbx::dispatch::Queue::main().async([&] { ++ran; });
                workerSeenAsMain = workerSeenAsMain || tbx::dispatch::isMainThread();
            }
        });
    }
    for (int round = 0; round < 50; ++round) {
        // Only Qt's own loop runs here, so work that runs shows each new application followed.
        const long before = ran;
        for (QDeadlineTimer limit(30s); ran == before && !limit.hasExpired();) {
            QCoreApplication::processEvents();
        }
        if (ran == before) {
            ADD_FAILURE() << "nothing ran in round " << round;
            break;
        }
        app.reset(); // while the workers post
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    app.reset();
    stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
    tbx::dispatch::runMainFor(0s);
    EXPECT_EQ(ran, posted.load()); // nothing posted is lost, whichever application lived
    EXPECT_FALSE(workerSeenAsMain);
    EXPECT_TRUE(tbx::dispatch::isMainThread());
}
