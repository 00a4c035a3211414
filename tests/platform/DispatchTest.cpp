#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tbx::dispatch::currentQueueLabel;
using tbx::dispatch::Group;
using tbx::dispatch::Queue;
using tbx::dispatch::RepeatingTimer;

TEST(DispatchQueue, SerialRunsInOrderOneAtATimeWithItsLabel) {
    auto queue = Queue::serial("_observing");
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::string> labels;
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (inside.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            labels.push_back(tbx::dispatch::currentQueueLabel());
            inside.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[size_t(i)], i);
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(labels.front(), "_observing");
    EXPECT_EQ(tbx::dispatch::currentQueueLabel(), "");
}

TEST(DispatchQueue, SyncFromInsideItsOwnQueueRunsInline) {
    auto queue = Queue::serial("self");
    bool ran = false;
    queue.sync([&] { queue.sync([&] { ran = queue.isCurrent(); }); });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(DispatchQueue, ConcurrentOverlapsPlainItemsAndIsolatesBarriers) {
    auto queue = Queue::concurrent("destination queue", 4);
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<bool> barrierSawOthers{false};
    auto plain = [&] {
        const int now = inside.fetch_add(1) + 1;
        int seen = maxInside.load();
        while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(20ms);
        inside.fetch_sub(1);
    };
    for (int i = 0; i < 4; ++i) {
        queue.async(plain);
    }
    queue.asyncBarrier([&] {
        if (inside.load() != 0) {
            barrierSawOthers = true;
        }
    });
    for (int i = 0; i < 4; ++i) {
        queue.async(plain);
    }
    queue.syncBarrier([&] { EXPECT_EQ(inside.load(), 0); });
    EXPECT_GT(maxInside.load(), 1);
    EXPECT_FALSE(barrierSawOthers);
}

TEST(DispatchQueue, QueueDroppedInsideItsOwnItemIsSafe) {
    std::atomic<bool> done{false};
    {
        auto queue = std::make_shared<Queue>(Queue::serial("short-lived"));
        queue->async([queue, &done]() mutable {
            queue.reset(); // the last handle goes away on the queue's own thread
            done = true;
        });
    }
    for (int i = 0; i < 200 && !done; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(done);
}

TEST(DispatchMain, WorkPostedFromOtherThreadsRunsOnTheMainThreadWhenPumped) {
    std::vector<int> order;
    std::atomic<bool> onMain{true};
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i) {
            Queue::main().async([&, i] {
                onMain = onMain && tbx::dispatch::isMainThread();
                order.push_back(i);
            });
        }
    });
    poster.join();
    EXPECT_TRUE(order.empty()); // nothing runs until the main loop is pumped
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return order.size() == 5; }, 2s));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(onMain);
}

TEST(DispatchMain, SyncOnMainFromAWorkerWaitsForTheMainLoop) {
    std::atomic<bool> finished{false};
    int value = 0;
    std::thread worker([&] {
        Queue::main().sync([&] { value = 42; });
        finished = true;
    });
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return finished.load(); }, 2s));
    worker.join();
    EXPECT_EQ(value, 42);
}

TEST(DispatchGroup, WaitAnswersCompletionOrTimeOut) {
    Group group;
    auto queue = Queue::serial("group");
    std::atomic<int> count{0};
    for (int i = 0; i < 3; ++i) {
        group.async(queue, [&] { ++count; });
    }
    EXPECT_TRUE(group.wait(2s));
    EXPECT_EQ(count.load(), 3);

    Group slow;
    slow.async(queue, [] { std::this_thread::sleep_for(200ms); });
    EXPECT_FALSE(slow.wait(20ms));
    EXPECT_TRUE(slow.wait(2s));

    Group manual;
    manual.enter();
    EXPECT_FALSE(manual.wait(10ms));
    manual.leave();
    EXPECT_TRUE(manual.wait(10ms));
}

TEST(DispatchTimer, RepeatsOnTheMainLoopUntilInvalidated) {
    int fired = 0;
    RepeatingTimer timer(0.02s, [&] { ++fired; });
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return fired >= 3; }, 2s));
    timer.invalidate();
    EXPECT_FALSE(timer.isValid());
    const int after = fired;
    tbx::dispatch::runMainFor(0.08s);
    EXPECT_EQ(fired, after);
}

