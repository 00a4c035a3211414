// Test helper: asks the printer "Status?" over the scheduler's descriptors the way the filter
// does (job stream on standard output, answer on the back channel) and exits with the category.

#include "printfilter/Cancellation.h"
#include "printfilter/JobStream.h"
#include "printfilter/SideChannel.h"
#include "printfilter/StatusQuery.h"

#include <cstdio>

int main() {
    tbx::cancellation::setLanguage(tbx::Language::english);
    tbx::CupsSideChannel side;
    tbx::CupsBackChannel back;
    tbx::JobStream stream(1, side);
    const int category = tbx::checkStatus(stream, back);
    std::fprintf(stderr, "category=%d cancel=%d\n", category, tbx::cancellation::requested() ? 1 : 0);
    return category;
}
