#include "sim/printer/CommandResponder.h"

#include <algorithm>

namespace tbx::sim {
namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::size_t kMinimumReply = 16;
constexpr std::size_t kPaddedReply = 64;
constexpr std::size_t kShortReply = 15;

std::vector<std::string> split(const std::string& text, std::string_view separator) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(separator, from);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(from));
            return pieces;
        }
        pieces.push_back(text.substr(from, at - from));
        from = at + separator.size();
    }
}

std::string lines(const std::vector<std::string>& pieces) {
    std::string text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        text += (i > 0 ? std::string(kLineBreak) : std::string()) + pieces[i];
    }
    return text;
}

// The body of a write command as the user typed it.
std::string unescaped(std::string body) {
    std::replace(body.begin(), body.end(), '\x01', '?');
    std::replace(body.begin(), body.end(), '\x02', ';');
    return body;
}

// Whether `request` starts with `prefix` and ends in ";": the body between.
std::optional<std::string> writeBody(const std::string& request, std::string_view prefix) {
    if (!request.starts_with(prefix) || !request.ends_with(';')) {
        return std::nullopt;
    }
    return unescaped(request.substr(prefix.size(), request.size() - prefix.size() - 1));
}

} // namespace

void CommandResponder::setAccessPoint(AccessPointRecord record) {
    std::lock_guard lock(mutex_);
    accessPoint_ = std::move(record);
}

AccessPointRecord CommandResponder::accessPoint() const {
    std::lock_guard lock(mutex_);
    return accessPoint_;
}

void CommandResponder::setClientMode(ClientModeRecord record) {
    std::lock_guard lock(mutex_);
    clientMode_ = std::move(record);
}

ClientModeRecord CommandResponder::clientMode() const {
    std::lock_guard lock(mutex_);
    return clientMode_;
}

void CommandResponder::setNetworks(std::vector<VisibleNetwork> networks) {
    std::lock_guard lock(mutex_);
    networks_ = std::move(networks);
}

void CommandResponder::setListSeparator(std::string separator) {
    std::lock_guard lock(mutex_);
    separator_ = std::move(separator);
}

void CommandResponder::setListNotReady(int times) {
    std::lock_guard lock(mutex_);
    listNotReady_ = times;
}

void CommandResponder::setBusy(bool busy) {
    std::lock_guard lock(mutex_);
    busy_ = busy;
}

void CommandResponder::queueReply(std::string reply) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::move(reply));
}

void CommandResponder::setMisbehaviour(Misbehaviour misbehaviour, int times) {
    std::lock_guard lock(mutex_);
    misbehaviour_ = misbehaviour;
    misbehaviourTimes_ = times;
}

std::vector<std::string> CommandResponder::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int CommandResponder::requestCount() const {
    std::lock_guard lock(mutex_);
    return int(requests_.size());
}

void CommandResponder::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::optional<CommandResponder::Bytes> CommandResponder::answer(const Bytes& request) {
    std::lock_guard lock(mutex_);
    const std::string text(request.begin(), request.end());
    requests_.push_back(text);
    std::string replyText;
    if (!scripted_.empty()) {
        replyText = std::move(scripted_.front());
        scripted_.pop_front();
    } else {
        replyText = reply(text);
    }
    Bytes bytes(replyText.begin(), replyText.end());
    Misbehaviour misbehaviour = Misbehaviour::none;
    if (misbehaviour_ != Misbehaviour::none && misbehaviourTimes_ != 0) {
        misbehaviour = misbehaviour_;
        if (misbehaviourTimes_ > 0 && --misbehaviourTimes_ == 0) {
            misbehaviour_ = Misbehaviour::none;
        }
    }
    switch (misbehaviour) {
    case Misbehaviour::none:
        break;
    case Misbehaviour::silence:
        return std::nullopt;
    case Misbehaviour::shortReply:
        bytes.resize(std::min(bytes.size(), kShortReply));
        break;
    case Misbehaviour::nulPadded:
        bytes.resize(std::max(bytes.size(), kPaddedReply), 0);
        break;
    case Misbehaviour::invalidUtf8: {
        const auto comma = std::find(bytes.begin(), bytes.end(), std::uint8_t(','));
        bytes.insert(comma, {0xFF, 0xFE});
        break;
    }
    }
    return bytes;
}

// Called with the lock held.
std::string CommandResponder::reply(const std::string& request) {
    if (busy_) {
        return "1001,printer is busy";
    }
    if (request == "Checkwifiserver?") {
        if (listNotReady_ != 0) {
            if (listNotReady_ > 0) {
                --listNotReady_;
            }
            return "8011,list not ready;";
        }
        std::vector<std::string> entries;
        for (const VisibleNetwork& network : networks_) {
            entries.push_back(network.name + separator_ + std::to_string(network.signal));
        }
        return "8012," + std::to_string(networks_.size()) + " networks;" + lines(entries) + ";";
    }
    if (request == "CheckwifiAP?") {
        const AccessPointRecord& ap = accessPoint_;
        return "8014,ap;" + lines({ap.name, ap.encryptCode, ap.password, ap.ip, ap.mask, ap.gateway});
    }
    if (request == "CheckwifiSTA?") {
        const ClientModeRecord& sta = clientMode_;
        std::string text =
            "8013,sta;" + lines({sta.name, sta.password, sta.ipSetType, sta.ip, sta.mask, sta.gateway});
        return text;
    }
    if (const auto body = writeBody(request, "SetwifiAP=")) {
        return applyAccessPoint(*body);
    }
    if (const auto body = writeBody(request, "SetwifiSTA=")) {
        return applyClientMode(*body);
    }
    return "8001,not in this mode";
}

std::string CommandResponder::applyAccessPoint(const std::string& body) {
    const std::vector<std::string> fields = split(body, kLineBreak);
    if (fields.size() != 7 || fields[3] != "S") {
        return "8005,SetwifiAP refused";
    }
    accessPoint_ = {fields[0], fields[1], fields[2], fields[4], fields[5], fields[6]};
    return "8004,SetwifiAP done";
}

std::string CommandResponder::applyClientMode(const std::string& body) {
    const std::vector<std::string> fields = split(body, kLineBreak);
    if (fields.size() != 6 || (fields[2] != "S" && fields[2] != "D")) {
        return "8003,SetwifiSTA refused";
    }
    clientMode_ = {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
    return "8002,SetwifiSTA done";
}

} // namespace tbx::sim
