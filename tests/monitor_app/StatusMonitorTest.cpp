// The status monitor's window against the simulated printers: a USB printer on
// the simulated bus and a network printer (snmpd on a sandbox test host).
// Every case runs in a sandbox of its own.
#include "monitor_app/ContentView.h"
#include "monitor_app/NetworkSettingAction.h"
#include "monitor_app/SettingView.h"
#include "monitor_app/SidebarView.h"
#include "monitor_app/StatusInfoView.h"
#include "monitor_app/TonerView.h"
#include "platform/foundation/Localization.h"
#include "tests/monitor_app/support/SimulatedPrinters.h"
#include "tests/support/LayoutCheck.h"
#include "tests/support/ShownText.h"
#include "wifi_setup/forms/APSettingView.h"
#include "wifi_setup/forms/ClientModeSettingView.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace tbx::monitorapp {
namespace {

using test::waitUntil;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Posts a task to the window's queue every 10 ms from a thread of its own and
// notes how long each one waited for its turn, and how many ran while `out`
// held. A window thread that waits for a printer holds every task back.
class TurnProbe {
public:
    explicit TurnProbe(std::function<bool()> out) : state_(std::make_shared<State>()) {
        state_->out = std::move(out);
        thread_ = std::thread([this] {
            while (!stopping_) {
                ++state_->posted;
                dispatch::Queue::main().async([state = state_, posted = Clock::now()] {
                    state->longest = std::max(state->longest, Clock::now() - posted);
                    state->whileOut += state->out() ? 1 : 0;
                    ++state->ran;
                });
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    ~TurnProbe() { stop(); }

    // Stops posting and lets every task posted so far run.
    void stop() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
            waitUntil([&] { return state_->ran == state_->posted; });
        }
    }
    Clock::duration longestWait() const { return state_->longest; }
    int turnsWhileOut() const { return state_->whileOut; }

private:
    struct State {
        std::function<bool()> out;
        std::atomic<int> posted{0};
        int ran = 0; // these three on the main thread only
        int whileOut = 0;
        Clock::duration longest{};
    };
    std::shared_ptr<State> state_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class StatusMonitorTest : public testing::Test {
protected:
    void SetUp() override { setCurrentLanguage("zh"); }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            w->close();
        }
        QApplication::processEvents();
        clearStringOverrides();
        setCurrentLanguage(languageFromEnvironment());
    }

    void start(test::SimulatedPrintersOptions options, PrinterModel::Options modelOptions = {},
               std::chrono::milliseconds listPause = {}) {
        printers = std::make_unique<test::SimulatedPrinters>(options);
        ASSERT_TRUE(printers->ready()) << printers->problem;
        printerModel = printers->makePrinterModel(modelOptions);
        networkModel = printers->makeNetworkModel(printerModel, listPause);
        window = std::make_unique<ContentView>(printerModel, *networkModel);
        window->show();
        ASSERT_TRUE(waitUntil([&] { return !printerModel->discovering(); }, 60)) << "discovery did not end";
        QApplication::processEvents();
    }

    // The alerts that are shown.
    std::vector<QMessageBox*> alerts() const {
        std::vector<QMessageBox*> shown;
        for (QMessageBox* box : window->findChildren<QMessageBox*>()) {
            if (box->isVisible()) {
                shown.push_back(box);
            }
        }
        return shown;
    }
    StatusInfoView& status() const { return *window->statusView(); }
    SidebarView& sidebar() const { return *window->sidebar(); }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            QApplication::processEvents();
        }
    }
    // Presses the network-settings button: the reads go out on the network
    // model's worker, the button is off until they are all in, and `done`
    // tells when their outcome shows.
    void pressNetworkSetting(const std::function<bool()>& done) {
        status().networkSettingButton()->click();
        window->render(); // drawn before any answer can come back
        EXPECT_FALSE(status().networkSettingButton()->isEnabled());
        ASSERT_TRUE(waitUntil([&] { return done() && !networkSettingPending(*networkModel); }));
        settle();
        EXPECT_TRUE(status().networkSettingButton()->isEnabled());
    }

    std::unique_ptr<test::SimulatedPrinters> printers;
    std::shared_ptr<PrinterModel> printerModel;
    std::unique_ptr<NetworkModel> networkModel;
    std::unique_ptr<ContentView> window;
};

