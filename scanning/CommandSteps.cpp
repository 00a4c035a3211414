#include "scanning/CommandSteps.h"

#include "platform/foundation/Print.h"

namespace tbx {

namespace {

void writeIfAny(const std::string& line) {
    if (!line.empty()) {
        print(line);
    }
}

} // namespace

std::optional<ResultPair> runCommandSteps(const CommandSteps& steps) {
    const std::pair<const std::function<ResultPair()>*, const std::string*> exchanges[] = {
        {&steps.checkPaperSource, &steps.paperSourceFailed},
        {&steps.sendSCommand, &steps.sCommandFailed},
        {&steps.sendICommand, &steps.iCommandFailed},
    };
    for (const auto& [exchange, failedLine] : exchanges) {
        if (ResultPair result = (*exchange)(); !result.status) {
            writeIfAny(*failedLine);
            return result;
        }
    }
    std::optional<ResultPair> xFailed = steps.sendXCommand();
    writeIfAny(steps.xCommandSent);
    return xFailed;
}

} // namespace tbx
