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
#include <string>
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
    //
    // A backend that answers a request after its time-out leaves that answer waiting on the
    // channel, where it would be taken for the answer to the next request (and two answers read
    // at once are one malformed message to libcups): answers are therefore split by their own
    // lengths here, answers already waiting when a request goes out are dropped, the first answer
    // after a time-out is taken for the late one (the backend answers in order), and an answer to
    // another command than the one asked is skipped.
    cups_sc_status_t request(cups_sc_command_t command, double timeout) override;
    void markAbsent(const char* reason) override;
    bool answered() const override { return answered_; }

private:
    // Reads what has arrived on the channel within timeout seconds into received_; false when
    // the channel is closed or broken.
    bool receive(double timeout);
    // The channel is closed or broken: the status the request reports.
    cups_sc_status_t closed();
    // Removes the first whole answer from received_; false when there is none yet.
    bool takeAnswer(cups_sc_command_t& command, cups_sc_status_t& status);

    bool present_ = false;
    bool answered_ = false;   // the backend has answered at least once: later time-outs are slowness
    std::string received_;    // bytes from the backend not yet taken as answers
    bool lateAnswer_ = false; // the answer to a request that timed out may still come
};

class CupsBackChannel : public BackChannel {
public:
    ssize_t read(char* buffer, std::size_t size, double timeout) override;
};

// Name of a side-channel status for DEBUG lines.
const char* sideChannelStatusName(cups_sc_status_t status);

} // namespace tbx
