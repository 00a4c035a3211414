#include "monitor/ZelkPrinter.h"

namespace tbx {

const std::vector<ZelkPrinter>& ZelkPrinterList() {
    static const std::vector<ZelkPrinter> list{
        ZelkPrinter("Tamberlyx", "53303.4.7.1.9", 0x0037),
    };
    return list;
}

} // namespace tbx
