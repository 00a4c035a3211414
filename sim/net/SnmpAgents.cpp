#include "sim/net/SnmpAgents.h"

#include "platform/posix/PosixIO.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tbx::sim {

namespace {

using namespace std::chrono_literals;

// The port snmpd listens on inside its host, behind the relay on 161.
constexpr const char* kAgentPort = "1161";
constexpr const char* kAgentSocketHex = "0100007F:0489"; // 127.0.0.1:1161

// The fields of the stat line of process `pid` after its name (the first is
// field 3, its state), or the error number of the read: ENOENT or ESRCH when
// there is no such process (any more).
struct StatLine {
    std::vector<std::string> fields;
    int error = 0;
};
StatLine statLine(pid_t pid) {
    posix::FileContents stat = posix::readFile("/proc/" + std::to_string(pid) + "/stat");
    StatLine line;
    line.error = stat.error;
    const auto close = stat.bytes.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(stat.bytes.substr(close + 1));
        for (std::string field; rest >> field;) {
            line.fields.push_back(field);
        }
    }
    return line;
}

// When the process `pid` started (clock ticks after boot, field 22 of its stat
// line); none when it cannot be told. `gone` says there is no such process.
std::optional<unsigned long long> startTime(pid_t pid, bool* gone = nullptr) {
    const StatLine line = statLine(pid);
    if (gone != nullptr) {
        *gone = line.error == ENOENT || line.error == ESRCH;
    }
    if (line.fields.size() < 22 - 2) {
        return std::nullopt;
    }
    const std::string& field = line.fields[22 - 3];
    char* end = nullptr;
    const unsigned long long ticks = std::strtoull(field.c_str(), &end, 10);
    if (field.empty() || *end != '\0') {
        return std::nullopt;
    }
    return ticks;
}

// The folders are named "<stem><pid>.<start time>-XXXXXX" after the process
// that made them. A process that ends without removing its folders (killed,
// say) leaves them to the next one: folders of this stem whose maker no longer
// runs are removed before a new one is made. The start time tells a maker
// apart from a later process that got the same pid. A folder whose maker
// cannot be told gone (its stat line unreadable for another reason) stays.
// (Tests that start agents each run in a sandbox with a TMPDIR of their own,
// so no test sweeps another's folders.)
void removeStaleDirs(const std::string& base, const std::string& stem) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(stem, 0) != 0) {
            continue;
        }
        unsigned long long pid = 0;
        unsigned long long started = 0;
        int used = 0;
        if (std::sscanf(name.c_str() + stem.size(), "%llu.%llu-%n", &pid, &started, &used) != 2 ||
            used == 0 || name.size() != stem.size() + std::size_t(used) + 6) {
            continue; // not named by this scheme
        }
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
            continue;
        }
        bool gone = false;
        const auto makerStarted = startTime(pid_t(pid), &gone);
        if (gone || (makerStarted && *makerStarted != started)) {
            std::filesystem::remove_all(entry.path(), error);
        }
    }
}

// A new private folder named after this process, or empty (with the reason
// in `problem`). Stale folders of the same stem go first. Without its own
// start time, the folder gets a name outside the scheme, which no sweep takes
// for stale (a later process could not tell it from a folder of its maker).
std::string makeTempDir(const std::string& stem, std::string& problem) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    removeStaleDirs(base, stem);
    const auto started = startTime(getpid());
    std::string pattern = base + "/" + stem +
                          (started ? std::to_string(getpid()) + "." + std::to_string(*started) + "-" : "") +
                          "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        problem = std::string("mkdtemp failed: ") + std::strerror(errno);
        return {};
    }
    return pattern;
}

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// A single-quoted shell word.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// A pass script answering GETs of the given objects (and nothing else).
std::string passScript(const std::vector<AgentObject>& objects) {
    std::string script = "#!/bin/sh\n[ \"$1\" = \"-g\" ] || exit 0\ncase \"$2\" in\n";
    for (const auto& object : objects) {
        script += shellQuoted(object.oid) + ") printf '%s\\n%s\\n%s\\n' \"$2\" " + shellQuoted(object.type) +
                  " " + shellQuoted(object.value) + " ;;\n";
    }
    return script + "esac\n";
}

