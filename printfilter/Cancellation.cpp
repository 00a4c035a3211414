#include "printfilter/Cancellation.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace tbx::cancellation {

namespace {

// Set by the signal handler, read by the reading and the sending thread: a lock-free atomic is
// safe in both places.
std::atomic<int> jobIsCanceled{0};
static_assert(std::atomic<int>::is_always_lock_free);
// The first request's time in nanoseconds of CLOCK_MONOTONIC (the steady clock's own), 0 before
// it; stored before the flag is set, so a thread that sees the flag sees the time.
std::atomic<std::int64_t> canceledAtNs{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::chrono::steady_clock::is_steady);

// The whole text the cancel writes: its INFO line for the language and the trace line, prepared
// outside the handler so the handler only issues one write.
constexpr const char traceLine[] = "[Tamberlyx] Set Cancel Job Flag to True =================\n";
char englishText[128];
char chineseText[128];
char silentText[128];
const char* volatile cancelText = nullptr;

void prepare(char* buffer, std::size_t size, Language language) {
    const std::string line = jobCancellingLine(language) + traceLine;
    std::strncpy(buffer, line.c_str(), size - 1);
    buffer[size - 1] = '\0';
}

const char* textFor(Language language) {
    if (!englishText[0]) {
        prepare(englishText, sizeof englishText, Language::english);
        prepare(chineseText, sizeof chineseText, Language::chinese);
        prepare(silentText, sizeof silentText, Language::none);
    }
    switch (language) {
    case Language::english:
        return englishText;
    case Language::chinese:
        return chineseText;
    case Language::none:
        break;
    }
    return silentText;
}

void onCancelSignal(int) {
    cancelJob();
}

} // namespace

void installHandler() {
    if (!cancelText)
        cancelText = textFor(Language::chinese);
    struct sigaction action {};
    action.sa_handler = onCancelSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a sleep or wait in progress ends early
    sigaction(SIGTERM, &action, nullptr);
    // Left to their default, Ctrl+C and a closed terminal would end the filter on the spot and
    // leave its spool folder behind.
    for (const int signal : {SIGINT, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

void setLanguage(Language language) {
    cancelText = textFor(language);
}

void cancelJob() {
    const int savedErrno = errno;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    std::int64_t unset = 0;
    const std::int64_t ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    canceledAtNs.compare_exchange_strong(unset, ns > 0 ? ns : 1);
    jobIsCanceled = 1;
    const char* text = cancelText;
    if (text) {
        const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
        (void)ignored;
    }
    errno = savedErrno;
}

bool requested() {
    return jobIsCanceled != 0;
}

std::optional<std::chrono::steady_clock::time_point> requestedAt() {
    if (!requested())
        return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(canceledAtNs.load()));
}

void reset() {
    jobIsCanceled = 0;
    canceledAtNs = 0;
}

} // namespace tbx::cancellation
