// The SNMP layer: finds the model's devices by an SNMP v2c broadcast on every
// local IPv4 subnet, and reads single objects from one device. Plain functions
// over net-snmp; the library keeps process-wide state, so every operation here
// takes one process-wide lock and they run strictly one at a time.
//
// Results are plain text in buffers that the caller owns. Every function takes
// the buffer's capacity and never writes past it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ifaddrs.h>
#include <string>
#include <string_view>
#include <vector>

namespace tbx {

// The buffer size both applications hand to discovery.
inline constexpr std::size_t kSnmpDiscoveryBufferSize = 3000;
// The buffer size the status monitor hands to a single-object query.
inline constexpr std::size_t kSnmpStatusBufferSize = 300;
// The read community of the model's agents.
inline constexpr const char* kSnmpCommunity = "vantel";

// The broadcast text of the /24 subnet of a dotted IPv4 text: the characters up
// to and including the third "." followed by "255" ("10.0.5.77" -> "10.0.5.255").
// A text with fewer than three dots is kept whole and "255" is appended. The
// result never exceeds 19 characters: longer input is cut before "255".
std::string ip2brocast(const char* ip);

// Discovery on every non-loopback IPv4 interface, one after another (about four
// seconds each). Appends "address,sysObjectID|" per responder to the text
// already in `buffer` (which must be zero-terminated within `capacity`); a
// record that would not fit with the terminating zero is dropped whole.
// Returns 0.
int autoDetectSNMPPrinters(char* buffer, std::size_t capacity);

template <std::size_t N>
int autoDetectSNMPPrinters(char (&buffer)[N]) {
    return autoDetectSNMPPrinters(buffer, N);
}

// One "address,sysObjectID" record of a discovery text.
struct SnmpDiscoveryRecord {
    std::string_view ip;
    std::string_view objectId;
};

// The records of a discovery text in their order; empty pieces and pieces
// without a "," are skipped. The views point into `text`.
std::vector<SnmpDiscoveryRecord> snmpDiscoveryRecords(std::string_view text);

// Discovery on one subnet given its broadcast address text; appends like
// autoDetectSNMPPrinters. Returns 0, or -1 when the session cannot be opened
// or the request cannot be sent.
int detectOneSubNet(char* buffer, std::size_t capacity, const char* broadcast);

// One GET of `oid` (dotted text) from `ip`. Writes the printed value (the type
// word, ": ", the value; a string in double quotes with its bytes as they are),
// the same whatever the user's net-snmp output settings, or
// "error", to the start of `out`, cut to capacity - 1 characters and followed by
// a zero. Leaves `out` untouched when no session can be opened.
void getPrinterStatusBySNMP(const char* ip, const char* oid, char* out, std::size_t capacity);

template <std::size_t N>
void getPrinterStatusBySNMP(const char* ip, const char* oid, char (&out)[N]) {
    getPrinterStatusBySNMP(ip, oid, out, N);
}

// Loads net-snmp's configuration once per process, on the calling thread. The
// library sets the process locale while it loads, which must not happen on a
// worker while the window's thread reads the locale: a model calls this on its
// own thread before it hands SNMP work to a worker. Later calls return at once.
void prepareSnmp();

// What the layer reaches outside itself, replaceable by tests: the interface
// list, the agents' UDP port and how long each of the two read passes of a
// subnet discovery listens for answers.
struct SnmpSeams {
    std::function<int(ifaddrs**)> getInterfaces = ::getifaddrs;
    std::function<void(ifaddrs*)> freeInterfaces = ::freeifaddrs;
    std::uint16_t port = 161;
    std::chrono::milliseconds passWindow{2125};
};

// Replaces the seams (waits for a running operation to end first).
void setSnmpSeams(SnmpSeams seams);
// Back to the real interface list, port 161 and the full pass window.
void resetSnmpSeams();

} // namespace tbx
