#include "platform/dispatch/Dispatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tbx::dispatch {

namespace {

// The queue whose work item the current thread runs, with its label.
thread_local const Queue::Impl* tCurrentQueue = nullptr;
thread_local const std::string* tCurrentLabel = nullptr;

struct CurrentQueueScope {
    const Queue::Impl* savedQueue;
    const std::string* savedLabel;
    CurrentQueueScope(const Queue::Impl* queue, const std::string* label)
        : savedQueue(tCurrentQueue), savedLabel(tCurrentLabel) {
        tCurrentQueue = queue;
        tCurrentLabel = label;
    }
    ~CurrentQueueScope() {
        tCurrentQueue = savedQueue;
        tCurrentLabel = savedLabel;
    }
};

std::atomic<std::thread::id> gFallbackMainThread{};
// The thread of the latest application: the main thread, also once it ended.
std::atomic<QThread*> gApplicationThread{nullptr};

// Runs `work` and waits for it, whatever thread serves the queue.
template <class Post>
void postAndWait(Post post, const Work& work) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    post([&] {
        work();
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

} // namespace

class Queue::Impl {
public:
    explicit Impl(std::string label) : label_(std::move(label)) {}
    virtual ~Impl() = default;
    virtual void post(Work work, bool barrier) = 0;
    virtual bool isCurrent() const { return tCurrentQueue == this; }
    // Runs a synchronous item on the calling thread when the queue's rules allow it
    // right now; answers false (nothing ran) when it must be posted instead.
    virtual bool tryRunInline(const Work&, bool) { return false; }
    const std::string& label() const { return label_; }

protected:
    std::string label_;
};

namespace {

// Serial and concurrent queues: a FIFO of items served by up to `width` worker
// threads. A barrier item starts only when nothing else runs, and nothing starts
// while it runs. Workers finish the pending items before the queue goes away; they
// share the queue's state, so a queue whose last handle dies inside one of its
// own items is still safe.
class WorkerQueue final : public Queue::Impl {
public:
    WorkerQueue(std::string label, unsigned width)
        : Impl(label), shared_(std::make_shared<Shared>(std::move(label), std::max(1u, width))) {}

    ~WorkerQueue() override {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stopping = true;
        }
        shared_->changed.notify_all();
        for (auto& worker : workers_) {
            if (worker.get_id() == std::this_thread::get_id()) {
                worker.detach();
            } else {
                worker.join();
            }
        }
    }

    void post(Work work, bool barrier) override {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->items.push_back({std::move(work), barrier || shared_->width == 1});
            if (workers_.size() < shared_->width && shared_->idle == 0) {
                workers_.emplace_back([shared = shared_] { shared->serve(); });
            }
        }
        shared_->changed.notify_all();
    }

    bool isCurrent() const override { return tCurrentQueue == shared_.get(); }

    bool tryRunInline(const Work& work, bool barrier) override {
        return shared_->tryRunInline(work, barrier);
    }

private:
    struct Item {
        Work work;
        bool barrier;
    };

    struct Shared : Queue::Impl {
        Shared(std::string label, unsigned width) : Impl(std::move(label)), width(width) {}
        void post(Work, bool) override {}

        bool canStart() const {
            if (items.empty() || barrierRunning) {
                return false;
            }
            return items.front().barrier ? running == 0 : running < width;
        }

        // Like the platform, a synchronous item of a concurrent queue runs on the
        // caller's thread instead of hopping to a worker: a plain item when no barrier
        // runs and nothing waits ahead of it, a barrier when the queue is idle. That
        // keeps a guarded read down to two lock round trips.
        bool tryRunInline(const Work& work, bool barrier) {
            if (width == 1) {
                return false;
            }
            {
                std::lock_guard lock(mutex);
                if (barrierRunning || !items.empty() || (barrier && running > 0)) {
                    return false;
                }
                ++running;
                barrierRunning = barrier;
            }
            struct Finish {
                Shared* self;
                ~Finish() {
                    std::lock_guard lock(self->mutex);
                    --self->running;
                    self->barrierRunning = false;
                    self->changed.notify_all();
                }
            } finish{this};
            CurrentQueueScope scope(this, &label_);
            work();
            return true;
        }

        void serve() {
            std::unique_lock lock(mutex);
            for (;;) {
                ++idle;
                changed.wait(lock, [this] { return canStart() || (stopping && items.empty()); });
                --idle;
                if (items.empty()) {
                    return;
                }
                Item item = std::move(items.front());
                items.pop_front();
                ++running;
                barrierRunning = item.barrier;
                lock.unlock();
                {
                    CurrentQueueScope scope(this, &label_);
                    item.work();
                    item.work = nullptr; // captured state dies before the next item starts
                }
                lock.lock();
                --running;
                barrierRunning = false;
                changed.notify_all();
            }
        }

        const unsigned width;
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<Item> items;
        unsigned running = 0;
        unsigned idle = 0;
        bool barrierRunning = false;
        bool stopping = false;
    };

    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> workers_;
};

class MainQueue;
MainQueue& mainQueueImpl();

// The main queue keeps its own FIFO. While a QCoreApplication lives, each post
// asks Qt's event loop to drain it; without one, runMainFor() drains it directly.
class MainQueue final : public Queue::Impl {
public:
    MainQueue() : Impl("main") {}

