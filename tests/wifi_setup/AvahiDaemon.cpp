#include "tests/wifi_setup/AvahiDaemon.h"

#include "platform/posix/PosixIO.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tbx::test {
namespace {

using namespace std::chrono_literals;

const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@BUS@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

const char* kAvahiConfig = R"([server]
host-name=tamberlyx-browser-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
)";

std::string replaced(std::string text, const std::string& key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
    }
    return text;
}

// Starts `argv` with its output appended to `logPath`; 0 on failure.
pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

bool exited(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

// SIGTERM, a grace period, then SIGKILL; always reaped.
void stopProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    if (!exited(pid)) {
        ::kill(pid, SIGTERM);
        const auto until = std::chrono::steady_clock::now() + 3s;
        bool gone = false;
        while (!(gone = exited(pid)) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(20ms);
        }
        if (!gone) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    }
    pid = 0;
}

bool waitForFile(const std::string& path, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    struct stat info {};
    while (::stat(path.c_str(), &info) != 0) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Waits until the file at `path` holds `text`, at most `limit`. Nothing
// announces a line written to a log: the file is looked at every 20 ms.
bool waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (posix::readFile(path).bytes.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string makeFolder() {
    std::string pattern = "/tmp/tbx-avahi-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

} // namespace

AvahiDaemon::AvahiDaemon() : folder_(makeFolder()) {}

AvahiDaemon::~AvahiDaemon() {
    stop();
    if (!folder_.empty()) {
        for (const char* name : {"bus", "bus.conf", "avahi.conf", "log"}) {
            ::unlink((folder_ + "/" + name).c_str());
        }
        ::rmdir(folder_.c_str());
    }
}

bool AvahiDaemon::start() {
    if (folder_.empty()) {
        error_ = "no temporary folder";
        return false;
    }
    const std::string bus = folder_ + "/bus";
    std::ofstream(folder_ + "/bus.conf") << replaced(kBusConfig, "@BUS@", bus);
    std::ofstream(folder_ + "/avahi.conf") << kAvahiConfig;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    const std::string logPath = folder_ + "/log";
    bus_ =
        spawn({"dbus-daemon", "--config-file=" + folder_ + "/bus.conf", "--nofork", "--nopidfile"}, logPath);
    if (bus_ == 0 || !waitForFile(bus, 30s)) {
        error_ = "dbus-daemon did not start";
        return false;
    }
    // A fresh /run in a mount namespace of the daemon's own: its pid file and
    // socket never meet those of an Avahi daemon of the machine.
    const std::string script = "mount -t tmpfs tbx-avahi-run /run && mkdir -p /run/avahi-daemon && "
                               "exec avahi-daemon --no-chroot --no-drop-root --no-rlimits -f " +
                               folder_ + "/avahi.conf";
    daemon_ = spawn({"unshare", "--mount", "--propagation", "private", "sh", "-c", script}, logPath);
    // Clients that come before the daemon has taken its name on the bus are told
    // that it does not run: it is ready once it says so.
    if (daemon_ == 0 || !waitForText(logPath, "Server startup complete", 30s)) {
        error_ = "avahi-daemon did not start";
        return false;
    }
    return true;
}

pid_t AvahiDaemon::publish(const std::string& name, const std::string& type, int port) {
    const pid_t pid = spawn({"avahi-publish", "-s", name, type, std::to_string(port)}, folder_ + "/log");
    if (pid != 0) {
        publishers_.push_back(pid);
    }
    return pid;
}

void AvahiDaemon::withdraw(pid_t publisher) {
    for (pid_t& pid : publishers_) {
        if (pid == publisher) {
            stopProcess(pid);
        }
    }
}

void AvahiDaemon::stop() {
    for (pid_t& pid : publishers_) {
        stopProcess(pid);
    }
    publishers_.clear();
    stopProcess(daemon_);
    stopProcess(bus_);
}

std::string AvahiDaemon::log() const {
    return posix::readFile(folder_ + "/log").bytes;
}

void pointAtMissingBus(const std::string& folder) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + folder + "/no-bus-here").c_str(), 1);
}

} // namespace tbx::test