TEST(DispatchQueue, ConcurrentSyncRunsOnTheCallerButStillWaitsForBarriers) {
    auto queue = Queue::concurrent("guard", 4);
    const auto caller = std::this_thread::get_id();
    std::thread::id ranOn;
    std::string label;
    queue.sync([&] {
        ranOn = std::this_thread::get_id();
        label = currentQueueLabel();
    });
    EXPECT_EQ(ranOn, caller);
    EXPECT_EQ(label, "guard");
    EXPECT_EQ(currentQueueLabel(), "");

    // A plain sync behind a running barrier waits for it.
    std::atomic<bool> barrierDone{false};
    std::atomic<bool> barrierStarted{false};
    queue.asyncBarrier([&] {
        barrierStarted = true;
        std::this_thread::sleep_for(50ms);
        barrierDone = true;
    });
    while (!barrierStarted) {
        std::this_thread::yield();
    }
    bool sawDone = false;
    queue.sync([&] { sawDone = barrierDone.load(); });
    EXPECT_TRUE(sawDone);

    // A barrier sync waits for plain items that run inline on other threads.
    std::atomic<int> inside{0};
    std::atomic<bool> release{false};
    std::thread reader([&] {
        queue.sync([&] {
            ++inside;
            while (!release) {
                std::this_thread::yield();
            }
            --inside;
        });
    });
    while (inside.load() == 0) {
        std::this_thread::yield();
    }
    std::thread writer([&] { queue.syncBarrier([&] { EXPECT_EQ(inside.load(), 0); }); });
    std::this_thread::sleep_for(20ms);
    release = true;
    reader.join();
    writer.join();

    // Nested syncs from inside a barrier item run inline.
    bool nested = false;
    queue.syncBarrier([&] { queue.sync([&] { nested = queue.isCurrent(); }); });
    EXPECT_TRUE(nested);
}

// CPU time of the calling thread.
std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST(DispatchMain, WaitingSleepsUntilWorkArrivesOrTimeRunsOut) {
    const struct {
        const char* name;
        std::function<void(std::function<bool()>, tbx::dispatch::Seconds)> wait;
    } waits[] = {
        {"runMainFor", [](auto, auto duration) { tbx::dispatch::runMainFor(duration); }},
        {"runMainUntil", [](auto done, auto timeout) { tbx::dispatch::runMainUntil(done, timeout); }},
    };
    for (const auto& w : waits) {
        // Idle: the whole wait costs next to no processor time, and it lasts as long as asked.
        const auto cpuBefore = threadCpuTime();
        const auto wallBefore = std::chrono::steady_clock::now();
        w.wait([] { return false; }, 400ms);
        const auto wall = std::chrono::steady_clock::now() - wallBefore;
        EXPECT_LT(threadCpuTime() - cpuBefore, 40ms) << w.name;
        EXPECT_GE(wall, 400ms) << w.name;
        EXPECT_LT(wall, 600ms) << w.name;

        // Work posted from another thread in the middle of the wait runs at once.
        std::atomic<bool> ran{false};
        std::chrono::steady_clock::time_point posted, ranAt;
        std::thread poster([&] {
            // A first post lets Qt take the new thread in (slow under ThreadSanitizer);
            // the second one is timed.
            Queue::main().async([] {});
            std::this_thread::sleep_for(100ms);
            posted = std::chrono::steady_clock::now();
            Queue::main().async([&] {
                ranAt = std::chrono::steady_clock::now();
                ran = true;
            });
        });
        w.wait([&] { return ran.load(); }, 400ms);
        poster.join();
        ASSERT_TRUE(ran) << w.name;
        EXPECT_LT(ranAt - posted, 50ms) << w.name;
    }

    // A done() that watches another thread's flag, with no event posted, is seen soon.
    std::atomic<bool> flag{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        flag = true;
    });
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return flag.load(); }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 300ms);
    setter.join();
}
