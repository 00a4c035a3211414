// The parts of SNMP discovery that work on net-snmp's own records: the
// per-subnet responder list and the response handling. Only the SNMP layer and
// its tests include this header (it pulls in the net-snmp headers).
#pragma once

#include <cstdint>
#include <memory>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <string>

namespace tbx {

// One responder of a subnet discovery.
struct SnmpPeer {
    std::string ip_addr; // dotted IPv4, at most 1023 characters
    std::string oid;     // printed sysObjectID, at most 1023 characters
    std::unique_ptr<SnmpPeer> next;
};

// The callback context of one subnet discovery: responders handled so far and
// the list of distinct responders in the order of their first answer.
struct SnmpDiscoveryContext {
    std::int32_t count = 0;
    std::unique_ptr<SnmpPeer> detect;

    SnmpDiscoveryContext() = default;
    SnmpDiscoveryContext(const SnmpDiscoveryContext&) = delete;
    SnmpDiscoveryContext& operator=(const SnmpDiscoveryContext&) = delete;
    // Unlinks the list one record at a time (no deep recursion on long lists).
    ~SnmpDiscoveryContext();
};

// The response callback of the discovery session; `context` is the
// SnmpDiscoveryContext. Always answers 0 so the library keeps the broadcast
// request open for further responders.
int mc_network_discovery_cb(int operation, netsnmp_session* session, int reqid, netsnmp_pdu* response,
                            void* context);

// Adds the sender of `response` to the context's list when it is new on this
// subnet and its sysObjectID.0 is an object identifier. Returns 1 when it
// added a record, 0 otherwise.
int mc_network_discovery_handle(netsnmp_pdu* response, SnmpDiscoveryContext* context);

} // namespace tbx
