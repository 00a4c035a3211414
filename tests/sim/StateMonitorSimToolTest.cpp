// tamberlyx-statemonitor-sim as a person uses it: the window comes up with both
// simulated printers, commands typed on standard input show in the status it
// follows (a line too long for a command is refused whole), and `quit` or a
// signal stops it together with the snmpd agent and relay it started; killed
// outright it takes them along, and its next start clears the folders it left.
// It refuses bad options and a run outside the sandbox. Each case runs in a
// sandbox of its own, whose TMPDIR no other test sees or sweeps.
#include "platform/posix/PosixIO.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The tool as a child process: its standard input is ours to write, its
// standard output and error are read together.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args, const std::vector<std::string>& unset = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<char*> argv{const_cast<char*>(TBX_STATEMONITOR_SIM_PROGRAM)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            for (const auto& name : unset) {
                unsetenv(name.c_str());
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Tool() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(in_);
        close(out_);
    }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        EXPECT_EQ(write(in_, text.data(), text.size()), ssize_t(text.size()));
    }

    // Reads output until it holds `text` after the part already matched.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto found = output_.find(text, matched_);
            if (found != std::string::npos) {
                matched_ = found + text.size();
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !readSome(left)) {
                return false;
            }
        }
    }

    // Waits for the tool to end and answers its exit status (-1 when it did not end).
    int finish(std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                while (readSome(10ms)) {
                }
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            readSome(20ms);
        }
        return -1;
    }

    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

private:
    bool readSome(std::chrono::milliseconds timeout) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, int(timeout.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        output_.append(chunk, std::size_t(n));
        return true;
    }

    pid_t pid_ = -1;
    int status_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string output_;
    std::size_t matched_ = 0;
};

// The agent's and relay's pids from the tool's "network printer: ... (pids A B)" line.
std::vector<pid_t> agentPids(const std::string& output) {
    std::vector<pid_t> pids;
    const auto at = output.find("(pids ");
    if (at == std::string::npos) {
        return pids;
    }
    std::istringstream in(output.substr(at + 6, output.find(')', at) - at - 6));
    for (pid_t pid; in >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

// A process that has ended but is not yet reaped by its new parent counts as gone.
bool running(pid_t pid) {
    const std::string text = tbx::posix::readFile("/proc/" + std::to_string(pid) + "/stat").bytes;
    const auto close = text.rfind(") ");
    return close != std::string::npos && text.substr(close + 2, 1) != "Z";
}

// True when every one of `pids` has ended within `within` (ended but not yet
// reaped counts as ended): each one's pidfd turns readable when it ends.
bool allGone(const std::vector<pid_t>& pids, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (const pid_t pid : pids) {
        const tbx::posix::UniqueFd process(int(::syscall(SYS_pidfd_open, pid, 0)));
        if (!process) {
            if (errno == ESRCH) {
                continue; // ended and reaped already
            }
            ADD_FAILURE() << "pidfd_open " << pid << ": " << std::strerror(errno);
            return false;
        }
        if (tbx::posix::waitReady(process.get(), POLLIN, deadline) != 1) {
            return false;
        }
    }
    return true;
}

// The temporary folders that the tool with this pid made (named after it).
std::vector<std::string> foldersOf(pid_t pid) {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(base)) {
        const std::string name = entry.path().filename().string();
        for (const char* stem : {"tbx-snmpd-", "tbx-snmpconf-"}) {
            if (name.rfind(stem + std::to_string(pid) + ".", 0) == 0) {
                found.push_back(name);
            }
        }
    }
    return found;
}

} // namespace

