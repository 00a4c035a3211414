// The maker's objects a printer of the model serves over SNMP, for SnmpAgents:
// its status text (the decimal status code, a comma and more text) and its
// toner level, and the sysObjectID of the model.
#pragma once

#include "tests/support/SnmpAgents.h"

#include <string>
#include <vector>

namespace tbx::test {

inline constexpr const char* kPrinterModelObjectId = ".1.3.6.1.4.1.53303.4.7.1.9";
inline constexpr const char* kPrinterStatusObject = ".1.3.6.1.4.1.53303.2.7.1.1";
inline constexpr const char* kPrinterTonerObject = ".1.3.6.1.4.1.53303.2.7.4.1";

// A printer agent serving `status` as an OCTET STRING and `toner` with the
// pass type `tonerType` ("integer" as the printers do); an empty `status` or
// `tonerType` leaves that object out (the agent then answers "No Such Object").
inline SnmpAgentSpec printerAgent(const std::string& status, const std::string& toner,
                                  const std::string& tonerType = "integer") {
    SnmpAgentSpec spec;
    spec.sysObjectID = kPrinterModelObjectId;
    spec.sysDescr = "Zelk Tamberlyx";
    if (!status.empty()) {
        spec.makerObjects.push_back({kPrinterStatusObject, "string", status});
    }
    if (!tonerType.empty()) {
        spec.makerObjects.push_back({kPrinterTonerObject, tonerType, toner});
    }
    return spec;
}

} // namespace tbx::test
