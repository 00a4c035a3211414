// The filter under Debian's own CUPS: run by cupsfilter with the project's PPD and no backend, and
// behind a private scheduler (cupsd on loopback, its own configuration and spool folders) that
// prints a PDF through the socket backend to a fake printer, which records the job stream.

#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"
#include "tests/support/Sandbox.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tbx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool haveProgram(const char* path) {
    return ::access(path, X_OK) == 0;
}

// Output and exit status of a shell command.
std::pair<int, std::string> shell(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(("{ " + command + "; } 2>&1").c_str(), "r");
    if (!pipe)
        return {-1, {}};
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// A PDF of the given pages of text, made by Ghostscript.
bool makePdf(const std::string& path, int pages) {
    std::string ps = "/Helvetica findfont 36 scalefont setfont ";
    for (int i = 1; i <= pages; ++i)
        ps += "72 720 moveto (Tamberlyx page " + std::to_string(i) +
              ") show 72 100 moveto 400 600 rlineto stroke showpage ";
    return shell("gs -q -dSAFER -sDEVICE=pdfwrite -o '" + path + "' -c '" + ps + "'").first == 0;
}

// A server-binary folder as CUPS wants it: Debian's filters, daemons and the socket backend, and
// this build's filter (copied: CUPS refuses programs in folders others may write to).
void makeServerBin(const std::string& dir) {
    for (const char* sub : {"", "/filter", "/backend", "/daemon"}) {
        fs::create_directories(dir + sub);
        ::chmod((dir + sub).c_str(), 0755);
    }
    for (const char* sub : {"filter", "daemon"})
        for (const auto& entry : fs::directory_iterator(std::string("/usr/lib/cups/") + sub))
            fs::create_symlink(entry.path(), dir + "/" + sub + "/" + entry.path().filename().string());
    fs::create_symlink("/usr/lib/cups/backend/socket", dir + "/backend/socket");
    const std::string filter = dir + "/filter/printfilter-tamberlyx";
    fs::copy_file(TBX_FILTER_PROGRAM, filter, fs::copy_options::overwrite_existing);
    ::chmod(filter.c_str(), 0755);
}

std::size_t pieceCount(const DecodedJob& job) {
    std::size_t n = 0;
    for (const auto& p : job.pages)
        n += p.pieces.size();
    return n;
}

TEST(CupsFilter, RunsTheFilterWithoutABackendAndDoesNotWait) {
    if (!haveProgram("/usr/sbin/cupsfilter") || !haveProgram("/usr/bin/gs") ||
        !haveProgram("/usr/lib/cups/filter/gstoraster"))
        GTEST_SKIP() << "cupsfilter, Ghostscript or the CUPS converters are not installed";
    TempFolder dir;
    ::chmod(dir.path().c_str(), 0755);
    makeServerBin(dir.file("sb"));
    ASSERT_TRUE(writeWholeFile(dir.file("cups-files.conf"),
                               "ServerBin " + dir.file("sb") + "\nDataDir /usr/share/cups\n"));
    ASSERT_TRUE(makePdf(dir.file("doc.pdf"), 3));
    const auto started = std::chrono::steady_clock::now();
    const int status =
        shell("cd '" + dir.path() +
              "' && cupsfilter -e -c cups-files.conf -p '" TBX_FILTER_PPD
              "' -m printer/foo -o Duplex=DuplexNoTumble -o MediaType=Thin doc.pdf > stream.bin 2> log.txt")
            .first;
    const std::string log = readWholeFile(dir.file("log.txt"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(status, 0) << log;
    EXPECT_LT(seconds, 20.0) << "no waiting for a backend that is not there";
    EXPECT_NE(log.find("printfilter-tamberlyx"), std::string::npos);

    const DecodedJob job = decodeJobStream(readWholeFile(dir.file("stream.bin")));
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_EQ(job.jobField("JobName"), "doc.pdf");
    EXPECT_EQ(job.jobField("MediaType"), "thin");
    EXPECT_EQ(job.jobField("Sides"), "TwoSidedLongEdge");
    ASSERT_EQ(job.pages.size(), 4u) << "3 pages and a blank back side";
    for (const auto& page : job.pages) {
        EXPECT_EQ(page.field("MediaSize"), "na_a4_210x297mm");
        // A4 at 600 dpi within the PPD's 6-point margins (the printer's +50-dot origin).
        EXPECT_NEAR(page.width(), 4864, 8);
        EXPECT_NEAR(page.height(), 6917, 2);
        EXPECT_FALSE(page.data.empty());
    }
    EXPECT_TRUE(job.endOfJob);
}

// A printer on a loopback port: records everything it is sent and answers "Status?" with a ready
// code on the same connection, as the real printer answers on its back channel.
class FakePrinter {
public:
    FakePrinter() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) || ::listen(listener_, 4) ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length))
            throw std::runtime_error("fake printer cannot listen");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakePrinter() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    std::string received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    int connections() const { return connections_; }
    int jobsFinished() const { return finished_; }

private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            ++connections_;
            std::size_t answered = 0;
            for (;;) {
                pollfd q{c, POLLIN, 0};
                if (stop_)
                    break;
                if (::poll(&q, 1, 100) <= 0)
                    continue;
                char buffer[65536];
                const ssize_t n = ::read(c, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                std::lock_guard lock(mutex_);
                received_.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t at; (at = received_.find("Status?", answered)) != std::string::npos;) {
                    answered = at + 7;
                    const ssize_t ignored = ::write(c, "3030 ready", 10);
                    (void)ignored;
                }
            }
            ::close(c);
            ++finished_;
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0}, finished_{0};
    std::mutex mutex_;
    std::string received_;
};

