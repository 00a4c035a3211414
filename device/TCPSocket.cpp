#include "device/TCPSocket.h"

#include "platform/foundation/Print.h"
#include "platform/posix/PosixIO.h"

#include <cstring>

namespace tbx {

namespace {

constexpr std::size_t maximumReceiveLength = 65536;

// Received bytes are shown as text only when they are well-formed UTF-8.
bool isValidUtf8(const nw::Data& data) {
    return posix::isValidUTF8(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

} // namespace

std::string TCPSocket::dataDescription(const nw::Data& data) {
    static const char digits[] = "0123456789abcdef";
    auto hex = [&](std::size_t from, std::size_t to) {
        std::string text;
        for (std::size_t i = from; i < to; ++i) {
            if (i != from && (i - from) % 4 == 0) {
                text.push_back(' ');
            }
            const auto b = std::to_integer<unsigned>(data[i]);
            text.push_back(digits[b >> 4]);
            text.push_back(digits[b & 0xF]);
        }
        return text;
    };
    std::string bytes =
        data.size() <= 24 ? hex(0, data.size()) : hex(0, 8) + " ... " + hex(data.size() - 8, data.size());
    return "{length = " + std::to_string(data.size()) + ", bytes = 0x" + bytes + "}";
}

TCPSocket::TCPSocket(std::shared_ptr<nw::Connection> made) : connection(std::move(made)) {}

std::shared_ptr<TCPSocket> TCPSocket::create(std::string_view host, std::string_view port) {
    const auto portEndpoint = nw::Port::fromText(port);
    if (!portEndpoint) {
        return nullptr;
    }
    // A parameter set that keeps off Wi-Fi is prepared but, as before, not used: the
    // connection takes the plain TCP parameters.
    nw::Parameters withoutWifi = nw::Parameters::tcp();
    withoutWifi.prohibitedInterfaceTypes = {nw::InterfaceType::wifi};
    auto made =
        std::make_shared<nw::Connection>(nw::Host{std::string(host)}, *portEndpoint, nw::Parameters::tcp());
    return std::make_shared<TCPSocket>(std::move(made));
}

void TCPSocket::start() {
    nslog("will start");
    connection->setStateUpdateHandler(
        [self = shared_from_this()](const nw::State& state) { self->didChange(state); });
    connection->start(dispatch::Queue::main());
}

void TCPSocket::stop() {
    connection->cancel();
    nslog("did stop");
}

void TCPSocket::didChange(const nw::State& state) {
    switch (state.kind) {
    case nw::State::Kind::setup:
        nslog("is setting up");
        break;
    case nw::State::Kind::waiting:
        nslog("is waiting: " + (state.error ? state.error->description() : std::string()));
        break;
    case nw::State::Kind::preparing:
        break;
    case nw::State::Kind::ready:
        print("socket is ready");
        startReceive();
        break;
    case nw::State::Kind::failed:
        nslog("did fail, error: " + (state.error ? state.error->description() : std::string()));
        stop();
        break;
    case nw::State::Kind::cancelled:
        nslog("was cancelled");
        stop();
        break;
    }
}

void TCPSocket::startReceive() {
    connection->receive(1, maximumReceiveLength,
                        [self = shared_from_this()](std::optional<nw::Data> data, nw::ContentContext,
                                                    bool isComplete, std::optional<nw::Error> error) {
                            if (isComplete) {
                                print("receive is done");
                            }
                            if (data && !data->empty()) {
                                nslog("did receive, data: " + dataDescription(*data));
                                std::string text;
                                if (isValidUtf8(*data)) {
                                    text.assign(reinterpret_cast<const char*>(data->data()), data->size());
                                }
                                print("received message = " + text);
                            } else {
                                print("received data is empty");
                            }
                            if (error) {
                                nslog("did receive, error: " + error->description());
                                self->stop();
                            } else if (isComplete) {
                                nslog("did receive, EOF");
                                self->stop();
                            } else {
                                self->startReceive();
                            }
                        });
}

void TCPSocket::send(const std::string& line) {
    const std::string withEnd = line + "\r\n";
    nw::Data data(withEnd.size());
    std::memcpy(data.data(), withEnd.data(), withEnd.size());
    connection->send(data, nw::ContentContext::defaultMessage, true,
                     [self = shared_from_this(), line, data](std::optional<nw::Error> error) {
                         if (!error) {
                             print("send data(" + line + ") successfully");
                             nslog("did send, data: " + dataDescription(data));
                         } else {
                             nslog("did send, error: " + error->description());
                             self->stop();
                         }
                     });
}

} // namespace tbx