    // Follows every application from its constructor to the start of its
    // destructor (Qt runs the start routine at once for one that exists).
    void followApplications() {
        followed_ = this;
        qAddPreRoutine([] {
            followed_.load()->setApplication(QCoreApplication::instance());
            qAddPostRoutine([] { followed_.load()->setApplication(nullptr); });
        });
    }

    void post(Work work, bool) override {
        {
            // The application's end takes this lock too: it waits for a post under
            // way, and later posts leave the application alone, so a worker that
            // posts while the program ends never reaches one being destroyed.
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(work));
            if (app_ != nullptr) {
                // The queue is reached through its accessor, not a captured pointer:
                // a queue first made on a worker is then seen as made before the
                // drain by the thread checker, which cannot see through Qt's hand-off.
                QMetaObject::invokeMethod(
                    app_, [] { mainQueueImpl().drain(); }, Qt::QueuedConnection);
            }
        }
        changed_.notify_all();
    }

    bool isCurrent() const override { return isMainThread(); }

    // Runs every item queued so far; answers whether any ran.
    bool drain() {
        std::deque<Work> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(items_);
        }
        for (auto& work : batch) {
            CurrentQueueScope scope(this, &label_);
            work();
        }
        return !batch.empty();
    }

    void waitForWork(Seconds timeout) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [this] { return !items_.empty(); });
    }

private:
    void setApplication(QCoreApplication* app) {
        if (app != nullptr) {
            gApplicationThread = app->thread();
        }
        std::lock_guard lock(mutex_);
        app_ = app;
    }

    static inline std::atomic<MainQueue*> followed_{nullptr};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Work> items_;
    QCoreApplication* app_ = nullptr;
};

MainQueue& mainQueueImpl() {
    static MainQueue* const queue = [] {
        auto* made = new MainQueue; // lives for the whole process, like the main thread
        made->followApplications();
        return made;
    }();
    return *queue;
}

std::shared_ptr<Queue::Impl> mainQueueHandle() {
    static std::shared_ptr<Queue::Impl> handle(&mainQueueImpl(), [](Queue::Impl*) {});
    return handle;
}

} // namespace

Queue Queue::serial(std::string label) {
    return Queue(std::make_shared<WorkerQueue>(std::move(label), 1));
}

Queue Queue::concurrent(std::string label, unsigned width) {
    return Queue(std::make_shared<WorkerQueue>(std::move(label), std::max(2u, width)));
}

Queue Queue::main() {
    return Queue(mainQueueHandle());
}

Queue Queue::global() {
    static const Queue queue(
        std::make_shared<WorkerQueue>("global", std::max(4u, std::thread::hardware_concurrency())));
    return queue;
}

void Queue::async(Work work) const {
    impl_->post(std::move(work), false);
}

void Queue::asyncBarrier(Work work) const {
    impl_->post(std::move(work), true);
}

void Queue::sync(const Work& work) const {
    if (impl_->isCurrent()) {
        work();
        return;
    }
    if (impl_->tryRunInline(work, false)) {
        return;
    }
    postAndWait([this](Work item) { impl_->post(std::move(item), false); }, work);
}

