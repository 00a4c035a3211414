#pragma once

// The filter's two channels to the CUPS backend besides its standard output: the side channel
// (requests such as "is the printer connected?" and "drain the output", each answered with a
// status) and the back channel (data the printer sent back). CupsSideChannel and CupsBackChannel
// use the scheduler's descriptors through libcups; tests give the job stream their own.
//
// With no backend behind the side channel (the filter run by cupsfilter or by hand, or a queue
// whose output goes to a file) every request would wait its whole time-out. CupsSideChannel
// therefore learns once that nobody answers and from then on asks nothing: when descriptor 4 is no
// socket, when the queue's device is a "file:" URI (the scheduler writes the output itself), when
// the channel turns out broken, or when the caller gives up waiting for a first answer.

#include <cstddef>
#include <cups/sidechannel.h>
#include <sys/types.h>

namespace tbx {

class SideChannel {
public:
    virtual ~SideChannel() = default;
    // False once it is known that no backend answers: requests are then not sent at all.
    virtual bool present() = 0;
    // Sends one request and waits up to timeout seconds for its status. The reply data is not
    // looked at. Only called while present().
    virtual cups_sc_status_t request(cups_sc_command_t command, double timeout) = 0;
    // Nobody answers: from now on present() is false.
    virtual void markAbsent(const char* reason) = 0;
    // The backend has answered at least once.
    virtual bool answered() const = 0;
};

class BackChannel {
public:
    virtual ~BackChannel() = default;
    // Reads up to size bytes the printer sent back, waiting up to timeout seconds; the count, or
    // -1 when nothing came or the channel is not there.
    virtual ssize_t read(char* buffer, std::size_t size, double timeout) = 0;
};

class CupsSideChannel : public SideChannel {
public:
    // Checks once whether the side-channel descriptor is a socket at all and whether the queue's
    // device (deviceUri, "DEVICE_URI"; may be null) has a backend.
    explicit CupsSideChannel(const char* deviceUri = nullptr);
    bool present() override { return present_; }
    // A time-out before any answer marks the channel absent, except for the connection question,
    // whose waiting the caller bounds (a backend may take seconds to start answering).
    cups_sc_status_t request(cups_sc_command_t command, double timeout) override;
    void markAbsent(const char* reason) override;
    bool answered() const override { return answered_; }

private:
    bool present_ = false;
    bool answered_ = false; // the backend has answered at least once: later time-outs are slowness
};

class CupsBackChannel : public BackChannel {
public:
    ssize_t read(char* buffer, std::size_t size, double timeout) override;
};

// Name of a side-channel status for DEBUG lines.
const char* sideChannelStatusName(cups_sc_status_t status);

} // namespace tbx
