// Watches the local network for the printer's Bonjour service type
// "_superapp._tcp" and prints what it sees: every state change as
// "browser.stateUpdateHandler <state>", and after every change of the results
// the whole current set, one "browser.browseResultsChangedHandler result: <result>"
// line per service. Handlers run on the main queue. Browsing goes on until the
// browser is destroyed, which stops it first.
#pragma once

#include "platform/bonjour/NWBrowser.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tbx {

class Browser {
public:
    Browser();

    // Installs the handlers and starts browsing on the main queue.
    void start();

    // The lines printed for one results set: service endpoints only, in the set's order.
    static std::vector<std::string> resultLines(const std::set<nw::BrowseResult>& results);

    const nw::NWBrowser& nwBrowser() const { return *browser; }

private:
    const std::unique_ptr<nw::NWBrowser> browser;
};

} // namespace tbx
