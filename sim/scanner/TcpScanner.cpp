#include "sim/scanner/TcpScanner.h"

#include "platform/posix/PosixIO.h"

#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/socket.h>
#include <thread>

namespace tbx::sim {

namespace {

using namespace std::chrono_literals;

bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
    return posix::sendAll(fd, std::span(data, size), std::nullopt).error == 0;
}

} // namespace

TcpScanner::TcpScanner(ScannerScript script, std::uint16_t port)
    : script_(std::move(script)),
      server_("simulated scanner", port, [this](int fd) { serveConnection(fd); }) {}

std::vector<std::string> TcpScanner::commandLog() const {
    std::lock_guard lock(mutex_);
    return commandLog_;
}

std::vector<std::string> TcpScanner::commandTexts() const {
    std::lock_guard lock(mutex_);
    return commandTexts_;
}

ScanSettings TcpScanner::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

bool TcpScanner::sendStream(int fd, ScannerEngine& engine) {
    const bool raw = !script_.rawStream.empty();
    const bool random = !raw && script_.tcpSegmentSeed != 0;
    std::mt19937 pieces(script_.tcpSegmentSeed);
    // Mostly pieces of a few bytes to a few hundred, now and then a large one:
    // units run into each other and are split everywhere.
    auto nextPiece = [&]() -> std::size_t {
        const unsigned kind = pieces() % 10;
        if (kind < 3) {
            return 1 + pieces() % 13;
        }
        if (kind < 7) {
            return 14 + pieces() % 600;
        }
        return 600 + pieces() % 8000;
    };
    Bytes queued;
    std::size_t piece = random ? nextPiece() : 0;
    auto sendQueued = [&](bool all) {
        while (!queued.empty() && (all || queued.size() >= piece)) {
            const std::size_t n = all && queued.size() < piece ? queued.size() : piece;
            if (!sendAll(fd, queued.data(), n)) {
                return false;
            }
            queued.erase(queued.begin(), queued.begin() + std::ptrdiff_t(n));
            piece = nextPiece();
        }
        return true;
    };
    while (!server_.stopping()) {
        auto unit = engine.nextUnit(Framing::tcp);
        if (!unit) {
            break;
        }
        if (!random) {
            if (!sendAll(fd, unit->bytes.data(), unit->bytes.size())) {
                return false;
            }
            if (raw) { // let each scripted piece leave on its own
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        } else {
            queued.insert(queued.end(), unit->bytes.begin(), unit->bytes.end());
            if (!sendQueued(false)) {
                return false;
            }
        }
        if (unit->pauseAfter && script_.tcpTrailerPause.count() > 0) {
            if (!sendQueued(true)) {
                return false;
            }
            std::this_thread::sleep_for(script_.tcpTrailerPause);
        }
    }
    return sendQueued(true);
}

void TcpScanner::serveConnection(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ScannerEngine engine(script_);
    auto record = [&] {
        std::lock_guard lock(mutex_);
        commandLog_ = engine.commandLog();
        commandTexts_ = engine.commandTexts();
        settings_ = engine.settings();
    };
    if (!script_.greeting.empty() &&
        !sendAll(fd, reinterpret_cast<const std::uint8_t*>(script_.greeting.data()),
                 script_.greeting.size())) {
        return;
    }
    Bytes pending;
    std::uint8_t chunk[4096];
    while (!server_.stopping() && !engine.jobStarted()) {
        if (!LoopbackServer::readable(fd, 50)) {
            continue;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            record();
            return; // the host closed the connection
        }
        pending.insert(pending.end(), chunk, chunk + n);
        while (const std::size_t length = ScannerEngine::completeCommandLength(pending)) {
            const auto reply = engine.handleCommand(std::span(pending).first(length));
            pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(length));
            if (reply && !sendAll(fd, reply->data(), reply->size())) {
                record();
                return;
            }
            if (engine.jobStarted()) {
                break;
            }
        }
    }
    record();
    if (!sendStream(fd, engine)) {
        return;
    }
    if (engine.stalled()) {
        while (!server_.stopping()) { // hold the connection, send nothing, until the host gives up
            if (LoopbackServer::readable(fd, 50) && ::recv(fd, chunk, sizeof chunk, 0) <= 0) {
                return;
            }
        }
        return;
    }
    if (!script_.rawStream.empty() || engine.closed()) {
        return; // a scripted stream, or one a misbehaviour cut off, ends with the connection
    }
    // The job is over: wait briefly for the host to close first.
    for (int i = 0; i < 100 && !server_.stopping(); ++i) {
        if (LoopbackServer::readable(fd, 50) && ::recv(fd, chunk, sizeof chunk, 0) <= 0) {
            return;
        }
    }
}

} // namespace tbx::sim
