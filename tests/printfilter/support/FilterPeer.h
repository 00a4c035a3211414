#pragma once

// Runs printfilter-tamberlyx (or any CUPS filter) as a child process the way the scheduler and a
// backend would: arguments and environment of the test's choosing, the raster on standard input,
// standard output and standard error recorded, and the two backend channels as descriptors 3
// (back channel, printer to filter) and 4 (side channel) held by this peer, which answers the
// filter's side-channel requests by a policy (an answer, a late answer, or none) and can answer
// queries the filter writes to its output (such as "Status?") on the back channel. A fake
// scheduler endpoint on a private socket records the filter's IPP requests (Cancel-Job).

#include <chrono>
#include <csignal>
#include <cups/sidechannel.h>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tbx::test {

// What the peer answers to one side-channel request.
struct SideAnswer {
    bool silent = false; // no answer at all: the filter's request times out
    cups_sc_status_t status = CUPS_SC_STATUS_OK;
    std::chrono::milliseconds delay{0};
    // The answer comes once the printer has read all the filter wrote, as CUPS's backends drain.
    bool onceOutputRead = false;
};

enum class SideMode {
    closed,  // descriptor 4 is not open at all (the filter started by hand)
    silent,  // a socket nobody answers on (a queue without a backend)
    answered // this peer answers by the policy
};

// One step of feeding standard input through a pipe: once the job stream holds waitFor at least
// waitCount times (no wait when waitCount is 0) and the job log holds afterLog (no wait when
// empty), at most kFeedWait, and at least after has passed since the step before it was written,
// SIGTERM when terminate is set, then the bytes.
struct FeedStep {
    std::string bytes;
    std::string waitFor;
    std::size_t waitCount = 0;
    bool terminate = false;
    std::chrono::milliseconds after{0};
    std::string afterLog{};
};

struct FilterRun {
    int exitStatus = -1; // exit status, -1 when ended by a signal or killed after the time-out
    int termSignal = 0;
    bool timedOut = false;
    double terminatedAt = -1;    // seconds from the start to the SIGTERM, -1 when none was sent
    std::size_t waitsMissed = 0; // feed steps whose wait ran out before the stream held the text
    std::string out;             // the job stream (as far as the printer took it)
    std::string err;             // the job log
    std::vector<cups_sc_command_t> sideRequests; // every side-channel request in order
    std::vector<std::string> ippRequests;        // raw HTTP/IPP requests to the fake scheduler
    double seconds = 0;

    // True when the log holds the line (without its line feed).
    bool logHas(std::string_view line) const;
};

class FilterPeer {
public:
    explicit FilterPeer(std::string program);

    // argv[0] is the queue name; the filter gets exactly these arguments.
    void setArguments(std::vector<std::string> args) { args_ = std::move(args); }
    // Extra environment entries "KEY=VALUE"; PATH, TMPDIR and CUPS_SERVER (the fake scheduler)
    // are always set, and so are the sanitizers' options when the test has them.
    void addEnvironment(std::string entry) { env_.push_back(std::move(entry)); }
    void setInput(std::string bytes) { input_ = std::move(bytes); }
    // Standard input is a pipe fed step by step instead of a file; it is closed after the last
    // step, unless keepOpen (then the filter waits for more raster until it ends).
    static constexpr std::chrono::seconds kFeedWait{10};
    void feedInSteps(std::vector<FeedStep> steps, bool keepOpen = false) {
        feed_ = std::move(steps);
        feeding_ = true;
        keepInputOpen_ = keepOpen;
    }
    // Standard output is a pipe of 16384 bytes that is never read: a printer that takes nothing.
    // The job stream stays empty.
    void leaveOutputUnread() { outputUnread_ = true; }
    // Standard output is a pipe of 16384 bytes read at no more than this rate: a slow printer.
    void readOutputAt(std::size_t bytesPerSecond) { outputRate_ = bytesPerSecond; }
    // The printer stops reading when the SIGTERM is sent, and its pipe is full from then on: the
    // peer reads what the pipe holds, then fills it with bytes of its own (which the job stream
    // never shows), so the filter's next write to the printer waits. Only for runs with a SIGTERM
    // (until then the peer holds a write end of the pipe, and would not see it end).
    void fillOutputWhenTerminating() { fillOutput_ = true; }
    void setSideMode(SideMode mode) { sideMode_ = mode; }
    // Answer for the n-th request (0-based) of the given command; default: status OK at once.
    void setSidePolicy(std::function<SideAnswer(cups_sc_command_t, int n)> policy) {
        policy_ = std::move(policy);
    }
    // Called for each query ("Status?") the filter writes; the result (if any) is written to the
    // back channel after delay.
    void setQueryReply(std::function<std::optional<std::string>(std::string_view query)> reply) {
        queryReply_ = std::move(reply);
    }
    // Sends SIGTERM to the filter as soon as its log contains text, before the peer answers
    // anything the filter asked after writing that text.
    void terminateWhenLogShows(std::string text) { terminateAt_ = std::move(text); }
    // The signals sent, in this order, wherever SIGTERM is said above (SIGINT: Ctrl+C, SIGHUP: a
    // closed terminal).
    void terminateWith(std::vector<int> signals) { terminateSignals_ = std::move(signals); }
    // The filter starts with these signals ignored, as nohup or a shell's background job starts it:
    // set in the child between fork and exec.
    void startIgnoring(std::vector<int> signals) { ignoredAtStart_ = std::move(signals); }
    // The printer goes away after this many bytes of the job stream: the peer closes its end of
    // the filter's standard output (later writes fail with a broken pipe).
    void closeOutputAfter(std::size_t bytes) { outputLimit_ = bytes; }
    // The filter's temporary folder is a file system of its own of this many bytes (a tmpfs in a
    // mount namespace of the filter's own), so that it fills up. Needs the right to mount: when
    // the child cannot, the run ends with exit status kCannotLimitSpool.
    static constexpr int kCannotLimitSpool = 125;
    void limitSpool(std::size_t bytes) { spoolLimit_ = bytes; }

    // Runs the filter to its end (killed after timeout, a backstop far past what any run takes,
    // so that a slow sanitizer build on a loaded machine still ends on its own).
    FilterRun run(std::chrono::seconds timeout = std::chrono::seconds(120));

    // Folder for the run's private files (spool, fake scheduler socket); removed by the destructor.
    const std::string& folder() const { return dir_; }
    ~FilterPeer();

private:
    std::string program_;
    std::vector<std::string> args_;
    std::vector<std::string> env_;
    std::string input_;
    SideMode sideMode_ = SideMode::answered;
    std::function<SideAnswer(cups_sc_command_t, int)> policy_;
    std::function<std::optional<std::string>(std::string_view)> queryReply_;
    std::string terminateAt_;
    std::vector<int> terminateSignals_{SIGTERM};
    std::vector<int> ignoredAtStart_;
    std::vector<FeedStep> feed_;
    bool feeding_ = false;
    bool keepInputOpen_ = false;
    bool outputUnread_ = false;
    std::size_t outputRate_ = 0;
    bool fillOutput_ = false;
    std::size_t outputLimit_ = 0;
    std::size_t spoolLimit_ = 0;
    std::string dir_;
};

// A private temporary folder (mkdtemp) removed with everything in it by the destructor.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

bool writeWholeFile(const std::string& path, std::string_view bytes);

// The job stream without the value of its job time, which is the clock's.
std::string withoutJobTime(std::string stream);

} // namespace tbx::test
