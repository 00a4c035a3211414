#include "device/Snmp.h"

#include "device/SnmpDiscovery.h"
#include "platform/foundation/Print.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/select.h>

namespace tbx {

namespace {

// net-snmp's library state (initialisation, open sessions, pending requests)
// is process-wide; this lock keeps the layer's operations strictly serial.
std::mutex& operationLock() {
    static std::mutex lock;
    return lock;
}

SnmpSeams& seams() {
    static SnmpSeams current;
    return current;
}

constexpr std::size_t kMaxPeerText = 1023;
constexpr std::size_t kValueText = 200;
constexpr std::size_t kBroadcastText = 20;

constexpr const char* kDiscoveryObjects[] = {
    ".1.3.6.1.2.1.1.1.0",     // sysDescr.0
    ".1.3.6.1.2.1.1.2.0",     // sysObjectID.0
    ".1.3.6.1.2.1.2.2.1.6.1", // ifPhysAddress.1
};
constexpr oid kSysObjectId[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};

std::string clipped(std::string text) {
    if (text.size() > kMaxPeerText) {
        text.resize(kMaxPeerText);
    }
    return text;
}

// The peer name of a session: the address, with the agents' port when it is
// not the standard one.
std::string peerName(const char* address, std::uint16_t port) {
    std::string peer = address;
    if (port != SNMP_PORT) {
        peer += ":" + std::to_string(port);
    }
    return peer;
}

// Adds each object to a request with a null value; an identifier the library
// cannot parse is left out.
void addNullObject(netsnmp_pdu* pdu, const char* text) {
    oid name[MAX_OID_LEN];
    size_t length = MAX_OID_LEN;
    if (snmp_parse_oid(text, name, &length) != nullptr) {
        snmp_add_null_var(pdu, name, length);
    }
}

std::string printedObjectId(const oid* name, size_t count) {
    u_char* text = nullptr;
    size_t size = 0;
    size_t length = 0;
    sprint_realloc_objid(&text, &size, &length, 1, name, count);
    std::string result = text != nullptr ? std::string(reinterpret_cast<char*>(text), length) : std::string();
    std::free(text);
    return clipped(std::move(result));
}

// The library's value rendering follows process-wide output settings that a
// user's snmp.conf may change (quick printing drops the type word, a MIB's
// enumerations or hints change the value). While alive, the settings are the
// library's defaults, with enumerations as plain numbers.
class DefaultValueRendering {
public:
    DefaultValueRendering() {
        for (std::size_t i = 0; i < std::size(kFlags); ++i) {
            saved_[i] = netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, kFlags[i]);
            netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, kFlags[i],
                                   kFlags[i] == NETSNMP_DS_LIB_PRINT_NUMERIC_ENUM);
        }
        savedStringFormat_ = netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_STRING_OUTPUT_FORMAT);
        netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_STRING_OUTPUT_FORMAT, 0);
    }
    ~DefaultValueRendering() {
        for (std::size_t i = 0; i < std::size(kFlags); ++i) {
            netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, kFlags[i], saved_[i]);
        }
        netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_STRING_OUTPUT_FORMAT, savedStringFormat_);
    }
    DefaultValueRendering(const DefaultValueRendering&) = delete;
    DefaultValueRendering& operator=(const DefaultValueRendering&) = delete;

private:
    static constexpr int kFlags[] = {NETSNMP_DS_LIB_QUICK_PRINT,        NETSNMP_DS_LIB_QUICKE_PRINT,
                                     NETSNMP_DS_LIB_PRINT_BARE_VALUE,   NETSNMP_DS_LIB_ESCAPE_QUOTES,
                                     NETSNMP_DS_LIB_PRINT_NUMERIC_ENUM, NETSNMP_DS_LIB_PRINT_HEX_TEXT,
                                     NETSNMP_DS_LIB_DONT_PRINT_UNITS,   NETSNMP_DS_LIB_NUMERIC_TIMETICKS};
    int saved_[std::size(kFlags)] = {};
    int savedStringFormat_ = 0;
};

