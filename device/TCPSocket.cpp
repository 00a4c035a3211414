#include "device/TCPSocket.h"

#include "platform/foundation/Print.h"

#include <cstring>

namespace tbx {

namespace {

constexpr std::size_t maximumReceiveLength = 65536;

bool isValidUtf8(const nw::Data& data) {
    std::size_t i = 0;
    const std::size_t n = data.size();
    while (i < n) {
        const auto c = std::to_integer<unsigned>(data[i]);
        std::size_t extra = 0;
        unsigned minimum = 0;
        unsigned value = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, minimum = 0x80, value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, minimum = 0x800, value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, minimum = 0x10000, value = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = std::to_integer<unsigned>(data[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (d & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
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
