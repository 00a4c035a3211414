// Stands in for the platform's dispatch queues: labelled serial queues (one worker
// thread each, FIFO), concurrent queues with barrier work items, the global queue,
// the main queue (work runs on the thread of the Qt event loop), groups with a
// time-out and a repeating timer on the main run loop.
// Left out: quality-of-service classes, target queues, suspension and dispatch sources.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tbx::dispatch {

using Work = std::function<void()>;
using Seconds = std::chrono::duration<double>;

class Queue {
public:
    // A new serial queue: work items run one at a time, in the order submitted.
    static Queue serial(std::string label);
    // A new concurrent queue: plain items may overlap; a barrier item waits for
    // every earlier item and runs alone.
    static Queue concurrent(std::string label, unsigned width = 4);
    // The process-wide queue served by the main thread's event loop.
    static Queue main();
    // The process-wide concurrent queue for background work.
    static Queue global();

    void async(Work work) const;
    // Runs `work` on the queue and waits for it. Called from a work item of this
    // very queue it runs inline instead of deadlocking. `sync` on the main queue
    // from the main thread runs inline for the same reason. On a concurrent queue
    // the item runs on the calling thread whenever no barrier runs or waits ahead
    // of it (a barrier: whenever the queue is idle), as the platform does.
    void sync(const Work& work) const;
    void asyncBarrier(Work work) const;
    void syncBarrier(const Work& work) const;

    const std::string& label() const;
    // True while the calling thread runs a work item of this queue (for the main
    // queue: while the calling thread is the main thread).
    bool isCurrent() const;

    bool operator==(const Queue& other) const { return impl_ == other.impl_; }

    class Impl;

private:
    explicit Queue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<Impl> impl_;
};

// Label of the queue whose work item the calling thread runs; "" when none.
std::string currentQueueLabel();

// The main thread is the thread that created the QCoreApplication, or, before
// one exists, the thread that first asked.
bool isMainThread();

// Runs the main thread's event loop for `duration` (posted main-queue work and
// timers fire). Between events the thread sleeps. Must be called on the main thread.
void runMainFor(Seconds duration);
// Runs the main thread's event loop until `done()` answers true or `timeout`
// passes; answers whether `done()` became true. `done()` is asked after every
// event and at least every 10 ms, so it may watch state of other threads.
bool runMainUntil(const std::function<bool()>& done, Seconds timeout);

class Group {
public:
    Group();
    void enter() const;
    void leave() const;
    // Submits `work` to `queue` as a member of the group.
    void async(const Queue& queue, Work work) const;
    // Waits until every member has left; answers false when `timeout` passed first.
    bool wait(Seconds timeout) const;
    void wait() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A repeating timer on the main run loop; it fires on the main thread every
// `interval` until invalidated or destroyed. Create and destroy it on the main thread.
class RepeatingTimer {
public:
    RepeatingTimer(Seconds interval, Work action);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void invalidate();
    bool isValid() const;
    Seconds interval() const { return interval_; }

private:
    struct Impl;
    Seconds interval_;
    std::unique_ptr<Impl> impl_;
};

} // namespace tbx::dispatch