// One answered value as text, the type word first ("STRING: \"3004,cover\"",
// "INTEGER: 57"), at most kValueText - 1 characters. Strings and integers are
// written from their typed value, so the same answer always reads the same: a
// string keeps its bytes as they are (UTF-8 text is not turned into a hex
// dump); other types take the library's default rendering.
std::string renderedValue(const netsnmp_variable_list* var) {
    std::string text;
    if (var->type == ASN_OCTET_STR && (var->val.string != nullptr || var->val_len == 0)) {
        text =
            "STRING: \"" + std::string(reinterpret_cast<const char*>(var->val.string), var->val_len) + "\"";
    } else if (var->type == ASN_INTEGER && var->val.integer != nullptr) {
        text = "INTEGER: " + std::to_string(*var->val.integer);
    } else {
        DefaultValueRendering defaults;
        char value[kValueText] = {};
        snprint_value(value, sizeof value - 1, var->name, var->name_length, var);
        text = value;
    }
    if (text.size() > kValueText - 1) {
        text.resize(kValueText - 1);
    }
    return text;
}

// Appends one record per responder, each only when it fits whole together with
// the terminating zero.
void appendRecords(char* buffer, std::size_t capacity, const SnmpDiscoveryContext& context) {
    std::size_t used = strnlen(buffer, capacity);
    if (used == capacity) {
        print("snmp result buffer is not terminated, no record appended");
        return;
    }
    for (const SnmpPeer* peer = context.detect.get(); peer != nullptr; peer = peer->next.get()) {
        const std::string record = peer->ip_addr + "," + peer->oid + "|";
        if (used + record.size() >= capacity) {
            printFormat("snmp result buffer full, record of %s dropped\n", peer->ip_addr.c_str());
            continue;
        }
        std::memcpy(buffer + used, record.data(), record.size());
        used += record.size();
        buffer[used] = '\0';
    }
}

// Listens on the session's socket for `window`, handing every datagram that
// arrives to the library (which calls the response callback) and letting it
// retransmit when its timer runs out.
void readAnswers(std::chrono::milliseconds window) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + window;
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return;
        }
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        int fds = 0;
        fd_set readable;
        FD_ZERO(&readable);
        timeval timeout{0, static_cast<suseconds_t>(std::min<long long>(125000, remaining))};
        int block = 0;
        snmp_select_info(&fds, &readable, &timeout, &block);
        const int ready = select(fds, &readable, nullptr, nullptr, &timeout);
        if (ready > 0) {
            snmp_read(&readable);
        } else if (ready == 0) {
            snmp_timeout();
        } else if (errno != EINTR) {
            std::perror("select");
            return;
        }
    }
}

int detectOneSubNetLocked(char* buffer, std::size_t capacity, const char* broadcast) {
    const SnmpSeams& current = seams();
    init_snmp("snmpapp");
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    printFormat("brocast sub net ip = %s\n", broadcast);
    std::string community = kSnmpCommunity;
    session.community = reinterpret_cast<u_char*>(community.data());
    session.community_len = community.size();
    std::string peer = peerName(broadcast, current.port);
    session.peername = peer.data();
    session.flags |= SNMP_FLAGS_UDP_BROADCAST;
    SnmpDiscoveryContext context;
    session.callback = mc_network_discovery_cb;
    session.callback_magic = &context;

    netsnmp_session* open = snmp_open(&session);
    if (open == nullptr) {
        snmp_sess_perror("ack", &session);
        return -1;
    }
    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
    for (const char* object : kDiscoveryObjects) {
        addNullObject(request, object);
    }
    if (snmp_send(open, request) == 0) {
        printRaw(" send snmp request error ++++++++++++++++++++++++++++++++++++++++++\n");
        snmp_free_pdu(request);
        snmp_close(open);
        return -1;
    }
    for (int pass = 0; pass < 2; ++pass) {
        printFormat("    loop=%d\n", pass);
        readAnswers(current.passWindow);
    }
    appendRecords(buffer, capacity, context);
    // Closing may still call the callback for the pending request, so the
    // context outlives the session.
    snmp_close(open);
    return 0;
}

} // namespace