TEST_F(StatusMonitorTest, ListsBothPrintersAndFollowsTheSelection) {
    ASSERT_NO_FATAL_FAILURE(start({.netStatus = "2017,paper low", .netToner = 57}));
    EXPECT_EQ(window->windowTitle(), "Tamberlyx 状态监视器");
    ASSERT_EQ(sidebar().rowCount(), 2);
    EXPECT_EQ(sidebar().rowButton(0)->text(), "Tamberlyx(USB)");
    EXPECT_EQ(sidebar().rowButton(1)->text(),
              QString::fromStdString("Tamberlyx(" + printers->netAddress + ")"));
    EXPECT_TRUE(sidebar().rowButton(0)->property("selectedRow").toBool());
    EXPECT_FALSE(sidebar().rowButton(1)->property("selectedRow").toBool());
    EXPECT_EQ(status().nameLabel()->text(), "Tamberlyx");
    EXPECT_TRUE(status().networkSettingButton()->isVisible());
    ASSERT_TRUE(waitUntil([&] { return status().tonerView()->ring()->toner() == 80; }));
    EXPECT_EQ(status().messageLabel()->text(), "就绪");
    EXPECT_TRUE(alerts().empty());

    sidebar().rowButton(1)->click();
    // Drawn before any answer can come back (answers arrive through the event loop):
    // the placeholder status in black with 0%.
    window->render();
    EXPECT_EQ(status().messageLabel()->text(), "正在连接");
    EXPECT_EQ(status().messageLabel()->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(status().tonerView()->ring()->toner(), 0);
    EXPECT_TRUE(sidebar().rowButton(1)->property("selectedRow").toBool());
    EXPECT_FALSE(sidebar().rowButton(0)->property("selectedRow").toBool());
    EXPECT_FALSE(status().networkSettingButton()->isVisible());
    EXPECT_EQ(status().connectionTexts(),
              (QStringList{"网络打印机", QString::fromStdString("IP：" + printers->netAddress)}));
    ASSERT_TRUE(waitUntil([&] { return status().messageLabel()->text() == "纸量较少"; }))
        << status().messageLabel()->text().toStdString();
    EXPECT_EQ(status().descriptionLabel()->text(), "请添加纸张");
    EXPECT_TRUE(waitUntil([&] { return status().tonerView()->ring()->toner() == 57; })); // the second GET
    EXPECT_EQ(status().messageLabel()->palette().color(QPalette::WindowText), levelColor(2));

    // A second window over the same models shows the same state.
    ContentView second(printerModel, *networkModel);
    EXPECT_EQ(second.sidebar()->rowCount(), 2);
    EXPECT_TRUE(second.sidebar()->rowButton(1)->property("selectedRow").toBool());
    EXPECT_TRUE(second.findChildren<QMessageBox*>().empty());
    second.sidebar()->rowButton(0)->click();
    settle();
    EXPECT_TRUE(sidebar().rowButton(0)->property("selectedRow").toBool());
}

TEST_F(StatusMonitorTest, NoPrinterAtLaunchAlertsOnceAndRefreshConfirms) {
    ASSERT_NO_FATAL_FAILURE(start({.usbPrinter = false, .netPrinter = false}));
    EXPECT_EQ(sidebar().rowCount(), 0);
    EXPECT_FALSE(status().networkSettingButton()->isVisible());
    EXPECT_EQ(status().messageLabel()->text(), "没有连接的设备");
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts().front()->windowTitle(), "错误");
    EXPECT_EQ(alerts().front()->informativeText(), "未找到打印机。请连接打印机后刷新列表。");
    alerts().front()->buttons().at(0)->click();
    settle();
    EXPECT_TRUE(alerts().empty());

    sidebar().refreshButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !alerts().empty(); }, 60));
    ASSERT_EQ(alerts().size(), 1u); // only the refresh alert, not the no-printer one again
    EXPECT_EQ(alerts().front()->windowTitle(), "刷新");
    EXPECT_EQ(alerts().front()->informativeText(), "打印机列表已刷新。");
}

