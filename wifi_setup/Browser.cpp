#include "wifi_setup/Browser.h"

#include "platform/foundation/Print.h"

namespace tbx {

Browser::Browser()
    : browser(std::make_unique<nw::NWBrowser>(nw::BrowseDescriptor{"_superapp._tcp", std::nullopt},
                                              nw::Parameters{.includePeerToPeer = true})) {}

void Browser::start() {
    browser->stateUpdateHandler = [](const nw::BrowserState& state) {
        print("browser.stateUpdateHandler " + state.description());
    };
    browser->browseResultsChangedHandler = [](const std::set<nw::BrowseResult>& results,
                                              const std::set<nw::BrowseChange>&) {
        for (const std::string& line : resultLines(results)) {
            print(line);
        }
    };
    browser->start(dispatch::Queue::main());
}

std::vector<std::string> Browser::resultLines(const std::set<nw::BrowseResult>& results) {
    std::vector<std::string> lines;
    for (const nw::BrowseResult& result : results) {
        if (result.endpoint.kind == nw::Endpoint::Kind::service) {
            lines.push_back("browser.browseResultsChangedHandler result: " + result.description());
        }
    }
    return lines;
}

} // namespace tbx
