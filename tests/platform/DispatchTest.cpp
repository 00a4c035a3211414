#include "platform/dispatch/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <future>
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
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int maxInside = 0;
    std::atomic<bool> barrierSawOthers{false};
    // Each plain item stays until a second one has run beside it. The limit only ends the wait
    // of a queue that never overlaps its items (and then maxInside stays 1).
    auto plain = [&] {
        std::unique_lock lock(mutex);
        maxInside = std::max(maxInside, ++inside);
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return maxInside > 1; });
        --inside;
    };
    for (int i = 0; i < 4; ++i) {
        queue.async(plain);
    }
    queue.asyncBarrier([&] {
        std::lock_guard lock(mutex);
        if (inside != 0) {
            barrierSawOthers = true;
        }
    });
    for (int i = 0; i < 4; ++i) {
        queue.async(plain);
    }
    queue.syncBarrier([&] {
        std::lock_guard lock(mutex);
        EXPECT_EQ(inside, 0);
    });
    EXPECT_GT(maxInside, 1);
    EXPECT_FALSE(barrierSawOthers);
}

TEST(DispatchQueue, QueueDroppedInsideItsOwnItemIsSafe) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    {
        auto queue = std::make_shared<Queue>(Queue::serial("short-lived"));
        queue->async([queue, done]() mutable {
            queue.reset(); // the last handle goes away on the queue's own thread
            done->set_value();
        });
    }
    // The limit only catches an item that never runs.
    EXPECT_EQ(ran.wait_for(30s), std::future_status::ready);
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
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return order.size() == 5; }, 30s));
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
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return finished.load(); }, 30s));
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
    EXPECT_TRUE(group.wait(30s));
    EXPECT_EQ(count.load(), 3);

    // A member that is still running: the wait runs out; once it ends, the wait answers.
    Group slow;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    slow.async(queue, [released] { released.wait(); });
    EXPECT_FALSE(slow.wait(20ms));
    release.set_value();
    EXPECT_TRUE(slow.wait(30s));

    Group manual;
    manual.enter();
    EXPECT_FALSE(manual.wait(10ms));
    manual.leave();
    EXPECT_TRUE(manual.wait(10ms));
}

TEST(DispatchTimer, RepeatsOnTheMainLoopUntilInvalidated) {
    int fired = 0;
    RepeatingTimer timer(0.02s, [&] { ++fired; });
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return fired >= 3; }, 30s));
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

    // A plain sync behind a running barrier waits for it. The barrier holds on a moment to let a
    // sync that does not wait show itself; a caller later than that finds it done, which still holds.
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
    // The reader holds on a moment to let a barrier that does not wait show itself.
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
    // The limits below leave a loaded machine room and still catch the faults they are there for:
    // a wait that spins or outlasts its time, and posted work or a watched flag that is only seen
    // when the wait's time runs out.
    // The first wait sets up Qt's event loop, which costs a loaded machine up to a tenth of a
    // second of processor time: it is not what is measured.
    tbx::dispatch::runMainFor(10ms);
    for (const auto& w : waits) {
        // Idle: the whole wait costs next to no processor time, and it lasts as long as asked.
        const auto cpuBefore = threadCpuTime();
        const auto wallBefore = std::chrono::steady_clock::now();
        w.wait([] { return false; }, 400ms);
        const auto wall = std::chrono::steady_clock::now() - wallBefore;
        EXPECT_LT(threadCpuTime() - cpuBefore, 40ms) << w.name;
        EXPECT_GE(wall, 400ms) << w.name;
        EXPECT_LT(wall, 5s) << w.name;

        // Work posted from another thread in the middle of the wait runs at once: a chain of
        // posts, each sent once the one before has run, gets past its first link during the wait.
        // A wait that sees posted work only when its time runs out runs one link at most, however
        // long it waits; a loaded machine only needs to run two within it.
        constexpr int kLinks = 3;
        std::atomic<int> links{0};
        std::thread poster([&] {
            for (int i = 0; i < kLinks; ++i) {
                Queue::main().async([&links] {
                    ++links;
                    links.notify_one();
                });
                links.wait(i); // until this link has run
            }
        });
        w.wait([&] { return links.load() >= 2; }, 5s);
        const int linksDuringWait = links.load();
        tbx::dispatch::runMainUntil([&] { return links.load() == kLinks; }, 60s); // lets the poster end
        poster.join();
        EXPECT_GE(linksDuringWait, 2) << w.name;
    }

    // A done() that watches another thread's flag, with no event posted, is seen soon: the flag
    // is set once done() has been asked (so during the wait), and the time counts from then.
    std::atomic<bool> asked{false};
    std::atomic<bool> flag{false};
    std::chrono::steady_clock::time_point setAt;
    std::thread setter([&] {
        asked.wait(false);
        setAt = std::chrono::steady_clock::now();
        flag = true;
    });
    EXPECT_TRUE(tbx::dispatch::runMainUntil(
        [&] {
            asked = true;
            asked.notify_one();
            return flag.load();
        },
        30s));
    const auto seen = std::chrono::steady_clock::now();
    setter.join();
    EXPECT_LT(seen - setAt, 10s); // far short of the wait's 30 s, which a flag seen only then takes
}