TEST_F(StatusMonitorTest, NetworkSettingsOfTheUsbPrinter) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}, {.pollInterval = dispatch::Seconds(0.2)}));
    ASSERT_EQ(sidebar().rowCount(), 1);
    printers->responder->setNetworks({});
    const int before = printers->responder->requestCount();
    ASSERT_NO_FATAL_FAILURE(pressNetworkSetting([&] { return status().settingScreen() != nullptr; }));
    const auto requests = printers->responder->requests();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(before + 3));
    EXPECT_EQ(requests[before], "CheckwifiAP?");
    EXPECT_EQ(requests[before + 1], "CheckwifiSTA?");
    EXPECT_EQ(requests[before + 2], "Checkwifiserver?");

    auto* screen = dynamic_cast<SettingView*>(status().settingScreen());
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->tabs()->currentIndex(), 0);
    EXPECT_EQ(screen->tabs()->tabText(0), "热点模式");
    EXPECT_EQ(screen->tabs()->tabText(1), "客户端模式");
    EXPECT_FALSE(screen->clientForm()->okButton()->isEnabled()); // the printer listed no network
    screen->tabs()->setCurrentIndex(1);

    // Another press and a status poll keep the screen and its tab.
    const int polls = printers->usb->statusRequests();
    ASSERT_NO_FATAL_FAILURE(
        pressNetworkSetting([&] { return printers->responder->requestCount() == before + 6; }));
    ASSERT_TRUE(waitUntil([&] { return printers->usb->statusRequests() > polls + 1; }));
    settle();
    EXPECT_EQ(status().settingScreen(), screen);
    EXPECT_EQ(screen->tabs()->currentIndex(), 1);

    // Picking a printer closes it (the screen is gone, not hidden); the next showing is a new
    // screen that starts on tab 0 again. The new one may reuse the old one's address, so the
    // old one is followed by a guard rather than compared by pointer.
    const QPointer<SettingView> closed(screen);
    sidebar().rowButton(0)->click();
    settle();
    EXPECT_EQ(status().settingScreen(), nullptr);
    EXPECT_TRUE(closed.isNull());
    ASSERT_NO_FATAL_FAILURE(pressNetworkSetting([&] { return status().settingScreen() != nullptr; }));
    EXPECT_EQ(dynamic_cast<SettingView*>(status().settingScreen())->tabs()->currentIndex(), 0);
}

TEST_F(StatusMonitorTest, FailedReadShowsItsAlertInsteadOfTheScreen) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}));
    printers->responder->setBusy(true);
    const int before = printers->responder->requestCount();
    ASSERT_NO_FATAL_FAILURE(pressNetworkSetting([&] { return !alerts().empty(); }));
    EXPECT_EQ(status().settingScreen(), nullptr);
    EXPECT_FALSE(networkModel->showNetworkSetting.get());
    EXPECT_EQ(printers->responder->requestCount(), before + 1); // nothing asked after the failure
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts().front()->windowTitle(), "错误");
    EXPECT_EQ(alerts().front()->informativeText(), "设备忙,打印中");
    alerts().front()->buttons().at(0)->click();
    settle();

    // A failed client-mode read stops before the list as well.
    printers->responder->setBusy(false);
    printers->responder->queueReply("8014,ap;AP\r\n6\r\npw\r\n192.168.1.1\r\n255.255.255.0\r\n192.168.1.1");
    printers->responder->queueReply("8001,not in this mode");
    ASSERT_NO_FATAL_FAILURE(pressNetworkSetting([&] { return !alerts().empty(); }));
    EXPECT_EQ(status().settingScreen(), nullptr);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts().front()->informativeText(), "当前wifi模式不支持");
}

