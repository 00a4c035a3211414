// Real SNMP peers for tests and the simulation tools: Debian's snmpd, started
// inside the private test hosts of scripts/sandbox (network namespaces
// tbxhost1..N), each behind a UDP relay on port 161 so that it can answer a
// subnet broadcast from the host's own address. Every process started here is
// stopped by its pid when the SnmpAgents object ends, and dies with the thread
// that started it should that thread end first (a killed program leaves no
// agent running): start agents from a thread that outlives them, such as the
// main thread. The temporary folders are named after the process that made
// them; those of a process that no longer runs are removed when the next
// folder is made.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tbx::sim {

// One private test host of the sandbox.
struct TestHost {
    std::string netns;   // "tbxhost1"
    std::string address; // "10.213.0.2"
};

// The hosts that scripts/sandbox --hosts N made ($TAMBERLYX_TEST_HOSTS).
std::vector<TestHost> sandboxTestHosts();

// Points net-snmp in this process at an empty configuration (no snmp.conf of
// the user or the system, no MIB files, persistent state in a private temporary
// folder). Call before the first SNMP operation; later calls do nothing.
void useEmptySnmpConfiguration();

// An object the agent serves through a pass script: the dotted identifier,
// the pass type word ("integer", "string", "objectid", "gauge", ...) and the value.
struct AgentObject {
    std::string oid;
    std::string type;
    std::string value;
};

struct SnmpAgentSpec {
    // The agent's sysObjectID.0, e.g. ".1.3.6.1.4.1.53303.4.7.1.9".
    std::string sysObjectID = ".1.3.6.1.4.1.53303.4.7.1.9";
    std::string sysDescr = "Tamberlyx test agent";
    // Objects under the maker's enterprise (.1.3.6.1.4.1.53303) served by a pass script.
    std::vector<AgentObject> makerObjects{};
    // When set, the agent's own system group is switched off and these objects
    // are served in its place (sysObjectID and sysDescr above are then unused),
    // e.g. a sysObjectID.0 that is not an object identifier.
    bool replaceSystemGroup = false;
    std::vector<AgentObject> systemObjects{};
    // The UDP port the host's relay listens on (the agents' standard port by default).
    unsigned relayPort = 161;
};

class SnmpAgents {
public:
    SnmpAgents();
    ~SnmpAgents();
    SnmpAgents(const SnmpAgents&) = delete;
    SnmpAgents& operator=(const SnmpAgents&) = delete;

    // Starts snmpd and its relay on the host and waits until both listen.
    // False when they do not come up; problem() then says why.
    bool start(const TestHost& host, const SnmpAgentSpec& spec = {});
    // Stops the agent and relay of one host.
    void stop(const TestHost& host);
    // The running agent of the host answers with these maker's objects from
    // now on; false when the host has no running agent.
    bool setMakerObjects(const TestHost& host, const std::vector<AgentObject>& objects);
    // The agent's log, for failure messages.
    std::string log(const TestHost& host) const;
    // Why the last start failed.
    const std::string& problem() const { return problem_; }
    // The processes started and not yet stopped.
    std::vector<pid_t> pids() const;

private:
    struct Agent {
        std::string netns;
        pid_t snmpd = -1;
        pid_t relay = -1;
        std::string logPath;
        std::string script;                     // the pass script it runs
        std::vector<AgentObject> systemObjects; // served beside the maker's objects
    };
    void stopAgent(Agent& agent);

    std::string problem_;
    std::string dir_;
    std::vector<Agent> agents_;
};

} // namespace tbx::sim