TEST(StateMonitorSimTool, CommandsShowInTheWindowsStatusAndQuitStopsTheAgent) {
    Tool tool({"--interval", "0.3"});
    ASSERT_TRUE(tool.waitFor("network printer: snmpd at 10.213.0.2 (pids")) << tool.output();
    ASSERT_TRUE(tool.waitFor(")\n"));
    const std::vector<pid_t> agents = agentPids(tool.output());
    ASSERT_EQ(agents.size(), 2u) << tool.output();
    for (const pid_t pid : agents) {
        EXPECT_TRUE(running(pid)) << pid;
    }
    ASSERT_TRUE(tool.waitFor("[list] Tamberlyx(USB) Tamberlyx(10.213.0.2)", 60s)) << tool.output();
    ASSERT_TRUE(tool.waitFor("[status] 1 就绪 /  / 80%")) << tool.output();

    const struct {
        std::string command;
        std::string shows;
    } steps[] = {
        {"code 2017", "[status] 2 纸量较少 / 请添加纸张 / 80%"},
        {"toner 33", "[status] 2 纸量较少 / 请添加纸张 / 33%"},
        {"unplug", "[status] 3 连接断开 / 请检查设备的连接情况 / 33%"},
        {"plug", "[status] 2 纸量较少 / 请添加纸张 / 33%"},
        {"net code 3004", "network printer: status code 3004"},
        {"code nine", R"(code must be a whole number from 0 to 65535, not "nine")"},
        // Its tail is no command of its own; the tool runs on (`quit` below ends it).
        {std::string(4608, 'x') + " quit",
         "refused a line of 4613 bytes: a command is at most 4096 bytes long\n"},
        {"toner 34", "[status] 2 纸量较少 / 请添加纸张 / 34%"},
        {"bogus\x1b[2J\x07", "unknown command \"bogus\\x1b[2J\\x07\" (type help)\n"},
    };
    for (const auto& step : steps) {
        tool.send(step.command);
        EXPECT_TRUE(tool.waitFor(step.shows)) << step.command << "\n" << tool.output();
    }
    tool.send("quit");
    EXPECT_EQ(tool.finish(), 0) << tool.output();
    EXPECT_NE(tool.output().find("stopped"), std::string::npos);
    for (const pid_t pid : agents) {
        EXPECT_FALSE(running(pid)) << pid;
    }
}

// However the tool ends, its agents go with it: a signal stops them on the way out (and the tool
// removes its folders); killed outright, it takes them along (the kernel ends them with it: 10 s
// leaves a loaded machine room and still catches agents that outlive it), and the next start
// removes the folders it left.
TEST(StateMonitorSimTool, ItsAgentsEndWithItHoweverItEnds) {
    const struct {
        int signal;
        int status;
        std::chrono::milliseconds agentsGoneWithin;
        bool foldersLeft;
    } cases[] = {
        {SIGTERM, 0, 0ms, false},
        {SIGKILL, 128 + SIGKILL, 10s, true},
    };
    pid_t killed = -1;
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        Tool tool({});
        ASSERT_TRUE(tool.waitFor("[list] Tamberlyx(USB) Tamberlyx(10.213.0.2)", 60s)) << tool.output();
        const std::vector<pid_t> agents = agentPids(tool.output());
        ASSERT_EQ(agents.size(), 2u) << tool.output();
        kill(tool.pid(), c.signal);
        EXPECT_EQ(tool.finish(), c.status) << tool.output();
        EXPECT_TRUE(allGone(agents, c.agentsGoneWithin));
        EXPECT_EQ(foldersOf(tool.pid()).empty(), !c.foldersLeft);
        killed = c.signal == SIGKILL ? tool.pid() : killed;
    }
    Tool next({});
    ASSERT_TRUE(next.waitFor("network printer: snmpd at", 60s)) << next.output();
    EXPECT_EQ(foldersOf(killed), std::vector<std::string>{});
    next.send("quit");
    EXPECT_EQ(next.finish(), 0) << next.output();
    EXPECT_EQ(foldersOf(next.pid()), std::vector<std::string>{}); // a tool that ends removes its own
}

TEST(StateMonitorSimTool, RefusesBadOptionsAndRunsOnlyInTheSandbox) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> unset;
        int status;
        const char* says;
    } cases[] = {
        {{"--interval", "nan"},
         {},
         2,
         "--interval must be a number of seconds from 0.1 to 3600, not \"nan\"\n"},
        {{"--interval"}, {}, 2, "--interval must be a number of seconds from 0.1 to 3600\n"},
        {{"--bogus"}, {}, 2, "unknown option --bogus (see --help)\n"},
        {{}, {"TAMBERLYX_SANDBOX"}, 2, "run it through scripts/sandbox\n"},
        {{"--help"}, {}, 0, "quit              close the window and stop\n"},
    };
    for (const auto& c : cases) {
        Tool tool(c.args, c.unset);
        EXPECT_EQ(tool.finish(), c.status) << testing::PrintToString(c.args);
        const std::string& out = tool.output();
        const std::string says = c.says;
        EXPECT_TRUE(out.size() >= says.size() &&
                    out.compare(out.size() - says.size(), says.size(), says) == 0)
            << testing::PrintToString(c.args) << "\n"
            << out;
        if (c.status != 0) {
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        }
    }
}