// Starts `argv` in the network namespace `netns`, output to `logPath`; -1
// (with the reason in `problem`) when it cannot.
pid_t spawnInHost(const std::string& netns, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env, const std::string& logPath, std::string& problem) {
    const std::string nsPath = "/run/netns/" + netns;
    const int nsFd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) {
        problem = "cannot open " + nsPath + ": " + std::strerror(errno);
        return -1;
    }
    const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. The child dies
        // with the thread that forked it, so a killed tool leaves no agent
        // behind; if that happened before the signal was asked for, it ends.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
            _exit(126);
        }
        if (setns(nsFd, CLONE_NEWNET) != 0) {
            _exit(126);
        }
        dup2(nullFd, 0);
        dup2(logFd, 1);
        dup2(logFd, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(nsFd);
    close(logFd);
    close(nullFd);
    if (pid < 0) {
        problem = std::string("fork failed: ") + std::strerror(errno);
    }
    return pid;
}

// True when the process (in its own network namespace) has a UDP socket bound
// to the given local address.
bool listensOn(pid_t pid, const char* localHex) {
    std::istringstream table(posix::readFile("/proc/" + std::to_string(pid) + "/net/udp").bytes);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local == localHex) {
            return true;
        }
    }
    return false;
}

// True when the child has ended; it is left to be reaped (its pid stays ours).
bool ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// The pids of the children of `parent` (the relay forks one per datagram).
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) {
            continue;
        }
        // A process that ends meanwhile has no stat line: not a child any more.
        const StatLine line = statLine(pid);
        if (line.fields.size() >= 2 && std::atoi(line.fields[1].c_str()) == parent) {
            children.push_back(pid);
        }
    }
    closedir(proc);
    return children;
}

// SIGTERM, then SIGKILL after a grace period of 5 s; reaps the child. Its
// pidfd turns readable when it ends.
void terminate(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    const posix::UniqueFd process(int(syscall(SYS_pidfd_open, pid, 0)));
    kill(pid, SIGTERM);
    if (!process || posix::waitReady(process.get(), POLLIN, posix::deadlineIn(5s)) != 1) {
        kill(pid, SIGKILL);
    }
    waitpid(pid, nullptr, 0);
}

struct EmptyConfiguration {
    std::string problem;
    std::string dir;
    EmptyConfiguration() : dir(makeTempDir("tbx-snmpconf-", problem)) {
        if (dir.empty()) {
            return; // net-snmp then reads its usual configuration
        }
        std::filesystem::create_directories(dir + "/conf");
        std::filesystem::create_directories(dir + "/mibs");
        std::filesystem::create_directories(dir + "/persist");
        setenv("SNMPCONFPATH", (dir + "/conf").c_str(), 1);
        setenv("SNMP_PERSISTENT_DIR", (dir + "/persist").c_str(), 1);
        setenv("MIBDIRS", (dir + "/mibs").c_str(), 1);
        setenv("MIBS", "", 1);
    }
    ~EmptyConfiguration() {
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
};

} // namespace

std::vector<TestHost> sandboxTestHosts() {
    std::vector<TestHost> hosts;
    const char* list = std::getenv("TAMBERLYX_TEST_HOSTS");
    std::istringstream entries(list != nullptr ? list : "");
    std::string entry;
    while (entries >> entry) {
        const auto equals = entry.find('=');
        if (equals != std::string::npos) {
            hosts.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
        }
    }
    return hosts;
}

void useEmptySnmpConfiguration() {
    static EmptyConfiguration configuration;
}

SnmpAgents::SnmpAgents() : dir_(makeTempDir("tbx-snmpd-", problem_)) {
    if (!dir_.empty()) {
        std::filesystem::create_directories(dir_ + "/mibs");
        std::filesystem::create_directories(dir_ + "/conf");
    }
}

