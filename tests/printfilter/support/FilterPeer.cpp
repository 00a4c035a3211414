#include "tests/printfilter/support/FilterPeer.h"

#include "tests/printfilter/support/JobStreamDecoder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tbx::test {

using Clock = std::chrono::steady_clock;

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tbx-filter-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool writeWholeFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool FilterRun::logHas(std::string_view line) const {
    std::size_t pos = 0;
    while ((pos = err.find(line, pos)) != std::string::npos) {
        const bool startsLine = pos == 0 || err[pos - 1] == '\n';
        const std::size_t end = pos + line.size();
        if (startsLine && (end == err.size() || err[end] == '\n'))
            return true;
        pos = end;
    }
    return false;
}

FilterPeer::FilterPeer(std::string program) : program_(std::move(program)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tbx-peer-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
}

FilterPeer::~FilterPeer() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

namespace {

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there, up to limit bytes, without blocking; false at end of file.
bool drainInto(int fd, std::string& into, std::size_t limit = SIZE_MAX) {
    char buffer[65536];
    while (limit > 0) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit));
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            limit -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return true; // EAGAIN
    }
    return true;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// One connection to the fake scheduler: collects a whole HTTP request, then answers it with an
// empty successful IPP response.
struct IppConnection {
    int fd = -1;
    std::string request;
    bool continued = false;

    // True when the request is complete and answered.
    bool serve(std::vector<std::string>& requests) {
        const std::size_t headerEnd = request.find("\r\n\r\n");
        if (headerEnd == std::string::npos)
            return false;
        std::string headers = request.substr(0, headerEnd);
        std::string lower = headers;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (!continued && lower.find("expect: 100-continue") != std::string::npos) {
            writeAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
            continued = true;
        }
        std::size_t length = 0;
        const std::size_t cl = lower.find("content-length:");
        if (cl != std::string::npos)
            length = std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
        if (request.size() < headerEnd + 4 + length)
            return false;
        const std::string body = request.substr(headerEnd + 4, length);
        requests.push_back(request.substr(0, headerEnd + 4 + length));
        std::string ipp = {'\x02', '\x00', '\x00', '\x00'};
        ipp += body.size() >= 8 ? body.substr(4, 4) : std::string(4, '\x01');
        ipp += '\x03';
        writeAll(fd,
                 "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nConnection: close\r\nContent-Length: " +
                     std::to_string(ipp.size()) + "\r\n\r\n" + ipp);
        return true;
    }
};

struct PendingAnswer {
    Clock::time_point due;
    std::string bytes;
    int fd;
    bool onceOutputRead;
};

// Bytes waiting in a pipe.
std::size_t pipeHolds(int fd) {
    int n = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

} // namespace