TEST_F(StatusMonitorTest, TheWindowAnswersWhileThePrinterKeepsItWaiting) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}, {}, 100ms));
    ASSERT_EQ(sidebar().rowCount(), 1);
    auto& usb = *printers->usb;
    auto& responder = *printers->responder;
    const auto screen = [&] { return dynamic_cast<SettingView*>(status().settingScreen()); };
    const auto silentPrinter = [&] {
        usb.device()->setTimeoutsTakeTime(true); // a read that gets nothing waits its 0.3 s
        responder.setMisbehaviour(sim::Misbehaviour::silence);
    };
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::function<QPushButton*()> button; // the button pressed, none for the poll
        std::function<void()> press;          // when there is no button
        std::function<bool()> out;            // the command is out
        std::function<bool()> done;           // its outcome shows
    };
    const auto networkSetting = [&] { return status().networkSettingButton(); };
    const auto readsOut = [&] { return networkSettingPending(*networkModel); };
    const std::vector<Case> cases = {
        {"the network list is never ready",
         [&] { responder.setListNotReady(-1); },
         networkSetting,
         {},
         readsOut,
         [&] { return screen() != nullptr; }},
        {"the printer never answers the network-settings reads",
         silentPrinter,
         networkSetting,
         {},
         readsOut,
         [&] { return !alerts().empty(); }},
        {"the printer never answers the access-point settings",
         [&] {
             pressNetworkSetting([&] { return screen() != nullptr; });
             silentPrinter();
         },
         [&] { return screen()->apForm()->okButton(); },
         {},
         [&] { return networkModel->commandOut(WifiCommand::setAPInfo); },
         [&] { return screen()->apForm()->alert() != nullptr; }},
        {"the printer never answers the client-mode settings",
         silentPrinter,
         [&] { return screen()->clientForm()->okButton(); },
         {},
         [&] { return networkModel->commandOut(WifiCommand::setClientModeInfo); },
         [&] { return screen()->clientForm()->alert() != nullptr; }},
        {"the USB status request stalls",
         [&] {
             usb.misbehave(sim::UsbPrinter::Misbehaviour::timeout);
             usb.setTimeoutDelay(600ms);
         },
         {},
         [&] { sidebar().rowButton(0)->click(); },
         [&] { return printerModel->queryInFlight(); },
         [&] { return !printerModel->queryInFlight() && status().messageLabel()->text() == "连接断开"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(c.arrange());
        usb.device()->countTransfersOn(std::this_thread::get_id());
        TurnProbe probe(c.out);
        QPushButton* button = c.button ? c.button() : nullptr;
        if (button) {
            ASSERT_TRUE(button->isEnabled());
            button->click();
            window->render(); // drawn before any answer can come back
            EXPECT_FALSE(button->isEnabled());
        } else {
            c.press();
        }
        ASSERT_TRUE(waitUntil(c.done));
        probe.stop();
        // The window's thread asks the printer nothing (each exchange stalls and would hold the
        // window that long), and tasks still run while the command is out. The longest wait is
        // only a far backstop against a window held for good: a loaded machine's own delays
        // reach a second.
        EXPECT_EQ(usb.device()->transfersCounted(), 0);
        EXPECT_LT(probe.longestWait(), 10s);
        EXPECT_GE(probe.turnsWhileOut(), 3);
        if (button) {
            settle();
            EXPECT_TRUE(button->isEnabled());
        }
        for (QMessageBox* alert : alerts()) {
            alert->buttons().at(0)->click();
        }
        settle();
        responder.setListNotReady(0);
        responder.setMisbehaviour(sim::Misbehaviour::none);
        usb.device()->setTimeoutsTakeTime(false);
        usb.misbehave(sim::UsbPrinter::Misbehaviour::none);
    }
}

TEST_F(StatusMonitorTest, AWindowClosedWhileItsReadsAreOutIsLeftAlone) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}));
    printers->usb->device()->setTimeoutsTakeTime(true);
    printers->responder->setMisbehaviour(sim::Misbehaviour::silence);
    status().networkSettingButton()->click();
    window.reset();
    // The failed read's alert has no window left to show in.
    ASSERT_TRUE(waitUntil([&] { return !networkSettingPending(*networkModel); }));
    settle();
    EXPECT_FALSE(networkModel->showNetworkSetting.get());
}

// The window manager's close request while the printer keeps the reads waiting:
// the window closes at once, the program's event loop ends while the read is
// still out, and the answer that comes after shows nothing.
TEST_F(StatusMonitorTest, ACloseWhileTheReadsWaitEndsTheProgramAndNothingShowsAfter) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}));
    auto& usb = *printers->usb->device();
    usb.holdReads(true); // the printer keeps the read until the test lets it go
    printers->responder->setMisbehaviour(sim::Misbehaviour::silence);
    const std::size_t readsBefore = usb.reads().size();
    status().networkSettingButton()->click();
    QTimer closer; // closes the window once its first read is out
    closer.callOnTimeout(window.get(), [&] {
        if (usb.reads().size() > readsBefore) {
            closer.stop();
            window->windowHandle()->close();
        }
    });
    closer.start(5ms);
    QTimer lost; // a close that was lost, or that waits for the printer, leaves the loop running
    lost.callOnTimeout([] { QApplication::exit(1); });
    lost.start(10s);
    EXPECT_EQ(QApplication::exec(), 0);
    lost.stop();
    EXPECT_TRUE(networkSettingPending(*networkModel)); // the loop ended with the read still out
    EXPECT_FALSE(window->isVisible());
    usb.holdReads(false);

    ASSERT_TRUE(waitUntil([&] { return !networkSettingPending(*networkModel); }));
    settle();
    for (QWidget* shown : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(shown->isVisible()) << shown->metaObject()->className();
    }
}

