// The command steps of a scan, the same on both transports: the paper-source
// check (D), then S, I and X, in this order, stopping at the first step that
// fails. Each scan process supplies its own exchanges and the lines it writes
// when a step fails.
#pragma once

#include "scanning/ResultPair.h"

#include <functional>
#include <optional>
#include <string>

namespace tbx {

struct CommandSteps {
    std::function<ResultPair()> checkPaperSource;
    std::function<ResultPair()> sendSCommand;
    std::function<ResultPair()> sendICommand;
    // The job's failure when X could not go out (no job then follows), none when it went.
    std::function<std::optional<ResultPair>()> sendXCommand;
    // Written when the step fails (empty: nothing), and once X has been sent.
    std::string paperSourceFailed{};
    std::string sCommandFailed{};
    std::string iCommandFailed{};
    std::string xCommandSent{};
};

// Runs D, S, I and X. Answers none when X went out and the pages may come, else
// the pair that ends the job.
std::optional<ResultPair> runCommandSteps(const CommandSteps& steps);

} // namespace tbx
