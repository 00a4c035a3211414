// The USB page reader: `readImages` cuts one page per call out of the scan
// interface's bulk IN pipe, with the scan stream parser (device/ScanStreamParser.h)
// over the pipe's bulk transfers. Each transfer holds one block, the last block
// of a page with its trailer, or the lone status byte.
#pragma once

#include "device/USBInterface.h"

#include <cstdint>
#include <stdexcept>

namespace tbx {

struct ReadImagesResult {
    bool isFinished = false;
    // The page number of a finished page; -1 at the end of the job; -2 when a
    // status byte other than 0x80 ended it (the byte is then the only data).
    long pageNo = -1;
    Bytes data;
};

// A transfer that fits no unit of the stream (a block whose length disagrees
// with its header, a trailer without its 0x82 mark).
class ScanStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A page whose blocks go past the bound the caller gave: the scanner sends more
// than the scan's settings can produce (or never ends its page).
class ScanPageTooLarge : public ScanStreamError {
public:
    using ScanStreamError::ScanStreamError;
};

// Reads the next page. Only `pipe` of the options is used: every read asks for
// up to 40960 bytes with a no-data time-out of 30 s and a completion time-out
// of 60 s. A failed read throws its return code (after clearing the pipe stall
// for codes other than the four the platform names for misuse); a transfer
// that fits no unit throws `ScanStreamError`, a page whose blocks come to more
// than `maxPageBytes` throws `ScanPageTooLarge` before the block that would
// pass it is kept. The status byte 0x80, or a transfer of no bytes, ends the
// job (with what had come of a page it cut short). Without an interface the
// read cannot be made and the call throws kIOReturnNotOpen.
template <DeviceBuild B>
ReadImagesResult readImages(const USBInterface<B>& interface, const ReadOptions& options,
                            std::uint64_t maxPageBytes);

} // namespace tbx