TEST_F(StatusMonitorTest, ColumnsKeepTheirPlacesAndLimitsAtAnyWindowSize) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}));
    const QSize sizes[] = {{800, 500}, {1400, 900}, window->minimumSize(), {660, 300}, {2600, 1500}};
    for (const QSize& asked : sizes) {
        window->resize(asked);
        settle();
        const QSize size = window->size();
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        EXPECT_EQ(size, asked.expandedTo(window->minimumSize()));
        const QRect side(sidebar().mapTo(window.get(), QPoint()), sidebar().size());
        const QRect detail(window->detailColumn()->mapTo(window.get(), QPoint()),
                           window->detailColumn()->size());
        const QRect view(status().mapTo(window.get(), QPoint()), status().size());
        // The sidebar: the left edge, the whole height, 200 to 256 wide.
        EXPECT_EQ(side.topLeft(), QPoint(0, 0));
        EXPECT_EQ(side.height(), size.height());
        EXPECT_GE(side.width(), 200);
        EXPECT_LE(side.width(), 256);
        // The detail column: everything to the right of the sidebar (and its edge).
        EXPECT_GE(detail.left(), side.right() + 1);
        EXPECT_LE(detail.left(), side.right() + 1 + 8);
        EXPECT_EQ(detail.right(), size.width() - 1);
        EXPECT_EQ(detail.top(), 0);
        EXPECT_EQ(detail.height(), size.height());
        // The status view inside it: 400 to 450 wide, as wide as it may be, centred, full height.
        EXPECT_GE(view.width(), 400);
        EXPECT_LE(view.width(), 450);
        EXPECT_EQ(view.width(), std::min(450, detail.width()));
        EXPECT_LE(std::abs((view.left() - detail.left()) - (detail.right() - view.right())), 1);
        EXPECT_EQ(view.height(), size.height());
        EXPECT_GE(view.height(), 250);
    }
    EXPECT_GE(window->minimumSize().width(), 600);
    EXPECT_GE(window->minimumSize().height(), 250);
}

TEST_F(StatusMonitorTest, WifiAlertsShowTheStringTablesTextsAsTheyStand) {
    ASSERT_NO_FATAL_FAILURE(start({.netPrinter = false}));
    overrideLocalizedString("zh", "错误", "错误 <b>&amp;</b>");
    overrideLocalizedString("zh", "设备忙,打印中", "设备忙 <busy> & \"打印中\"");
    overrideLocalizedString("zh", "IP格式错误", "IP \"格式\" <错误> & &lt;");

    // The failed read of the network-settings button.
    printers->responder->setBusy(true);
    status().networkSettingButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !alerts().empty(); }));
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(test::shownAlertLines(*alerts().front()),
              (QStringList{QString::fromStdString(localizedString("错误")),
                           QString::fromStdString(localizedString("设备忙,打印中"))}));
    alerts().front()->buttons().at(0)->click();
    settle();

    // The access-point form's address check, on an address the printer reported.
    printers->responder->setBusy(false);
    sim::AccessPointRecord record;
    record.ip = "192.168.1.256";
    printers->responder->setAccessPoint(record);
    status().networkSettingButton()->click();
    ASSERT_TRUE(waitUntil([&] { return status().settingScreen() != nullptr; }));
    auto* form = dynamic_cast<SettingView*>(status().settingScreen())->apForm();
    form->okButton()->click();
    settle();
    ASSERT_NE(form->alert(), nullptr);
    EXPECT_EQ(test::shownAlertLines(*form->alert()),
              (QStringList{QString::fromStdString(localizedString("错误")),
                           QString::fromStdString(localizedString("IP格式错误"))}));
}

