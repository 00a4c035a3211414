// Stands in for the platform's Network framework client side: `NWConnection` to a host and port over TCP.
// Offers endpoints from text, states (setup, preparing, waiting/failed with an error, ready, cancelled)
// and send/receive completions delivered in order on the dispatch queue given to start, and cancel.
// Left out: UDP/QUIC, TLS, listeners, path monitoring, interface selection and message framers.
#pragma once

#include "platform/dispatch/Dispatch.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tbx::nw {

using Data = std::vector<std::byte>;

// A failure of the connection: a POSIX error number, or a name-resolution failure.
struct Error {
    enum class Domain { posix, dns };
    Domain domain = Domain::posix;
    int code = 0;
    // The error's own description, e.g. "POSIXErrorCode(rawValue: 111): Connection refused".
    std::string description() const;
    bool operator==(const Error&) const = default;
};

struct State {
    enum class Kind { setup, waiting, preparing, ready, failed, cancelled };
    Kind kind = Kind::setup;
    std::optional<Error> error; // waiting and failed only
    bool operator==(const State&) const = default;
};

struct Host {
    std::string name; // a host name or an address text
};

struct Port {
    std::uint16_t value = 0;
    // A decimal port number 0..65535 (digits only); absent otherwise.
    static std::optional<Port> fromText(std::string_view text);
};

enum class InterfaceType { other, wifi, cellular, wiredEthernet, loopback };

struct Parameters {
    // TCP with the stand-in's bounds.
    static Parameters tcp() { return {}; }
    // Kept for callers that set it; every connection uses the system's route.
    std::vector<InterfaceType> prohibitedInterfaceTypes;
    // How long one connect attempt may take before it counts as timed out.
    std::chrono::milliseconds connectTimeout{10'000};
    // Attempts before the connection fails; each failed attempt but the last is reported as
    // waiting (with its error) and retried after `retryDelay`.
    int connectAttempts = 3;
    std::chrono::milliseconds retryDelay{1'000};
};

enum class ContentContext { defaultMessage };

using StateHandler = std::function<void(const State&)>;
using ReceiveCompletion = std::function<void(std::optional<Data> data, ContentContext context,
                                             bool isComplete, std::optional<Error> error)>;
using SendCompletion = std::function<void(std::optional<Error> error)>;

// One TCP connection. States and completions run on the queue given to start(), in the order they
// happen. Sends and receives asked for before ready wait for it; those still pending at cancel (or
// after a failure) complete with the error (ECANCELED for cancel). After `cancelled` has been
// delivered the connection drops its handlers, which breaks cycles through captured owners.
class Connection {
public:
    Connection(Host host, Port port, Parameters parameters);
    ~Connection(); // cancels; the worker ends on its own once `cancelled` is posted
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setStateUpdateHandler(StateHandler handler);
    // Starts connecting; the first state delivered is setup. A second start is ignored.
    void start(dispatch::Queue queue);
    // Closes the connection; `cancelled` follows once. Later calls do nothing.
    void cancel();
    // Completes once at least `minimumIncompleteLength` bytes came (at most `maximumLength`), at the
    // end of the peer's data (isComplete, with what came before it), or with an error.
    void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                 ReceiveCompletion completion);
    // Writes all of `content` (no SIGPIPE); the completion reports the error when that failed.
    void send(Data content, ContentContext context, bool isComplete, SendCompletion completion);

    State state() const;
    const Host& host() const;
    const Port& port() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace tbx::nw
