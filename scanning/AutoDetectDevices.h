// Discovery of the model's scanners: network scanners that answer the SNMP
// broadcast with a known model's sysObjectID, then the known models attached by
// USB. Runs synchronously on the caller's thread; the network part blocks for
// about four seconds per local IPv4 interface.
#pragma once

#include "scanning/Device.h"

#include <string_view>
#include <vector>

namespace tbx {

// The devices of getDeviceBySNMP() followed by those of getDeviceByIOUSB(),
// duplicates kept.
std::vector<Device> getDevicesList();

// Network discovery: one "Net" device per responder and known model.
std::vector<Device> getDeviceBySNMP();

// USB discovery: one "USB" device per registered USB device of a known model,
// in registry order.
std::vector<Device> getDeviceByIOUSB();

// The devices named by discovery text ("address,sysObjectID|" records): a
// record matches a model when its identifier text contains the model's `oid`.
std::vector<Device> devicesFromDiscoveryText(std::string_view text);

} // namespace tbx