// A private scheduler: its own configuration, spool, cache, state and log folders, listening on
// a socket in its folder and on a loopback port; stopped by its pid.
class PrivateScheduler {
public:
    explicit PrivateScheduler(const std::string& dir) : dir_(dir) {
        for (const char* sub : {"conf", "log", "spool", "spool/tmp", "cache", "state"})
            fs::create_directories(dir + "/" + sub);
        makeServerBin(dir + "/sb");
        socket_ = dir + "/cupsd.sock";
        const int port = freeLoopbackPort();
        writeWholeFile(dir + "/conf/cupsd.conf", "Listen " + socket_ +
                                                     "\nListen 127.0.0.1:" + std::to_string(port) +
                                                     "\nLogLevel debug\nBrowsing Off\nWebInterface No\n"
                                                     "DefaultAuthType None\n<Location />\nOrder Allow,Deny\n"
                                                     "Allow all\n</Location>\n<Policy default>\n<Limit All>\n"
                                                     "Order Deny,Allow\n</Limit>\n</Policy>\n");
        writeWholeFile(dir + "/conf/cups-files.conf",
                       "ServerRoot " + dir + "/conf\nServerBin " + dir +
                           "/sb\nDataDir /usr/share/cups\n"
                           "RequestRoot " +
                           dir + "/spool\nTempDir " + dir + "/spool/tmp\nCacheDir " + dir +
                           "/cache\nStateDir " + dir + "/state\nAccessLog " + dir +
                           "/log/access_log\nErrorLog " + dir + "/log/error_log\nPageLog " + dir +
                           "/log/page_log\nPrintcap " + dir +
                           "/printcap\nFileDevice No\nUser lp\nGroup lp\nSystemGroup root\n");
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", (dir + "/conf/cupsd.conf").c_str(), "-s",
                    (dir + "/conf/cups-files.conf").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~PrivateScheduler() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(50ms);
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
    }
    // Waits until the scheduler accepts connections.
    bool ready() {
        for (int i = 0; i < 100; ++i) {
            const int s = ::socket(AF_LOCAL, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_LOCAL;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_.c_str());
            const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(s);
            if (ok)
                return true;
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    // A client command against this scheduler.
    std::pair<int, std::string> run(const std::string& command) const {
        return shell("CUPS_SERVER='" + socket_ + "' " + command);
    }
    std::string log() const { return readWholeFile(dir_ + "/log/error_log"); }

private:
    static int freeLoopbackPort() {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length);
        ::close(s);
        return ntohs(addr.sin_port);
    }

    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
};

TEST(CupsScheduler, PrintsAPdfThroughTheSocketBackendToAFakePrinter) {
    TBX_REQUIRE_NETWORK_SANDBOX();
    if (!haveProgram("/usr/sbin/cupsd") || !haveProgram("/usr/sbin/lpadmin") || !haveProgram("/usr/bin/lp") ||
        !haveProgram("/usr/bin/gs") || !haveProgram("/usr/lib/cups/backend/socket"))
        GTEST_SKIP() << "CUPS, its clients, the socket backend or Ghostscript are not installed";
    if (::geteuid() != 0 || !::getpwnam("lp"))
        GTEST_SKIP() << "a private cupsd needs root and the lp user here";
    TempFolder dir;
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_TRUE(makePdf(dir.file("doc.pdf"), 2));
    ::chmod(dir.file("doc.pdf").c_str(), 0644);
    FakePrinter printer;
    PrivateScheduler cupsd(dir.file("cups"));
    if (!cupsd.ready())
        GTEST_SKIP() << "cupsd cannot run here:\n" << cupsd.log();

    const std::string uri = "socket://127.0.0.1:" + std::to_string(printer.port());
    auto [status, out] = cupsd.run("lpadmin -p tbxtest -E -v '" + uri + "' -P '" TBX_FILTER_PPD "'");
    ASSERT_EQ(status, 0) << out;
    std::tie(status, out) =
        cupsd.run("lp -d tbxtest -t 'Q3; report' -o Duplex=DuplexTumble '" + dir.file("doc.pdf") + "'");
    ASSERT_EQ(status, 0) << out;
    ASSERT_NE(out.find("request id is tbxtest-"), std::string::npos) << out;
    const std::string jobName =
        out.substr(out.find("tbxtest-"), out.find(' ', out.find("tbxtest-")) - out.find("tbxtest-"));

    bool completed = false;
    for (int i = 0; i < 240 && !completed; ++i) {
        std::this_thread::sleep_for(250ms);
        completed =
            cupsd.run("lpstat -W completed -o tbxtest").second.find(jobName + " ") != std::string::npos;
    }
    ASSERT_TRUE(completed) << cupsd.run("lpstat -l -W all -o tbxtest").second << "\n" << cupsd.log();
    for (int i = 0; i < 40 && printer.jobsFinished() < 1; ++i)
        std::this_thread::sleep_for(50ms);

    const std::string log = cupsd.log();
    EXPECT_NE(log.find("Job completed."), std::string::npos);
    EXPECT_EQ(log.find("not asking the backend anything more"), std::string::npos)
        << "the socket backend answers the side channel";
    const DecodedJob job = decodeJobStream(printer.received());
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_EQ(job.jobField("JobName"), "Q3_ report");
    EXPECT_EQ(job.jobField("Sides"), "TwoSidedShortEdge");
    EXPECT_EQ(job.jobField("Copies"), "1");
    ASSERT_EQ(job.pages.size(), 2u);
    for (const auto& page : job.pages) {
        EXPECT_EQ(page.field("MediaSize"), "na_a4_210x297mm");
        EXPECT_EQ(page.field("MediaInputTrayCheck"), "auto");
        EXPECT_GT(page.data.size(), 20u);
    }
    EXPECT_GT(pieceCount(job), 0u);
    EXPECT_TRUE(job.endOfJob);
    EXPECT_FALSE(job.cancelled);
}

} // namespace
} // namespace tbx::test
