#pragma once

// The job's two stop flags. The cancel request is set by the scheduler's SIGTERM, by SIGINT and
// SIGHUP (Ctrl+C or a closed terminal ending a filter run by hand or under cupsfilter), and by the
// filter itself when the backend reports the printer lost; it is carried out before the next page
// is sent, and the job's temporary files go with it. The soft failure flag marks a page that
// failed: the job then ends early but in order, without cancelling it with the scheduler.
//
// The signal handler only sets the flag and writes its log line with one write(2): nothing in it
// touches buffered output or allocates.

#include "printfilter/Messages.h"

#include <chrono>
#include <optional>

namespace tbx::cancellation {

// Installs the cancel handler for SIGTERM, and for SIGINT and SIGHUP unless the filter was started
// with them ignored (nohup, a background job): whoever ignored them wants the job to go on. Call
// setLanguage as soon as the language is known; until then the handler writes the Chinese line
// (the default language).
void installHandler();
void setLanguage(Language language);

// Records the cancel request: the "cancelling" INFO line, the flag, and the trace line
// "[Tamberlyx] Set Cancel Job Flag to True". The first request also records its time, from which
// every wait of the cancelled job is counted. Async-signal-safe.
void cancelJob();
bool requested();
// When the cancel was first requested (on the steady clock); nothing while the job runs.
std::optional<std::chrono::steady_clock::time_point> requestedAt();

// Forgets a cancel request (tests run several jobs in one process).
void reset();

} // namespace tbx::cancellation
