#pragma once

// Debian's own CUPS around the filter, kept inside a test's temporary folder: a server-binary
// folder and a data folder of the test's own (the system's programs and files linked, this build's
// filter and PPD copied, nothing ever written through a link into the system), a private scheduler
// (cupsd on a socket in the folder and a loopback port, stopped by its pid), and a fake network
// printer on a loopback port that records what it is sent.

#include <atomic>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>

namespace tbx::test {

bool haveProgram(const char* path);

// Exit status and output (standard output and error) of a shell command.
std::pair<int, std::string> shell(const std::string& command);

// A PDF of the given pages of text, made by Ghostscript.
bool makePdf(const std::string& path, int pages);
// A PDF of the given pages each filled with a picture of pseudo-random grey: about 1.2 MB of job
// stream per page, more than the connection to a printer holds.
bool makeNoisePdf(const std::string& path, int pages);

// A server-binary folder as CUPS wants it (folders 0755, programs not writable by others): the
// system's filters, daemons and socket backend linked from systemServerBin, and filterProgram
// copied in as printfilter-tamberlyx. A system file of that name is never linked, so nothing
// written here can reach it.
void makeServerBin(const std::string& dir, const std::string& filterProgram,
                   const std::string& systemServerBin = "/usr/lib/cups");

// A data folder: every entry of systemDataDir linked, except "model", which is a folder of its
// own holding links to the system's models and a copy of modelFolder (as model/<its name>).
void makeDataDir(const std::string& dir, const std::string& modelFolder,
                 const std::string& systemDataDir = "/usr/share/cups");

// A printer on a loopback port: records everything it is sent and answers "Status?" with a ready
// code on the same connection. With closeAfter set it closes each connection once it has received
// that many bytes, as a printer that drops the connection mid-job; with stall as well it stops
// reading there instead and keeps the connection open (with a small receive buffer), as a printer
// with a paper jam.
class FakePrinter {
public:
    explicit FakePrinter(std::size_t closeAfter = 0, bool stall = false);
    ~FakePrinter();
    FakePrinter(const FakePrinter&) = delete;
    FakePrinter& operator=(const FakePrinter&) = delete;
    int port() const { return port_; }
    std::string received();
    int jobsFinished() const { return finished_; }

private:
    void serve();

    std::size_t closeAfter_;
    bool stall_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> finished_{0};
    std::mutex mutex_;
    std::string received_;
};

// A private scheduler: its own configuration, spool, cache, state and log folders under dir,
// the given server-binary and data folders, listening on a socket in dir and on a loopback port.
class PrivateScheduler {
public:
    PrivateScheduler(const std::string& dir, const std::string& serverBin, const std::string& dataDir);
    ~PrivateScheduler();
    PrivateScheduler(const PrivateScheduler&) = delete;
    PrivateScheduler& operator=(const PrivateScheduler&) = delete;

    // Waits until the scheduler accepts connections; false when it ended instead.
    bool ready();
    // A client command against this scheduler (CUPS_SERVER set to its socket).
    std::pair<int, std::string> run(const std::string& command) const;
    std::string log() const;
    std::string pageLog() const;

private:
    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
};

} // namespace tbx::test
