#include "scanning/ScanOptions.h"

namespace tbx {

// The logger (logging/) is not part of this build yet; until it is, there is no
// console destination to attach and the call does nothing. Nothing calls it.
void getlog() {}

} // namespace tbx
