// Stands in for the Network framework's Bonjour browser (`NWBrowser` with a
// Bonjour browse descriptor): browses one DNS-SD service type through the Avahi
// daemon (libavahi-client on its own poll thread) and reports its state and the
// whole current result set on the dispatch queue given to start.
// Left out: TXT records, the changes' detail beyond added/removed, interface
// and protocol restrictions (peer-to-peer has no meaning here and is only kept).
#pragma once

#include "platform/dispatch/Dispatch.h"

#include <compare>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace tbx::nw {

// A failure of the browser: the Avahi error number and its text.
struct BrowserError {
    int code = 0;
    std::string text;
    // "<code>: <text>".
    std::string description() const;
    bool operator==(const BrowserError&) const = default;
};

// setup, ready, waiting(error), failed(error), cancelled.
struct BrowserState {
    enum class Kind { setup, ready, waiting, failed, cancelled };
    Kind kind = Kind::setup;
    std::optional<BrowserError> error;
    // "setup", "ready", "waiting(<error>)", "failed(<error>)", "cancelled".
    std::string description() const;
    bool operator==(const BrowserState&) const = default;
};

struct BrowseDescriptor {
    std::string type;                  // e.g. "_superapp._tcp"
    std::optional<std::string> domain; // none: the default ("local")
};

struct Parameters {
    bool includePeerToPeer = false;
};

// Where a result can be reached. Bonjour browsing yields service endpoints;
// the other kinds exist so that code handling results can tell them apart.
struct Endpoint {
    enum class Kind { service, hostPort, unix, url };
    Kind kind = Kind::service;
    std::string name; // service instance name (service), host, path or URL
    std::string type;
    std::string domain;
    std::string interface; // the interface name, empty when unknown
    // service: "<name>.<type>.<domain>." with "@<interface>" when known.
    std::string description() const;
    auto operator<=>(const Endpoint&) const = default;
};

struct BrowseResult {
    Endpoint endpoint;
    std::string description() const { return endpoint.description(); }
    auto operator<=>(const BrowseResult&) const = default;
};

struct BrowseChange {
    enum class Kind { added, removed };
    Kind kind;
    BrowseResult result;
    auto operator<=>(const BrowseChange&) const = default;
};

class NWBrowser {
public:
    using StateHandler = std::function<void(const BrowserState&)>;
    using ResultsHandler =
        std::function<void(const std::set<BrowseResult>& results, const std::set<BrowseChange>& changes)>;

    NWBrowser(BrowseDescriptor descriptor, Parameters parameters);
    // Stops the poll thread before anything is freed; handlers already posted
    // to the queue find the browser gone and do nothing.
    ~NWBrowser();
    NWBrowser(const NWBrowser&) = delete;
    NWBrowser& operator=(const NWBrowser&) = delete;

    // Set before start().
    StateHandler stateUpdateHandler;
    ResultsHandler browseResultsChangedHandler;

    // Connects to the daemon and browses; every handler call runs on `queue`.
    // Without a daemon the state becomes waiting (it browses once one appears).
    void start(dispatch::Queue queue);
    // Stops browsing; the state becomes cancelled.
    void cancel();

    const BrowseDescriptor& descriptor() const { return descriptor_; }
    const Parameters& parameters() const { return parameters_; }

    struct Impl;

private:
    BrowseDescriptor descriptor_;
    Parameters parameters_;
    std::shared_ptr<Impl> impl_;
};

} // namespace tbx::nw