// At the window's smallest size every visible control shows whole and apart
// from the others, with the longest status texts and network name, in either
// language, for either printer and on either settings tab; the window refuses
// to get smaller, and a printer picked there keeps its width (its least size
// already holds what the pick shows until the printer answers, and the longest
// status it then sends).
// Tab walks the window as it reads: the sidebar top to bottom, the status
// view's button, then the settings tabs and the shown form's controls top to
// bottom and its buttons left to right; Shift+Tab the same way back.
TEST_F(StatusMonitorTest, AtItsSmallestSizeNoControlIsCutOrCoveredAndTabReadsTheWindow) {
    ASSERT_NO_FATAL_FAILURE(start({}, {.pollInterval = dispatch::Seconds(0.2)}));
    printers->usb->setStatus(3100, 40); // the longest message and description of the table
    sim::ClientModeRecord fixed;
    fixed.ipSetType = "S";                           // the client form's address rows take input
    fixed.name = "WORKSHOP-WLAN MAIN BUILDING 5GHZ"; // as long as a network name gets (32 bytes)
    printers->responder->setNetworks({{fixed.name, 7}, {"Guest", 3}});
    printers->responder->setClientMode(fixed);
    const struct {
        const char* language;
        int row; // the printer picked
        int tab; // the settings tab shown, -1 for none
        const char* message;
        int thenRow = -1; // the printer picked once the window is at its smallest
    } cases[] = {
        {"zh", 0, -1, "纸型与机器纸张设置不匹配"},
        {"zh", 1, -1, "就绪"},
        // Row 1 is still picked: this window shows only the short status until the pick at its
        // smallest. (A window that once showed a longer text keeps the width that text needed.)
        {"en", 1, -1, "就绪", 0},
        {"zh", 0, 0, nullptr},
        {"zh", 0, 1, nullptr},
        {"en", 0, -1, "纸型与机器纸张设置不匹配"},
        {"en", 0, 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.language) + ", row " + std::to_string(c.row) + ", tab " +
                     std::to_string(c.tab));
        setCurrentLanguage(c.language);
        networkModel->showNetworkSetting = false;
        window = std::make_unique<ContentView>(printerModel, *networkModel);
        window->show();
        settle();
        const bool picked = sidebar().rowButton(c.row)->property("selectedRow").toBool();
        ASSERT_TRUE(picked || c.thenRow < 0) << "the window would show the placeholder before its pick";
        if (!picked) {
            sidebar().rowButton(c.row)->click();
        }
        if (c.message != nullptr) {
            ASSERT_TRUE(waitUntil([&] { return status().messageLabel()->text() == c.message; }));
        }
        if (c.tab >= 0) {
            ASSERT_NO_FATAL_FAILURE(pressNetworkSetting([&] { return status().settingScreen() != nullptr; }));
            dynamic_cast<SettingView*>(status().settingScreen())->tabs()->setCurrentIndex(c.tab);
        }
        window->resize(1, 1);
        // A text that changed just before (the status that came in) makes the least size grow
        // once its layout requests have run: the window gets there without a further resize.
        waitUntil(
            [&] {
                return window->size() == window->minimumSize() && test::layoutProblems(*window).isEmpty();
            },
            10.0);
        EXPECT_EQ(window->size(), window->minimumSize());
        EXPECT_EQ(test::layoutProblems(*window), QStringList{});

        std::vector<QWidget*> order{sidebar().refreshButton(), sidebar().rowButton(0),
                                    sidebar().rowButton(1)};
        if (c.row == 0) {
            order.push_back(status().networkSettingButton());
        }
        if (auto* screen = dynamic_cast<SettingView*>(status().settingScreen())) {
            const auto* ap = screen->apForm();
            const auto* client = screen->clientForm();
            order.push_back(screen->tabs()->tabBar());
            const std::vector<QWidget*> form =
                c.tab == 0 ? std::vector<QWidget*>{ap->nameField(), ap->encryptPicker(), ap->passwordField(),
                                                   ap->okButton(), ap->cancelButton()}
                           : std::vector<QWidget*>{client->networkPicker(),   client->passwordField(),
                                                   client->ipSetTypePicker(), client->ipField(),
                                                   client->maskField(),       client->gatewayField(),
                                                   client->okButton(),        client->closeButton()};
            std::copy_if(form.begin(), form.end(), std::back_inserter(order),
                         [](QWidget* w) { return w->isEnabled(); });
        }
        EXPECT_EQ(test::tabChain(order.front()), order);
        EXPECT_EQ(test::tabChain(order.front(), true), order);

        if (c.thenRow >= 0) {
            const int width = window->width();
            sidebar().rowButton(c.thenRow)->click();
            window->render(); // the placeholder, before the printer can answer
            EXPECT_EQ(status().messageLabel()->text(), QString::fromStdString(localizedString("connecting")));
            // Laid out once no control is cut; a window that widened would get there too.
            EXPECT_TRUE(waitUntil([&] { return test::layoutProblems(*window).isEmpty(); }, 10.0));
            EXPECT_EQ(window->width(), width);
            ASSERT_TRUE(
                waitUntil([&] { return status().messageLabel()->text() == "纸型与机器纸张设置不匹配"; }));
            EXPECT_TRUE(waitUntil([&] { return test::layoutProblems(*window).isEmpty(); }, 10.0));
            EXPECT_EQ(window->width(), width);
        }
    }
}

} // namespace
} // namespace tbx::monitorapp