void Queue::syncBarrier(const Work& work) const {
    if (impl_->isCurrent()) {
        work();
        return;
    }
    if (impl_->tryRunInline(work, true)) {
        return;
    }
    postAndWait([this](Work item) { impl_->post(std::move(item), true); }, work);
}

const std::string& Queue::label() const {
    return impl_->label();
}

bool Queue::isCurrent() const {
    return impl_->isCurrent();
}

std::string currentQueueLabel() {
    return tCurrentLabel ? *tCurrentLabel : std::string();
}

bool isMainThread() {
    mainQueueImpl(); // follows the applications from the first call on
    if (const QThread* main = gApplicationThread) {
        return QThread::currentThread() == main;
    }
    std::thread::id expected{};
    const auto self = std::this_thread::get_id();
    gFallbackMainThread.compare_exchange_strong(expected, self);
    return gFallbackMainThread.load() == self;
}

namespace {

using Clock = std::chrono::steady_clock;

// Blocks the main thread until an event arrives (a main-queue post, a timer, a
// window event) or `timeout` passes. Qt's processEvents with a time limit does
// not wait at all, so a timer bounds a wait that would otherwise not end.
void waitForEvents(MainQueue& queue, Clock::duration timeout) {
    if (QCoreApplication::instance() == nullptr) {
        queue.waitForWork(timeout);
        return;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(int(std::clamp<long long>(ms, 1, std::numeric_limits<int>::max())));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Runs the main loop until `done()` holds or `timeout` passes. Between events
// the thread sleeps; `recheck`, when set, also wakes it that often, for a
// `done()` that watches something another thread changes without posting.
bool runMain(const std::function<bool()>& done, Seconds timeout, std::optional<Clock::duration> recheck) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    auto& queue = mainQueueImpl();
    for (;;) {
        if (QCoreApplication::instance()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        queue.drain();
        if (done()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        waitForEvents(queue, recheck ? std::min(deadline - now, *recheck) : deadline - now);
    }
}

} // namespace

void runMainFor(Seconds duration) {
    runMain([] { return false; }, duration, std::nullopt);
}

bool runMainUntil(const std::function<bool()>& done, Seconds timeout) {
    return runMain(done, timeout, std::chrono::milliseconds(10));
}

struct Group::State {
    std::mutex mutex;
    std::condition_variable empty;
    long members = 0;
};

Group::Group() : state_(std::make_shared<State>()) {}

void Group::enter() const {
    std::lock_guard lock(state_->mutex);
    ++state_->members;
}

void Group::leave() const {
    std::lock_guard lock(state_->mutex);
    if (state_->members > 0 && --state_->members == 0) {
        state_->empty.notify_all();
    }
}

void Group::async(const Queue& queue, Work work) const {
    enter();
    // The item keeps the group's state alive, so a caller that gave up waiting
    // (time-out) leaves nothing dangling behind it.
    queue.async([state = state_, work = std::move(work)] {
        work();
        std::lock_guard lock(state->mutex);
        if (state->members > 0 && --state->members == 0) {
            state->empty.notify_all();
        }
    });
}

bool Group::wait(Seconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->empty.wait_for(lock, timeout, [this] { return state_->members == 0; });
}

void Group::wait() const {
    std::unique_lock lock(state_->mutex);
    state_->empty.wait(lock, [this] { return state_->members == 0; });
}

struct RepeatingTimer::Impl {
    QTimer timer;
};

RepeatingTimer::RepeatingTimer(Seconds interval, Work action)
    : interval_(interval), impl_(std::make_unique<Impl>()) {
    impl_->timer.setTimerType(Qt::PreciseTimer);
    impl_->timer.setInterval(int(std::chrono::duration_cast<std::chrono::milliseconds>(interval).count()));
    QObject::connect(&impl_->timer, &QTimer::timeout, [action = std::move(action)] {
        CurrentQueueScope scope(&mainQueueImpl(), &mainQueueImpl().label());
        action();
    });
    impl_->timer.start();
}

RepeatingTimer::~RepeatingTimer() = default;

void RepeatingTimer::invalidate() {
    impl_->timer.stop();
}

bool RepeatingTimer::isValid() const {
    return impl_->timer.isActive();
}

} // namespace tbx::dispatch
