#include "tests/printfilter/support/PrivateCups.h"

#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tbx::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kFilterName = "printfilter-tamberlyx";

// A new regular file at to with from's bytes; fails rather than write into anything that exists
// (a link above all).
void copyNew(const fs::path& from, const fs::path& to, fs::perms mode) {
    fs::copy_file(from, to, fs::copy_options::none);
    fs::permissions(to, mode);
}

void makeFolder(const fs::path& dir) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms(0755));
}

int freeLoopbackPort() {
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

} // namespace

bool haveProgram(const char* path) {
    return ::access(path, X_OK) == 0;
}

std::pair<int, std::string> shell(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(("{ " + command + "; } 2>&1").c_str(), "re");
    if (!pipe)
        return {-1, {}};
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

namespace {

bool pdfFromPostScript(const std::string& path, const std::string& ps) {
    return shell("gs -q -dSAFER -sDEVICE=pdfwrite -o '" + path + "' -c '" + ps + "'").first == 0;
}

} // namespace

bool makePdf(const std::string& path, int pages) {
    std::string ps = "/Helvetica findfont 36 scalefont setfont ";
    for (int i = 1; i <= pages; ++i)
        ps += "72 720 moveto (Tamberlyx page " + std::to_string(i) +
              ") show 72 100 moveto 400 600 rlineto stroke showpage ";
    return pdfFromPostScript(path, ps);
}

bool makeNoisePdf(const std::string& path, int pages) {
    // A 300 × 400 grey image over the page, each sample from Ghostscript's own generator.
    std::string ps = "/noise { gsave 36 36 translate 540 720 scale 300 400 8 [300 0 0 -400 0 400] "
                     "{ 300 string dup length 1 sub 0 1 3 -1 roll { 1 index exch rand -3 bitshift 255 "
                     "and put } for } image grestore showpage } def ";
    for (int i = 1; i <= pages; ++i)
        ps += "noise ";
    return pdfFromPostScript(path, ps);
}

void makeServerBin(const std::string& dir, const std::string& filterProgram,
                   const std::string& systemServerBin) {
    for (const char* sub : {"", "/filter", "/backend", "/daemon"})
        makeFolder(dir + sub);
    for (const char* sub : {"filter", "daemon"})
        for (const auto& entry : fs::directory_iterator(systemServerBin + "/" + sub))
            if (entry.path().filename() != kFilterName)
                fs::create_symlink(entry.path(), dir + "/" + sub + "/" + entry.path().filename().string());
    fs::create_symlink(systemServerBin + "/backend/socket", dir + "/backend/socket");
    // Copied: CUPS refuses programs in folders others may write to, and links into the system.
    copyNew(filterProgram, dir + "/filter/" + kFilterName, fs::perms(0755));
}

void makeDataDir(const std::string& dir, const std::string& modelFolder, const std::string& systemDataDir) {
    makeFolder(dir);
    for (const auto& entry : fs::directory_iterator(systemDataDir))
        if (entry.path().filename() != "model")
            fs::create_symlink(entry.path(), dir + "/" + entry.path().filename().string());
    makeFolder(dir + "/model");
    if (fs::is_directory(systemDataDir + "/model"))
        for (const auto& entry : fs::directory_iterator(systemDataDir + "/model"))
            fs::create_symlink(entry.path(), dir + "/model/" + entry.path().filename().string());
    const fs::path own = fs::path(dir) / "model" / fs::path(modelFolder).filename();
    makeFolder(own);
    for (const auto& entry : fs::directory_iterator(modelFolder))
        copyNew(entry.path(), own / entry.path().filename(), fs::perms(0644));
}

FakePrinter::FakePrinter(std::size_t closeAfter, bool stall) : closeAfter_(closeAfter), stall_(stall) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (stall_) {
        const int small = 16384; // taken over by every accepted connection
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
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

FakePrinter::~FakePrinter() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::string FakePrinter::received() {
    std::lock_guard lock(mutex_);
    return received_;
}

void FakePrinter::serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        std::size_t answered = 0, taken = 0;
        while (!stop_) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 100) <= 0)
                continue;
            char buffer[65536];
            const std::size_t room =
                closeAfter_ ? std::min(sizeof buffer, closeAfter_ - taken) : sizeof buffer;
            const ssize_t n = ::read(c, buffer, room);
            if (n <= 0)
                break;
            taken += static_cast<std::size_t>(n);
            {
                std::lock_guard lock(mutex_);
                received_.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t at; (at = received_.find("Status?", answered)) != std::string::npos;) {
                    answered = at + 7;
                    const ssize_t ignored = ::write(c, "3030 ready", 10);
                    (void)ignored;
                }
            }
            if (closeAfter_ && taken >= closeAfter_ && stall_) {
                while (!stop_) // the printer takes nothing more, and keeps the connection
                    std::this_thread::sleep_for(50ms);
            }
            if (closeAfter_ && taken >= closeAfter_)
                break; // the printer drops the connection
        }
        ::close(c);
        ++finished_;
    }
}

PrivateScheduler::PrivateScheduler(const std::string& dir, const std::string& serverBin,
                                   const std::string& dataDir)
    : dir_(dir) {
    for (const char* sub : {"conf", "log", "spool", "spool/tmp", "cache", "state"})
        fs::create_directories(dir + "/" + sub);
    socket_ = dir + "/cupsd.sock";
    const int port = freeLoopbackPort();
    writeWholeFile(dir + "/conf/cupsd.conf", "Listen " + socket_ +
                                                 "\nListen 127.0.0.1:" + std::to_string(port) +
                                                 "\nLogLevel debug\nBrowsing Off\nWebInterface No\n"
                                                 "DefaultAuthType None\n<Location />\nOrder Allow,Deny\n"
                                                 "Allow all\n</Location>\n<Policy default>\n<Limit All>\n"
                                                 "Order Deny,Allow\n</Limit>\n</Policy>\n");
    writeWholeFile(dir + "/conf/cups-files.conf",
                   "ServerRoot " + dir + "/conf\nServerBin " + serverBin + "\nDataDir " + dataDir +
                       "\nRequestRoot " + dir + "/spool\nTempDir " + dir + "/spool/tmp\nCacheDir " + dir +
                       "/cache\nStateDir " + dir + "/state\nAccessLog " + dir + "/log/access_log\nErrorLog " +
                       dir + "/log/error_log\nPageLog " + dir + "/log/page_log\nPrintcap " + dir +
                       "/printcap\nFileDevice No\nUser lp\nGroup lp\nSystemGroup root\n");
    const std::string conf = dir + "/conf/cupsd.conf";
    const std::string files = dir + "/conf/cups-files.conf";
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

PrivateScheduler::~PrivateScheduler() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(50ms);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
}

bool PrivateScheduler::ready() {
    for (int i = 0; i < 100; ++i) {
        const int s = ::socket(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

std::pair<int, std::string> PrivateScheduler::run(const std::string& command) const {
    return shell("CUPS_SERVER='" + socket_ + "' " + command);
}

std::string PrivateScheduler::log() const {
    return readWholeFile(dir_ + "/log/error_log");
}

std::string PrivateScheduler::pageLog() const {
    return readWholeFile(dir_ + "/log/page_log");
}

} // namespace tbx::test
