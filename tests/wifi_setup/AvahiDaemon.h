// A private Avahi daemon for the browser tests, started only inside the network
// sandbox: its own D-Bus daemon on a socket in a temporary folder, then
// avahi-daemon in a mount namespace of its own (a fresh /run, so its pid file
// and socket meet nothing of the machine), without chroot, on loopback only.
// Services are published with avahi-publish. Every process is stopped by its
// pid, publishers first, then the daemon, then its bus.
//
// While it lives, DBUS_SYSTEM_BUS_ADDRESS of this process points at its bus, so
// Avahi clients of the test reach this daemon and no other.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tbx::test {

class AvahiDaemon {
public:
    AvahiDaemon();
    ~AvahiDaemon();
    AvahiDaemon(const AvahiDaemon&) = delete;
    AvahiDaemon& operator=(const AvahiDaemon&) = delete;

    // Starts the bus and the daemon; false (with `error()`) when either fails.
    bool start();
    // Publishes one service; answers the publisher's pid (0 on failure).
    pid_t publish(const std::string& name, const std::string& type, int port);
    // Withdraws a service by stopping its publisher.
    void withdraw(pid_t publisher);
    void stop();

    const std::string& error() const { return error_; }
    const std::string& folder() const { return folder_; }
    std::string log() const;

private:
    std::string folder_;
    std::string error_;
    pid_t bus_ = 0;
    pid_t daemon_ = 0;
    std::vector<pid_t> publishers_;
};

// Points DBUS_SYSTEM_BUS_ADDRESS at a socket path where nothing listens.
void pointAtMissingBus(const std::string& folder);

} // namespace tbx::test
