// The POSIX descriptor and socket calls that the socket functions, the stream
// pair and the Network-framework stand-in share: descriptors and address lists
// that close and free themselves, waits for readiness until a deadline, a
// connect within a deadline, whole sends and writes that never raise SIGPIPE,
// whole-file reads that say why they failed, and UTF-8 validation. Left out:
// anything beyond IPv4/IPv6 stream sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

struct addrinfo;

namespace tbx::posix {

using Clock = std::chrono::steady_clock;
// A point in time to wait until; none waits without limit.
using Deadline = std::optional<Clock::time_point>;

// The deadline `limit` from now; a negative limit is no limit.
Deadline deadlineIn(std::chrono::milliseconds limit);

// Owns one descriptor and closes it once: when it is destroyed, reset or
// assigned over. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Hands the descriptor to the caller, who closes it; the owner is empty.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes what it holds and takes `fd` (-1: nothing).
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// The addresses `getaddrinfo` answers for a host and service, freed once.
class AddressList {
public:
    // `family` AF_INET, AF_INET6 or AF_UNSPEC; `flags` the resolver's AI_ flags.
    static AddressList resolve(const std::string& host, const std::string& service, int family,
                               int flags = 0);
    AddressList(AddressList&& other) noexcept
        : first_(std::exchange(other.first_, nullptr)), error_(other.error_) {}
    AddressList& operator=(AddressList&&) = delete;
    AddressList(const AddressList&) = delete;
    ~AddressList();

    // The resolver's code (EAI_...), 0 when it answered.
    int error() const { return error_; }
    // The first address, nullptr when there is none; the rest follow `ai_next`.
    const addrinfo* first() const { return first_; }

private:
    AddressList(addrinfo* first, int error) : first_(first), error_(error) {}
    addrinfo* first_;
    int error_;
};

// Waits until `fd` shows `events` (POLLIN, POLLOUT), hangs up or fails, or the
// deadline passes: 1, 0 when the deadline passed, -1 when poll failed (errno).
// Interrupted waits go on with the time left. With `wakeFd` >= 0 the wait also
// ends (answering 2) when that descriptor becomes readable.
int waitReady(int fd, short events, Deadline deadline, int wakeFd = -1);

// Makes a non-blocking, close-on-exec stream socket for `address` and connects
// it within the deadline. The connected socket, or the error number that ended
// the attempt (ETIMEDOUT when the deadline passed, ECANCELED when `wakeFd`
// became readable and `cancelled` says so; `cancelled` is asked before every
// wait and drains the wake descriptor).
struct Connected {
    UniqueFd fd;
    int error = 0;
};
Connected connectWithin(const addrinfo& address, Deadline deadline, int wakeFd = -1,
                        bool (*cancelled)(void*) = nullptr, void* context = nullptr);

// Writes all of `bytes` to a socket (MSG_NOSIGNAL: a closed peer gives EPIPE,
// never SIGPIPE), waiting for room at most `idle` at a time (restarted after
// each byte that goes out; none: without limit). Answers the bytes written and
// 0, or the count so far and the error number (ETIMEDOUT for a wait that ran out).
struct Written {
    std::size_t count = 0;
    int error = 0;
};
Written sendAll(int fd, std::span<const std::uint8_t> bytes, std::optional<std::chrono::milliseconds> idle);
// The same for any descriptor (a pipe too): SIGPIPE is held back for the call.
Written writeAll(int fd, std::span<const std::uint8_t> bytes, std::optional<std::chrono::milliseconds> idle);

// The most that readFile takes: over twice the raw colour bitmap of the largest
// page a scan makes (A4 at 1200 dpi, about 400 MB), so page files, rasters and
// logs fit by far, while a file without end cannot take memory without bound.
inline constexpr std::size_t kReadFileLimit = std::size_t(1) << 30;

// Reads the whole regular file at `path`: its bytes and 0, or the error number
// that stopped the read with no bytes: ENOENT, EACCES, EIO, ESRCH for a /proc
// file of a process that ended meanwhile, ...; EISDIR for a folder; EINVAL for
// anything else that is no regular file (a named pipe, a device, a socket),
// which is opened without blocking and never read; EFBIG for a file of more
// than kReadFileLimit bytes, before any read when the file states its size,
// else as soon as the read passes the limit. Files that state no size (those
// of /proc) are read to their end. Never waits on a writer, never throws;
// interrupted reads go on.
struct FileContents {
    std::string bytes;
    int error = 0;
    bool ok() const { return error == 0; }
};
FileContents readFile(const std::string& path);

// True when `bytes` are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUTF8(std::span<const std::uint8_t> bytes);
inline bool isValidUTF8(const std::uint8_t* bytes, std::size_t length) {
    return isValidUTF8(std::span<const std::uint8_t>(bytes, length));
}

} // namespace tbx::posix
