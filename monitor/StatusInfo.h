// The state of the watched printer as the status view shows it, and the state
// of the model's poll timer.
#pragma once

#include <string>
#include <utility>

namespace tbx {

struct StatusInfo {
    StatusInfo(int level, std::string message, std::string discription, int toner)
        : level(level), message(std::move(message)), discription(std::move(discription)), toner(toner) {}

    // 1 normal, 2 warning, anything else an error (3).
    int level;
    // Short status text, e.g. "正在连接".
    std::string message;
    // What the user should do; may be empty.
    std::string discription;
    // Toner left in percent as the printer reports it; 0 when unknown.
    int toner;
};

// The status shown when a search for printers ends with none.
inline StatusInfo noPrinterStatus() {
    return StatusInfo(3, "没有连接的设备", "请刷新打印机列表或检查设备连接状态", 0);
}

// `stopped` until the first poll timer is started, `running` ever after.
enum class TimerMode { running, stopped };

} // namespace tbx
