#include "platform/bonjour/NWBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <map>
#include <net/if.h>

namespace tbx::nw {

std::string BrowserError::description() const {
    return std::to_string(code) + ": " + text;
}

std::string BrowserState::description() const {
    switch (kind) {
    case Kind::setup:
        return "setup";
    case Kind::ready:
        return "ready";
    case Kind::waiting:
        return "waiting(" + (error ? error->description() : std::string()) + ")";
    case Kind::failed:
        return "failed(" + (error ? error->description() : std::string()) + ")";
    case Kind::cancelled:
        return "cancelled";
    }
    return "setup";
}

std::string Endpoint::description() const {
    switch (kind) {
    case Kind::service:
        return name + "." + type + "." + domain + "." + (interface.empty() ? "" : "@" + interface);
    case Kind::hostPort:
    case Kind::unix:
    case Kind::url:
        return name;
    }
    return name;
}

namespace {

BrowserError avahiError(int code) {
    return {code, avahi_strerror(code)};
}

std::string interfaceName(AvahiIfIndex index) {
    char name[IF_NAMESIZE] = {};
    if (index >= 0 && ::if_indextoname(unsigned(index), name) != nullptr) {
        return name;
    }
    return {};
}

} // namespace

// The handlers live on the queue's side; the poll thread only ever holds a weak
// reference to them, so work posted before the browser went away does nothing.
struct Handlers {
    NWBrowser::StateHandler state;
    NWBrowser::ResultsHandler results;
};

struct NWBrowser::Impl {
    BrowseDescriptor descriptor;
    dispatch::Queue queue = dispatch::Queue::main();
    std::shared_ptr<Handlers> handlers;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    // Everything below belongs to the poll thread (or to the caller before the
    // thread starts and after it stopped).
    std::map<Endpoint, int> sightings; // one per interface protocol the service was seen on
    std::set<BrowseResult> results;
    bool cancelled = false;

    void postState(BrowserState state) {
        std::weak_ptr<Handlers> weak = handlers;
        queue.async([weak, state] {
            if (const auto alive = weak.lock(); alive && alive->state) {
                alive->state(state);
            }
        });
    }

    void postResults(std::set<BrowseChange> changes) {
        std::weak_ptr<Handlers> weak = handlers;
        queue.async([weak, current = results, changes = std::move(changes)] {
            if (const auto alive = weak.lock(); alive && alive->results) {
                alive->results(current, changes);
            }
        });
    }

    void dropResults() {
        std::set<BrowseChange> changes;
        for (const BrowseResult& result : results) {
            changes.insert({BrowseChange::Kind::removed, result});
        }
        sightings.clear();
        results.clear();
        if (!changes.empty()) {
            postResults(std::move(changes));
        }
    }

    void freeBrowser() {
        if (browser != nullptr) {
            avahi_service_browser_free(browser);
            browser = nullptr;
        }
    }

    static void clientChanged(AvahiClient* c, AvahiClientState state, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (self->cancelled) {
            return;
        }
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            if (self->browser == nullptr) {
                const char* domain = self->descriptor.domain ? self->descriptor.domain->c_str() : nullptr;
                self->browser = avahi_service_browser_new(c, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                          self->descriptor.type.c_str(), domain,
                                                          AvahiLookupFlags(0), &Impl::browsed, self);
                if (self->browser == nullptr) {
                    self->postState({BrowserState::Kind::failed, avahiError(avahi_client_errno(c))});
                    return;
                }
                self->postState({BrowserState::Kind::ready, std::nullopt});
            }
            return;
        case AVAHI_CLIENT_CONNECTING:
            self->freeBrowser();
            self->dropResults();
            self->postState({BrowserState::Kind::waiting, avahiError(AVAHI_ERR_NO_DAEMON)});
            return;
        case AVAHI_CLIENT_FAILURE:
            self->freeBrowser();
            self->dropResults();
            self->postState({BrowserState::Kind::failed, avahiError(avahi_client_errno(c))});
            return;
        }
    }

    static void browsed(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol,
                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                        AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (event == AVAHI_BROWSER_FAILURE) {
            const int code = avahi_client_errno(avahi_service_browser_get_client(b));
            self->postState({BrowserState::Kind::failed, avahiError(code)});
            return;
        }
        if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) {
            return; // ALL_FOR_NOW, CACHE_EXHAUSTED: nothing changed
        }
        const BrowseResult result{{Endpoint::Kind::service, name, type, domain, interfaceName(interface)}};
        int& seen = self->sightings[result.endpoint];
        if (event == AVAHI_BROWSER_NEW) {
            if (++seen == 1) {
                self->results.insert(result);
                self->postResults({{BrowseChange::Kind::added, result}});
            }
            return;
        }
        if (seen > 0 && --seen == 0) {
            self->sightings.erase(result.endpoint);
            self->results.erase(result);
            self->postResults({{BrowseChange::Kind::removed, result}});
        }
    }
};

NWBrowser::NWBrowser(BrowseDescriptor descriptor, Parameters parameters)
    : descriptor_(std::move(descriptor)), parameters_(parameters), impl_(std::make_shared<Impl>()) {
    impl_->descriptor = descriptor_;
}

NWBrowser::~NWBrowser() {
    // The poll thread reads the handlers' owner when it posts: it is stopped
    // (and joined) before the handlers go, so that work it posted finds them gone.
    if (impl_->poll != nullptr) {
        avahi_threaded_poll_stop(impl_->poll);
    }
    impl_->handlers.reset();
    impl_->freeBrowser();
    if (impl_->client != nullptr) {
        avahi_client_free(impl_->client);
    }
    if (impl_->poll != nullptr) {
        avahi_threaded_poll_free(impl_->poll);
    }
}

void NWBrowser::start(dispatch::Queue queue) {
    if (impl_->poll != nullptr) {
        return;
    }
    impl_->queue = std::move(queue);
    impl_->handlers = std::make_shared<Handlers>(Handlers{stateUpdateHandler, browseResultsChangedHandler});
    impl_->poll = avahi_threaded_poll_new();
    if (impl_->poll == nullptr) {
        impl_->postState({BrowserState::Kind::failed, avahiError(AVAHI_ERR_NO_MEMORY)});
        return;
    }
    int error = 0;
    // The client reports its first state from inside this call.
    impl_->client = avahi_client_new(avahi_threaded_poll_get(impl_->poll), AVAHI_CLIENT_NO_FAIL,
                                     &Impl::clientChanged, impl_.get(), &error);
    if (impl_->client == nullptr) {
        impl_->postState({BrowserState::Kind::failed, avahiError(error)});
        return;
    }
    if (avahi_threaded_poll_start(impl_->poll) < 0) {
        impl_->postState({BrowserState::Kind::failed, avahiError(AVAHI_ERR_FAILURE)});
    }
}

void NWBrowser::cancel() {
    if (impl_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(impl_->poll);
    impl_->cancelled = true;
    impl_->freeBrowser();
    impl_->sightings.clear();
    impl_->results.clear();
    impl_->postState({BrowserState::Kind::cancelled, std::nullopt});
    avahi_threaded_poll_unlock(impl_->poll);
}

} // namespace tbx::nw
