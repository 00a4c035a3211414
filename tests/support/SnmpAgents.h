// Real SNMP peers for tests (sim/net/SnmpAgents.h): an agent that does not
// come up fails the current test.
#pragma once

#include "sim/net/SnmpAgents.h"

#include <gtest/gtest.h>

namespace tbx::test {

using sim::AgentObject;
using sim::sandboxTestHosts;
using sim::SnmpAgentSpec;
using sim::TestHost;
using sim::useEmptySnmpConfiguration;

class SnmpAgents : public sim::SnmpAgents {
public:
    // Starts snmpd and its relay on the host and waits until both listen.
    // Fails the current test (and returns false) when they do not come up.
    bool start(const TestHost& host, const SnmpAgentSpec& spec = {}) {
        if (sim::SnmpAgents::start(host, spec)) {
            return true;
        }
        ADD_FAILURE() << problem();
        return false;
    }
};

} // namespace tbx::test