SnmpAgents::~SnmpAgents() {
    for (auto& agent : agents_) {
        stopAgent(agent);
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool SnmpAgents::start(const TestHost& host, const SnmpAgentSpec& spec) {
    if (dir_.empty()) {
        return false; // problem_ says why the folder is missing
    }
    const std::string base = dir_ + "/" + host.netns;
    std::filesystem::create_directories(base + "/persist");
    const std::string script = base + "/pass.sh";
    std::vector<AgentObject> served = spec.makerObjects;
    served.insert(served.end(), spec.systemObjects.begin(), spec.systemObjects.end());
    writeFile(script, passScript(served), 0755);

    std::string config = std::string("agentaddress udp:127.0.0.1:") + kAgentPort + "\n" +
                         "rocommunity vantel\n" + "pass .1.3.6.1.4.1.53303 " + script + "\n";
    std::vector<std::string> argv = {"/usr/sbin/snmpd",  "-f", "-C", "-r", "-c", base + "/snmpd.conf", "-Lf",
                                     base + "/snmpd.log"};
    if (spec.replaceSystemGroup) {
        config += "pass .1.3.6.1.2.1.1 " + script + "\n";
        argv.insert(argv.end(), {"-I", "-system_mib"});
    } else {
        config += "sysobjectid " + spec.sysObjectID + "\n" + "sysdescr " + spec.sysDescr + "\n";
    }
    writeFile(base + "/snmpd.conf", config);
    const std::vector<std::string> env = {
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
        "SNMP_PERSISTENT_DIR=" + base + "/persist",
        "SNMPCONFPATH=" + dir_ + "/conf",
        "MIBDIRS=" + dir_ + "/mibs",
        "MIBS=",
    };

    Agent agent{host.netns, -1, -1, base + "/snmpd.log", script, spec.systemObjects};
    agent.snmpd = spawnInHost(host.netns, argv, env, base + "/snmpd.out", problem_);
    agent.relay = spawnInHost(host.netns,
                              {"/usr/bin/socat", "-T", "1",
                               "UDP4-RECVFROM:" + std::to_string(spec.relayPort) + ",reuseaddr,fork",
                               std::string("UDP4:127.0.0.1:") + kAgentPort},
                              env, base + "/relay.out", problem_);
    agents_.push_back(agent);
    if (agent.snmpd < 0 || agent.relay < 0) {
        return false;
    }
    char relaySocket[16];
    std::snprintf(relaySocket, sizeof relaySocket, "00000000:%04X", spec.relayPort & 0xFFFFu);
    // Nothing announces a bound socket: the tables are looked at every 20 ms, for
    // as long as a loaded machine may take to start both.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (listensOn(agent.snmpd, kAgentSocketHex) && listensOn(agent.relay, relaySocket)) {
            return true;
        }
        if (ended(agent.snmpd) || ended(agent.relay)) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    problem_ = "snmpd or its relay did not come up on " + host.netns + "; log:\n" + log(host);
    return false;
}

bool SnmpAgents::setMakerObjects(const TestHost& host, const std::vector<AgentObject>& objects) {
    for (const auto& agent : agents_) {
        if (agent.netns == host.netns && agent.snmpd > 0) {
            // The agent runs the script anew for each request: a renamed new one
            // answers every request after it, and no request sees half a script.
            std::vector<AgentObject> served = objects;
            served.insert(served.end(), agent.systemObjects.begin(), agent.systemObjects.end());
            const std::string next = agent.script + ".next";
            writeFile(next, passScript(served), 0755);
            return std::rename(next.c_str(), agent.script.c_str()) == 0;
        }
    }
    return false;
}

std::vector<pid_t> SnmpAgents::pids() const {
    std::vector<pid_t> running;
    for (const auto& agent : agents_) {
        for (pid_t pid : {agent.snmpd, agent.relay}) {
            if (pid > 0) {
                running.push_back(pid);
            }
        }
    }
    return running;
}

void SnmpAgents::stop(const TestHost& host) {
    for (auto& agent : agents_) {
        if (agent.netns == host.netns) {
            stopAgent(agent);
        }
    }
}

std::string SnmpAgents::log(const TestHost& host) const {
    for (const auto& agent : agents_) {
        if (agent.netns == host.netns) {
            return posix::readFile(agent.logPath).bytes;
        }
    }
    return {};
}

void SnmpAgents::stopAgent(Agent& agent) {
    if (agent.relay > 0) {
        // Held still while its per-datagram children are listed, so none is
        // missed; each is stopped by its pid.
        kill(agent.relay, SIGSTOP);
        for (pid_t child : childrenOf(agent.relay)) {
            kill(child, SIGKILL);
        }
        kill(agent.relay, SIGKILL);
        waitpid(agent.relay, nullptr, 0);
        agent.relay = -1;
    }
    terminate(agent.snmpd);
    agent.snmpd = -1;
}

} // namespace tbx::sim
