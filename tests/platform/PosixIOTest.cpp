#include "platform/posix/PosixIO.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace tbx::posix;
using namespace std::chrono_literals;

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

bool sigpipePending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

TEST(PosixIO, Utf8IsCheckedStrictly) {
    using B = std::vector<std::uint8_t>;
    const std::pair<B, bool> cases[] = {
        {{}, true},
        {{'0', '0', '0', '1'}, true},
        {{0xC3, 0xA9}, true},                    // é
        {{0xE4, 0xB8, 0xAD}, true},              // 中
        {{0xF0, 0x9F, 0x98, 0x80}, true},        // U+1F600
        {{0xC2, 0x80}, true},                    // U+0080, the commands' end
        {{0x80}, false},                         // continuation alone
        {{0xC3}, false},                         // cut short
        {{0xE4, 0xB8}, false},                   // cut short
        {{0xC0, 0xAF}, false},                   // overlong "/"
        {{0xE0, 0x80, 0xAF}, false},             // overlong
        {{0xED, 0xA0, 0x80}, false},             // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, false},       // beyond U+10FFFF
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, false}, // five-byte form
        {{0xC3, 0x28}, false},                   // bad continuation
    };
    for (const auto& [bytes, valid] : cases) {
        EXPECT_EQ(isValidUTF8(bytes), valid) << ::testing::PrintToString(bytes);
    }
}

TEST(PosixIO, DescriptorsAreClosedExactlyOnce) {
    auto [a, b] = socketPair();
    const int raw = a.get();
    {
        UniqueFd moved = std::move(a);
        EXPECT_FALSE(a);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw)); // closed with its last owner

    const int kept = b.release();
    EXPECT_FALSE(b);
    EXPECT_TRUE(isOpen(kept)); // handed over, not closed
    UniqueFd again(kept);
    UniqueFd other;
    other = std::move(again);
    other.reset();
    EXPECT_FALSE(isOpen(kept));
}

// A read that fails (a folder, a file that is gone, a /proc file, a pipe or
// device that would block or never end, a file past the limit) is an answer,
// never an exception nor a wait; a file longer than one read comes whole.
TEST(PosixIO, WholeFileReadsSayWhyNot) {
    char templ[] = "/tmp/tbx-read-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string dir = templ;
    std::string big(200'000, 'a');
    big[100'000] = '\0';
    std::ofstream(dir + "/big", std::ios::binary) << big;
    std::ofstream(dir + "/empty");
    std::filesystem::create_directory(dir + "/folder");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir + "/zero");
    std::ofstream(dir + "/huge");
    std::filesystem::resize_file(dir + "/huge", kReadFileLimit + 1); // sparse: takes no room
    const struct {
        std::string path;
        int error;
        std::string bytes;
    } cases[] = {
        {dir + "/big", 0, big},
        {dir + "/empty", 0, ""},
        {dir + "/folder", EISDIR, ""},
        {dir + "/missing", ENOENT, ""},
        {dir + "/fifo", EINVAL, ""}, // no writer: a blocking open would wait for good
        {dir + "/zero", EINVAL, ""}, // never ends
        {dir + "/huge", EFBIG, ""},
        // Opens, then its first read fails.
        {"/proc/self/mem", EIO, ""},
    };
    for (const auto& c : cases) {
        const FileContents read = readFile(c.path);
        EXPECT_EQ(read.error, c.error) << c.path;
        EXPECT_EQ(read.ok(), c.error == 0) << c.path;
        EXPECT_TRUE(read.bytes == c.bytes) << c.path << ": " << read.bytes.size() << " bytes";
    }
    // /proc states no size: read to the end all the same.
    EXPECT_EQ(readFile("/proc/self/stat").bytes.rfind(std::to_string(::getpid()) + " (", 0), 0u);
    std::filesystem::remove_all(dir);
}

TEST(PosixIO, WaitsEndOnReadinessDeadlineOrWakeUp) {
    auto [a, b] = socketPair();
    auto [wakeRead, wakeWrite] = socketPair();
    const auto start = Clock::now();
    EXPECT_EQ(waitReady(a.get(), POLLIN, deadlineIn(50ms)), 0);
    EXPECT_GE(Clock::now() - start, 45ms);
    EXPECT_EQ(waitReady(a.get(), POLLIN, Clock::now() - 1s), 0); // a deadline in the past: no wait

    ASSERT_EQ(::write(wakeWrite.get(), "w", 1), 1);
    EXPECT_EQ(waitReady(a.get(), POLLIN, deadlineIn(5s), wakeRead.get()), 2);
    ASSERT_EQ(::write(b.get(), "x", 1), 1);
    EXPECT_EQ(waitReady(a.get(), POLLIN, std::nullopt), 1);
    EXPECT_EQ(waitReady(a.get(), POLLOUT, deadlineIn(0ms)), 1);
    EXPECT_FALSE(deadlineIn(-1ms).has_value());
}

TEST(PosixIO, ConnectsWithinTheDeadlineOrSaysWhyNot) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const auto open = AddressList::resolve("127.0.0.1", port, AF_INET, AI_NUMERICHOST);
    ASSERT_EQ(open.error(), 0);
    ASSERT_NE(open.first(), nullptr);
    Connected connected = connectWithin(*open.first(), deadlineIn(2s));
    EXPECT_EQ(connected.error, 0);
    EXPECT_TRUE(connected.fd);
    EXPECT_NE(::fcntl(connected.fd.get(), F_GETFL) & O_NONBLOCK, 0);

    listener.reset(); // nobody listens any more
    Connected refused = connectWithin(*open.first(), deadlineIn(2s));
    EXPECT_EQ(refused.error, ECONNREFUSED);
    EXPECT_FALSE(refused.fd);

    EXPECT_NE(AddressList::resolve("not an address", port, AF_INET, AI_NUMERICHOST).error(), 0);
}

TEST(PosixIO, WholeWritesNeverRaiseSigpipe) {
    {
        auto [a, b] = socketPair();
        b.reset();
        const std::vector<std::uint8_t> bytes(100, 7);
        const Written written = sendAll(a.get(), bytes, 1s);
        EXPECT_EQ(written.error, EPIPE);
        EXPECT_EQ(written.count, 0u);
    }
    {
        auto [a, b] = socketPair(); // the peer never reads: the buffer fills, the idle wait runs out
        const std::vector<std::uint8_t> bytes(8 << 20, 1);
        const Written written = sendAll(a.get(), bytes, 50ms);
        EXPECT_EQ(written.error, ETIMEDOUT);
        EXPECT_GT(written.count, 0u);
        EXPECT_LT(written.count, bytes.size());
    }
    {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        UniqueFd read(fds[0]), write(fds[1]);
        read.reset();
        const std::vector<std::uint8_t> bytes(10, 1);
        EXPECT_EQ(writeAll(write.get(), bytes, 1s).error, EPIPE); // a plain write would have killed us
        EXPECT_FALSE(sigpipePending());
    }
    {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        UniqueFd read(fds[0]), write(fds[1]);
        const std::vector<std::uint8_t> bytes{1, 2, 3};
        const Written written = writeAll(write.get(), bytes, std::nullopt);
        EXPECT_EQ(written.count, 3u);
        EXPECT_EQ(written.error, 0);
    }
}
