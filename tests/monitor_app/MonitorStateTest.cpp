// The states the views draw, taken from the models' values.
#include "monitor_app/MonitorState.h"

#include <gtest/gtest.h>

namespace tbx::monitorapp {
namespace {

Printer usbPrinter() {
    return Printer("Tamberlyx", "Tamberlyx(USB)", "USB", "", 0x37, 0x356C);
}

TEST(MonitorStateTest, OnlyTheRowThatIsTheSelectedPrinterIsMarked) {
    const Printer a = usbPrinter();
    const Printer b = usbPrinter(); // the same arguments, another printer
    const Printer net("Tamberlyx", "Tamberlyx(10.213.0.2)", "Net", "10.213.0.2", 0x37, 0x356C);
    const std::vector<Printer> list{a, b, net};
    const struct {
        Printer selected;
        std::vector<bool> marked;
    } cases[] = {
        {a, {true, false, false}},
        {b, {false, true, false}},
        {net, {false, false, true}},
        {usbPrinter(), {false, false, false}}, // built apart: equal to no row
        {Printer(""), {false, false, false}},
    };
    for (const auto& c : cases) {
        const SidebarState state = sidebarState(list, c.selected);
        ASSERT_EQ(state.rows.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(state.rows[i].selected, c.marked[i]) << "row " << i << " for " << c.selected.label();
        }
    }
    EXPECT_EQ(sidebarState(list, a).rows[2].label, "Tamberlyx(10.213.0.2)");
    EXPECT_TRUE(sidebarState({}, Printer("")).rows.empty());
}

} // namespace
} // namespace tbx::monitorapp