SnmpDiscoveryContext::~SnmpDiscoveryContext() {
    std::unique_ptr<SnmpPeer> peer = std::move(detect);
    while (peer) {
        peer = std::move(peer->next);
    }
}

std::string ip2brocast(const char* ip) {
    // The result keeps to a 20-byte text: at most 16 characters, "255", zero.
    constexpr std::size_t kPrefixMax = kBroadcastText - 4;
    std::string prefix;
    int dots = 0;
    for (const char* c = ip; c != nullptr && *c != '\0' && prefix.size() < kPrefixMax; ++c) {
        prefix += *c;
        if (*c == '.' && ++dots == 3) {
            break;
        }
    }
    return prefix + "255";
}

int mc_network_discovery_cb(int operation, netsnmp_session*, int, netsnmp_pdu* response, void* context) {
    printRaw(" execute in function mc_network_discovery_cb +++++++++++++++++");
    if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || context == nullptr) {
        return 0;
    }
    auto* discovery = static_cast<SnmpDiscoveryContext*>(context);
    discovery->count += mc_network_discovery_handle(response, discovery);
    printFormat(" add %d printer", discovery->count);
    return 0;
}

int mc_network_discovery_handle(netsnmp_pdu* response, SnmpDiscoveryContext* context) {
    if (response == nullptr || context == nullptr || response->transport_data == nullptr ||
        response->transport_data_length < static_cast<int>(sizeof(netsnmp_indexed_addr_pair))) {
        printRaw(" responder == NULL\n");
        return 0;
    }
    const auto* addresses = static_cast<const netsnmp_indexed_addr_pair*>(response->transport_data);
    if (addresses->remote_addr.sa.sa_family != AF_INET) {
        printRaw(" responder == NULL\n");
        return 0;
    }
    char address[kMaxPeerText + 1] = {};
    inet_ntop(AF_INET, &addresses->remote_addr.sin.sin_addr, address, sizeof address);
    printFormat("ip_addr = %s \n", address);

    if (!context->detect) {
        printRaw("magic->detect is null\n");
    } else {
        for (const SnmpPeer* peer = context->detect.get(); peer != nullptr; peer = peer->next.get()) {
            if (peer->ip_addr == address) {
                printFormat("ip %s  is already handled!", address);
                return 0;
            }
        }
    }

    const netsnmp_variable_list* objectId = nullptr;
    for (const netsnmp_variable_list* var = response->variables; var != nullptr; var = var->next_variable) {
        if (snmp_oid_compare(var->name, var->name_length, kSysObjectId, OID_LENGTH(kSysObjectId)) == 0) {
            objectId = var;
            break;
        }
    }
    if (objectId == nullptr) {
        // Without a sysObjectID there is nothing to identify the device by.
        printFormat("device %s sent no sysObjectID\n", address);
        return 0;
    }
    if (objectId->type != ASN_OBJECT_ID || objectId->val.objid == nullptr) {
        return 0;
    }
    const std::string printed = printedObjectId(objectId->val.objid, objectId->val_len / sizeof(oid));
    printFormat("device is : %s \n", printed.c_str());

    auto record = std::make_unique<SnmpPeer>();
    record->ip_addr = clipped(address);
    record->oid = printed;
    if (!context->detect) {
        printFormat("snmp_ip = %s\n", record->ip_addr.c_str());
        printFormat("oid = %s\n", record->oid.c_str());
        context->detect = std::move(record);
        return 1;
    }
    SnmpPeer* tail = context->detect.get();
    while (tail->next) {
        tail = tail->next.get();
        printFormat("in loop ip->ip_addr = %s\n", tail->ip_addr.c_str());
    }
    tail->next = std::move(record);
    return 1;
}

