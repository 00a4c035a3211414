#pragma once

// Pages JBIG-encoded on worker threads while the page loop reads the next page. The pages of a job
// are independent images, so encoding several at once changes none of their bytes; the loop takes
// the results in page order. With one thread there is no worker: each encoding runs in the
// caller's thread as it is handed over.

#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tbx {

inline constexpr int maxEncoderThreads = 4;

// The number of encoder threads: TAMBERLYX_ENCODER_THREADS when it holds a number from 1 to
// maxEncoderThreads (1: everything in the page loop's own thread, for debugging), else the
// machine's cores, at most maxEncoderThreads.
int encoderThreads();

class PageEncoders {
public:
    // A piece of work with its result (0 for success, else an errno value). A job dropped without
    // running releases what its work holds at once, and its future reports a broken promise.
    class Job {
    public:
        template <typename F>
        explicit Job(F work) : work_(std::make_unique<Work<F>>(std::move(work))) {}
        std::future<int> result() { return promise_.get_future(); }
        void operator()();

    private:
        struct AnyWork {
            virtual ~AnyWork() = default;
            virtual int run() = 0;
        };
        template <typename F>
        struct Work : AnyWork {
            explicit Work(F w) : f(std::move(w)) {}
            int run() override { return f(); }
            F f;
        };
        std::unique_ptr<AnyWork> work_;
        std::promise<int> promise_;
    };

    explicit PageEncoders(int threads);
    // Drops the jobs not yet begun and waits for those running.
    ~PageEncoders();
    PageEncoders(const PageEncoders&) = delete;
    PageEncoders& operator=(const PageEncoders&) = delete;

    int threads() const { return threads_; }

    // Hands the job to a worker (or runs it now, with one thread); its result comes through the
    // future.
    std::future<int> submit(Job job);

    // Drops the jobs not yet begun (their futures report a broken promise, and whatever the jobs
    // hold is released) and waits until no job runs.
    void drain();

private:
    void work();

    int threads_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<Job> queue_;
    int running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace tbx
