#include "printfilter/PageEncoders.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace tbx {

int encoderThreads() {
    if (const char* forced = std::getenv("TAMBERLYX_ENCODER_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(forced, &end, 10);
        if (end != forced && *end == '\0' && n >= 1 && n <= maxEncoderThreads)
            return static_cast<int>(n);
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(cores), 1, maxEncoderThreads);
}

void PageEncoders::Job::operator()() {
    try {
        promise_.set_value(work_->run());
    } catch (...) {
        promise_.set_exception(std::current_exception());
    }
    work_.reset(); // what the work holds goes as soon as it is done
}

PageEncoders::PageEncoders(int threads) : threads_(std::clamp(threads, 1, maxEncoderThreads)) {
    if (threads_ == 1)
        return;
    // The workers start with every signal blocked (a thread inherits its creator's mask), so the
    // scheduler's SIGTERM always reaches the page loop's thread, as it does without workers.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    for (int i = 0; i < threads_; ++i)
        workers_.emplace_back([this] { work(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

PageEncoders::~PageEncoders() {
    drain();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

std::future<int> PageEncoders::submit(Job job) {
    std::future<int> result = job.result();
    if (workers_.empty()) {
        job();
        return result;
    }
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return result;
}

void PageEncoders::drain() {
    std::deque<Job> dropped;
    std::unique_lock lock(mutex_);
    dropped.swap(queue_);
    lock.unlock();
    dropped.clear(); // outside the lock: releasing a job closes its file
    lock.lock();
    idle_.wait(lock, [this] { return running_ == 0; });
}

void PageEncoders::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping, nothing left
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        job();
        lock.lock();
        --running_;
        if (running_ == 0)
            idle_.notify_all();
    }
}

} // namespace tbx