void prepareSnmp() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::lock_guard guard(operationLock());
        init_snmp("snmpapp");
    });
}

int detectOneSubNet(char* buffer, std::size_t capacity, const char* broadcast) {
    std::lock_guard guard(operationLock());
    return detectOneSubNetLocked(buffer, capacity, broadcast);
}

int autoDetectSNMPPrinters(char* buffer, std::size_t capacity) {
    std::lock_guard guard(operationLock());
    const SnmpSeams& current = seams();
    ifaddrs* list = nullptr;
    if (current.getInterfaces(&list) != 0) {
        std::perror("getifaddrs");
        return 0;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        // Linux lists interfaces without an address too.
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        char address[kBroadcastText] = {};
        const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &inet->sin_addr, address, sizeof address) == nullptr ||
            std::strcmp(address, "127.0.0.1") == 0) {
            continue;
        }
        printFormat("one ip of computer address : %s\n", address);
        const std::string broadcast = ip2brocast(address);
        detectOneSubNetLocked(buffer, capacity, broadcast.c_str());
    }
    if (list != nullptr) {
        current.freeInterfaces(list);
    }
    return 0;
}

void getPrinterStatusBySNMP(const char* ip, const char* oidText, char* out, std::size_t capacity) {
    std::lock_guard guard(operationLock());
    const SnmpSeams& current = seams();
    printFormat(" run in getPrinterStatusBySNMP  and ip =%s oid=%s\n", ip, oidText);
    init_snmp("snmpgetstatus");
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    std::string community = kSnmpCommunity;
    session.community = reinterpret_cast<u_char*>(community.data());
    session.community_len = community.size();
    std::string peer = peerName(ip, current.port);
    session.peername = peer.data();

    netsnmp_session* open = snmp_open(&session);
    if (open == nullptr) {
        snmp_sess_perror("ack", &session);
        return;
    }
    auto write = [&](const char* text) {
        if (capacity == 0) {
            return;
        }
        const std::size_t length = std::min(std::strlen(text), capacity - 1);
        std::memcpy(out, text, length);
        out[length] = '\0';
    };

    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
    addNullObject(request, oidText);
    netsnmp_pdu* response = nullptr;
    const int status = snmp_synch_response(open, request, &response);
    if (status == STAT_SUCCESS && response != nullptr && response->errstat == SNMP_ERR_NOERROR) {
        for (const netsnmp_variable_list* var = response->variables; var != nullptr;
             var = var->next_variable) {
            const std::string value = renderedValue(var);
            write(value.c_str());
            printFormat("get status info : %s\n", value.c_str());
        }
    } else {
        write("error");
        if (status == STAT_SUCCESS && response != nullptr) {
            printFormat("error in packet. and reason is :%s\n", snmp_errstring(response->errstat));
        } else if (status == STAT_TIMEOUT) {
            printRaw("error in timeout\n");
        } else {
            snmp_sess_perror("snmpgetstatus", open);
        }
    }
    if (response != nullptr) {
        snmp_free_pdu(response);
    }
    snmp_close(open);
}

void setSnmpSeams(SnmpSeams replacement) {
    std::lock_guard guard(operationLock());
    seams() = std::move(replacement);
}

void resetSnmpSeams() {
    setSnmpSeams(SnmpSeams{});
}

std::vector<SnmpDiscoveryRecord> snmpDiscoveryRecords(std::string_view text) {
    std::vector<SnmpDiscoveryRecord> records;
    while (!text.empty()) {
        const auto end = text.find('|');
        const std::string_view piece = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto comma = piece.find(',');
        if (comma == std::string_view::npos) {
            continue;
        }
        const std::string_view rest = piece.substr(comma + 1);
        records.push_back({piece.substr(0, comma), rest.substr(0, rest.find(','))});
    }
    return records;
}

} // namespace tbx