FilterRun FilterPeer::run(std::chrono::seconds timeout) {
    FilterRun result;
    const std::string inputPath = dir_ + "/input";
    writeWholeFile(inputPath, input_);
    const std::string ippSocket = dir_ + "/scheduler.sock";
    std::signal(SIGPIPE, SIG_IGN); // a filter that has ended shows as a failed write to its input

    int outPipe[2], errPipe[2], backPipe[2], side[2] = {-1, -1}, inPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC) || pipe2(backPipe, O_CLOEXEC) ||
        (feeding_ && pipe2(inPipe, O_CLOEXEC)))
        throw std::runtime_error("pipe failed");
    if (outputUnread_ || outputRate_)
        fcntl(outPipe[1], F_SETPIPE_SZ, 16384);
    // A write end of the printer's pipe of the peer's own, non-blocking (a description of its own,
    // so the filter's output stays blocking).
    int fillFd = -1;
    if (fillOutput_)
        fillFd = ::open(("/proc/self/fd/" + std::to_string(outPipe[1])).c_str(),
                        O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (sideMode_ != SideMode::closed && socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, side))
        throw std::runtime_error("socketpair failed");

    int listener = socket(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_LOCAL;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", ippSocket.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
        listen(listener, 4))
        throw std::runtime_error("cannot listen on " + ippSocket);

    const std::string spool = spoolLimit_ ? dir_ + "/spool" : dir_;
    if (spoolLimit_)
        std::filesystem::create_directories(spool);
    const std::string spoolOptions = "size=" + std::to_string(spoolLimit_) + ",mode=0700";
    std::vector<std::string> envStrings = {"PATH=/usr/bin:/bin", "TMPDIR=" + spool,
                                           "CUPS_SERVER=" + ippSocket};
    // A filter built with a sanitizer reports by the same options as the tests.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            envStrings.push_back(std::string(name) + "=" + value);
    for (const auto& e : env_)
        envStrings.push_back(e);
    std::vector<char*> argv, envp;
    for (auto& a : args_)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const auto started = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = feeding_ ? inPipe[0] : ::open(inputPath.c_str(), O_RDONLY);
        // Move everything out of the way of 0..4 first, then put each in its place.
        const int fIn = fcntl(in, F_DUPFD, 20), fOut = fcntl(outPipe[1], F_DUPFD, 20),
                  fErr = fcntl(errPipe[1], F_DUPFD, 20), fBack = fcntl(backPipe[0], F_DUPFD, 20),
                  fSide = side[1] >= 0 ? fcntl(side[1], F_DUPFD, 20) : -1;
        dup2(fIn, 0);
        dup2(fOut, 1);
        dup2(fErr, 2);
        dup2(fBack, 3);
        if (fSide >= 0)
            dup2(fSide, 4);
        else
            ::close(4);
        for (int fd = 5; fd < 1024; ++fd)
            ::close(fd);
        // The filter starts as from a terminal, whatever this process or the forking thread was
        // started with: a test run in the background inherits an ignored SIGINT, which the
        // filter rightly leaves so, and a signal blocked here would stay blocked in the filter.
        for (const int sig : {SIGPIPE, SIGINT, SIGHUP, SIGTERM})
            signal(sig, SIG_DFL);
        for (const int sig : ignoredAtStart_)
            signal(sig, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (spoolLimit_ &&
            (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount("tbx-spool", spool.c_str(), "tmpfs", 0, spoolOptions.c_str()) != 0))
            _exit(kCannotLimitSpool);
        execve(program_.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    closeFd(outPipe[1]);
    closeFd(errPipe[1]);
    closeFd(backPipe[0]);
    closeFd(side[1]);
    closeFd(inPipe[0]);
    for (int fd : {outPipe[0], errPipe[0], side[0], listener, inPipe[1]})
        if (fd >= 0)
            setNonBlocking(fd);

    std::string sideInput;
    std::map<cups_sc_command_t, int> requestCounts;
    std::deque<PendingAnswer> pending;
    std::vector<IppConnection> connections;
    std::size_t queriesAnswered = 0;
    bool outOpen = !outputUnread_, errOpen = true, terminated = false;
    const auto deadline = started + timeout;

    const auto fillOutput = [&] {
        if (fillFd < 0)
            return;
        drainInto(outPipe[0], result.out);
        outOpen = false; // read no more
        const std::string filler(4096, '#');
        for (std::size_t piece : {std::size_t{4096}, std::size_t{1}})
            while (::write(fillFd, filler.data(), piece) > 0) {
            }
        closeFd(fillFd);
    };
    const auto terminate = [&] {
        fillOutput();
        for (const int sig : terminateSignals_)
            kill(pid, sig);
        result.terminatedAt = std::chrono::duration<double>(Clock::now() - started).count();
    };
    const auto checkTerminate = [&] {
        if (!terminated && !terminateAt_.empty() && result.err.find(terminateAt_) != std::string::npos) {
            terminate();
            terminated = true;
        }
    };

    // Feeding standard input: the current step, how much of it is written, whether its wait is over.
    std::size_t step = 0, stepWritten = 0;
    bool stepReady = false;
    auto stepStarted = started;
    const auto closeInputWhenFed = [&] {
        if (inPipe[1] >= 0 && step >= feed_.size() && !keepInputOpen_)
            closeFd(inPipe[1]);
    };
    const auto feed = [&](bool writable) {
        while (inPipe[1] >= 0 && step < feed_.size()) {
            const FeedStep& current = feed_[step];
            if (!stepReady) {
                const bool seen =
                    (current.waitCount == 0 ||
                     occurrences(result.out, current.waitFor) >= current.waitCount) &&
                    (current.afterLog.empty() || result.err.find(current.afterLog) != std::string::npos);
                const auto waited = Clock::now() - stepStarted;
                const bool late = waited >= kFeedWait;
                if ((!seen && !late) || waited < current.after)
                    return;
                result.waitsMissed += seen ? 0 : 1;
                if (current.terminate)
                    terminate();
                stepReady = true;
            }
            if (stepWritten < current.bytes.size()) {
                if (!writable)
                    return;
                const ssize_t n = ::write(inPipe[1], current.bytes.data() + stepWritten,
                                          current.bytes.size() - stepWritten);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    return;
                if (n < 0) { // the filter has gone
                    closeFd(inPipe[1]);
                    return;
                }
                stepWritten += static_cast<std::size_t>(n);
                continue;
            }
            ++step;
            stepWritten = 0;
            stepReady = false;
            stepStarted = Clock::now();
        }
        closeInputWhenFed();
    };
    feed(true);

    while (outOpen || errOpen) {
        const auto now = Clock::now();
        if (now >= deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int waitMs =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        // An answer held until the printer has read everything is looked at again every 10 ms.
        for (const auto& p : pending)
            waitMs = std::min<int>(
                waitMs,
                std::max<int>(p.onceOutputRead ? 10 : 0,
                              std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count()));
        const bool feedWaiting = inPipe[1] >= 0 && step < feed_.size();
        if (feedWaiting)
            waitMs = std::min(waitMs, 20); // a step's wait may run out
        // A slow printer takes what its rate allows so far.
        std::size_t outAllowed = SIZE_MAX;
        if (outputRate_) {
            const double elapsed = std::chrono::duration<double>(now - started).count();
            const auto due = static_cast<std::size_t>(elapsed * static_cast<double>(outputRate_));
            outAllowed = due > result.out.size() ? due - result.out.size() : 0;
            if (outAllowed == 0)
                waitMs = std::min(waitMs, 10);
        }
        std::vector<pollfd> fds;
        fds.push_back({outOpen && outAllowed > 0 ? outPipe[0] : -1, POLLIN, 0});
        fds.push_back({errOpen ? errPipe[0] : -1, POLLIN, 0});
        fds.push_back({side[0], POLLIN, 0});
        fds.push_back({listener, POLLIN, 0});
        for (const auto& c : connections)
            fds.push_back({c.fd, POLLIN, 0});
        fds.push_back({stepReady && feedWaiting ? inPipe[1] : -1, POLLOUT, 0});
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR)
            break;
        const bool inputWritable = fds.back().revents != 0;
        fds.pop_back();

        // The log first: a line the filter wrote before a request is seen before the request.
        if (errOpen && fds[1].revents)
            errOpen = drainInto(errPipe[0], result.err);
        checkTerminate();
        if (outOpen && fds[0].revents) {
            const std::size_t before = result.out.size();
            outOpen = drainInto(outPipe[0], result.out, outAllowed);
            if (outputLimit_ && result.out.size() >= outputLimit_) {
                result.out.resize(outputLimit_);
                outOpen = false;
                closeFd(outPipe[0]);
            }
            if (queryReply_ && result.out.find('?', before) != std::string::npos) {
                const StreamTokens tokens = tokenizeJobStream(result.out);
                std::size_t seen = 0;
                for (const auto& item : tokens.items) {
                    if (item.kind != StreamItem::Kind::query)
                        continue;
                    if (++seen <= queriesAnswered)
                        continue;
                    ++queriesAnswered;
                    if (auto reply = queryReply_(item.key + "?"))
                        writeAll(backPipe[1], *reply);
                }
            }
        }
        if (side[0] >= 0 && fds[2].revents) {
            const bool sideOpen = drainInto(side[0], sideInput);
            if (sideMode_ == SideMode::silent)
                sideInput.clear();
            while (sideInput.size() >= 4) {
                const std::size_t length = (static_cast<unsigned char>(sideInput[2]) << 8) |
                                           static_cast<unsigned char>(sideInput[3]);
                if (sideInput.size() < 4 + length)
                    break;
                const auto command = static_cast<cups_sc_command_t>(static_cast<unsigned char>(sideInput[0]));
                sideInput.erase(0, 4 + length);
                result.sideRequests.push_back(command);
                const int n = requestCounts[command]++;
                const SideAnswer answer = policy_ ? policy_(command, n) : SideAnswer{};
                if (answer.silent)
                    continue;
                std::string reply = {static_cast<char>(command), static_cast<char>(answer.status), 0, 0};
                if (command == CUPS_SC_CMD_GET_CONNECTED) {
                    reply[3] = 1;
                    reply += '\x01';
                }
                pending.push_back({Clock::now() + answer.delay, reply, side[0], answer.onceOutputRead});
            }
            if (!sideOpen) {
                for (auto& p : pending)
                    p.fd = -1;
                closeFd(side[0]);
            }
        }
        if (listener >= 0 && fds[3].revents) {
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0)
                connections.push_back({c, {}, false});
        }
        // Only the connections that were polled; one accepted just now waits for the next round.
        for (std::size_t i = 0; i + 4 < fds.size(); ++i) {
            if (!(fds[4 + i].revents))
                continue;
            const bool open = drainInto(connections[i].fd, connections[i].request);
            if (connections[i].serve(result.ippRequests) || !open) {
                closeFd(connections[i].fd);
            }
        }
        std::erase_if(connections, [](const IppConnection& c) { return c.fd < 0; });
        feed(inputWritable);
        const auto later = Clock::now();
        while (!pending.empty() && pending.front().due <= later &&
               !(pending.front().onceOutputRead && outOpen && pipeHolds(outPipe[0]) > 0)) {
            if (pending.front().fd >= 0)
                writeAll(pending.front().fd, pending.front().bytes);
            pending.pop_front();
        }
    }

    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.termSignal = WTERMSIG(status);
    for (int* fd : {&outPipe[0], &errPipe[0], &backPipe[1], &side[0], &listener, &inPipe[1], &fillFd})
        closeFd(*fd);
    for (auto& c : connections)
        closeFd(c.fd);
    return result;
}

std::string withoutJobTime(std::string stream) {
    const std::size_t at = stream.find("JobTime=");
    const std::size_t end = at == std::string::npos ? at : stream.find(';', at);
    if (end != std::string::npos)
        stream.erase(at + 8, end - at - 8);
    return stream;
}

} // namespace tbx::test
