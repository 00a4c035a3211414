// The printer's side of the Wi-Fi command channel, for tests and the demo: it
// answers the five requests from settable records (its access point, its
// client-mode settings, the networks it sees), applies the bodies of
// "SetwifiAP=" and "SetwifiSTA=" to those records, and can be told to answer
// differently: scripted replies, busy ("1001"), "8011" a number of times before
// the network list, and broken answers (silence, short, NUL-padded, invalid
// UTF-8). The transports (UsbCommandPipes, TcpCommandPeer) only hand it bytes.
//
// Replies, with the default tails:
//   "Checkwifiserver?"  "8012,<count> networks;" name sep digit lines joined by CR LF ";"
//   "CheckwifiAP?"      "8014,ap;" name, code, password, ip, mask, gateway (CR LF)
//   "CheckwifiSTA?"     "8013,sta;" name, password, address type, ip, mask, gateway
//   "SetwifiAP=..."     "8004,SetwifiAP done" or "8005,SetwifiAP refused"
//   "SetwifiSTA=..."    "8002,SetwifiSTA done" or "8003,SetwifiSTA refused"
//   anything else       "8001,not in this mode"
// A write body is unescaped (0x01 "?", 0x02 ";") and split at CR LF; it is
// applied when it has the right field count (7 with "S" fourth, or 6 with "S"
// or "D" third). Every reply is at least 16 bytes, as the USB read asks for.
//
// Thread-safe: the TCP peer answers on its own thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tbx::sim {

struct AccessPointRecord {
    std::string name = "Tamberlyx-AP";
    std::string encryptCode = "6";
    std::string password = "12345678";
    std::string ip = "192.168.1.1";
    std::string mask = "255.255.255.0";
    std::string gateway = "192.168.1.1";
    bool operator==(const AccessPointRecord&) const = default;
};

struct ClientModeRecord {
    std::string name = "Office";
    std::string password = "office-pass";
    std::string ipSetType = "D";
    std::string ip = "0.0.0.0";
    std::string mask = "0.0.0.0";
    std::string gateway = "0.0.0.0";
    bool operator==(const ClientModeRecord&) const = default;
};

struct VisibleNetwork {
    std::string name;
    int signal = 0;
};

enum class Misbehaviour {
    none,
    silence,     // no reply at all
    shortReply,  // the reply cut to 15 bytes
    nulPadded,   // the reply followed by NUL bytes up to 64 bytes
    invalidUtf8, // bytes 0xFF 0xFE after the reply code
};

class CommandResponder {
public:
    using Bytes = std::vector<std::uint8_t>;

    void setAccessPoint(AccessPointRecord record);
    AccessPointRecord accessPoint() const;
    void setClientMode(ClientModeRecord record);
    ClientModeRecord clientMode() const;
    void setNetworks(std::vector<VisibleNetwork> networks);
    // The character between a network's name and its signal digit (default ",").
    void setListSeparator(std::string separator);
    // Answers the next `times` list requests with "8011" (-1: always).
    void setListNotReady(int times);
    // Answers every request with "1001" while set.
    void setBusy(bool busy);
    // The next requests get these replies, one each, whatever they ask.
    void queueReply(std::string reply);
    // Breaks the next `times` replies (-1: every reply until set to none).
    void setMisbehaviour(Misbehaviour misbehaviour, int times = -1);

    // The reply to one request; none for silence.
    std::optional<Bytes> answer(const Bytes& request);

    // Every request received, as sent (escaped bytes included).
    std::vector<std::string> requests() const;
    int requestCount() const;
    void clearRequests();

private:
    std::string reply(const std::string& request);
    std::string applyAccessPoint(const std::string& body);
    std::string applyClientMode(const std::string& body);

    mutable std::mutex mutex_;
    AccessPointRecord accessPoint_;
    ClientModeRecord clientMode_;
    std::vector<VisibleNetwork> networks_{{"Office", 7}, {"Guest", 3}, {"咖啡馆", 5}};
    std::string separator_ = ",";
    int listNotReady_ = 0;
    bool busy_ = false;
    std::deque<std::string> scripted_;
    Misbehaviour misbehaviour_ = Misbehaviour::none;
    int misbehaviourTimes_ = 0;
    std::vector<std::string> requests_;
};

} // namespace tbx::sim
