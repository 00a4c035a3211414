// The scanner window on the offscreen platform: the form's widgets follow its
// rules, a failed check raises one alert and starts nothing (the order of the
// checks is a table of the rules test), a valid form starts one scan, the
// folder chooser, new windows, and a whole scan against the simulated USB
// scanner with the window staying free.
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "scanner_app/ContentView.h"
#include "sim/scanner/UsbScanner.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/LayoutCheck.h"
#include "tests/support/ShownText.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <chrono>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace tbx;
using namespace tbx::scanner_app;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

Device usb() {
    return Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
}

class SettingViewTest : public testing::Test {
protected:
    void SetUp() override {
        setCurrentLanguage("en");
        char pattern[] = "/tmp/tbx-window-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        saveDir = pattern;
        services.scanner.getDevicesList = [this] {
            if (const std::shared_future<void> held = hold; held.valid()) {
                held.wait(); // the search goes on when the test lets it
            }
            return found;
        };
        services.scanner.runUsbScan = [this](const Device&, const std::shared_ptr<ScanCommand>& command) {
            std::lock_guard lock(mutex);
            scans.push_back(command->param.filePath);
            return ResultPair{true, "1"};
        };
        services.chooseFolder = [this](QWidget*, const std::string&) {
            ++chooserRuns;
            return choice;
        };
    }
    void TearDown() override {
        QApplication::closeAllWindows();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ScannerModel::waitForBackgroundWork();
        clearStringOverrides();
        fs::remove_all(saveDir);
    }

    ContentView* openWindow() {
        auto* window = ContentView::open(services);
        dispatch::runMainUntil([&] { return window->form().model().scannerList->size() == found.size(); },
                               20s);
        dispatch::runMainFor(20ms);
        return window;
    }

    template <class T>
    static T* child(ContentView* window, const char* name) {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    static void pick(ContentView* window, const char* row, const QString& text) {
        auto* picker = child<QComboBox>(window, row);
        const int index = picker->findText(text);
        ASSERT_GE(index, 0) << row << ": " << text.toStdString();
        picker->setCurrentIndex(index);
    }
    static QStringList items(ContentView* window, const char* row) {
        QStringList out;
        auto* picker = child<QComboBox>(window, row);
        for (int i = 0; i < picker->count(); ++i) {
            out << picker->itemText(i);
        }
        return out;
    }

    std::string saveDir;
    std::vector<Device> found{usb()};
    std::shared_future<void> hold; // when valid, searches wait for it
    FormServices services;
    FolderChoice choice;
    int chooserRuns = 0;
    std::mutex mutex;
    std::vector<std::string> scans; // page file paths of the scans started
};

} // namespace

TEST_F(SettingViewTest, NewWindowShowsTheDefaultsWithinTheFormsSizeLimits) {
    ContentView* window = openWindow();
    const char* rows[] = {"scanner",     "scanSource", "colorMode",    "contenType",  "resolution",
                          "combineType", "pageSize",   "saveFileType", "rotateAngle", "saveFileName"};
    for (const char* row : rows) {
        EXPECT_FALSE(child<QWidget>(window, row)->isHidden()) << row;
        EXPECT_TRUE(child<QWidget>(window, row)->isEnabled()) << row;
        EXPECT_EQ(child<QWidget>(window, row)->width(), 230) << row;
    }
    const std::pair<const char*, const char*> shown[] = {
        {"scanner", "Tamberlyx"}, {"scanSource", "Auto"},   {"colorMode", "Colour"},
        {"contenType", "Auto"},   {"resolution", "200dpi"}, {"combineType", "No combining"},
        {"pageSize", "A4"},       {"saveFileType", "JPEG"}, {"rotateAngle", "0"},
    };
    for (const auto& [row, text] : shown) {
        EXPECT_EQ(child<QComboBox>(window, row)->currentText().toStdString(), text) << row;
    }
    EXPECT_EQ(child<QLineEdit>(window, "saveFileName")->text(), "file");
    EXPECT_EQ(child<QLineEdit>(window, "saveDir")->text().toStdString(), desktopFolder());

    // The window's limits are the form's frame (5 points of padding around it),
    // which English and Chinese rows fit.
    const int menu = window->minimumHeight() - 410;
    EXPECT_GE(menu, 0);
    EXPECT_EQ(window->minimumSize(), QSize(360, 410 + menu));
    EXPECT_EQ(window->maximumSize(), QSize(760, 610 + menu));
    EXPECT_EQ(window->form().minimumSizeHint(), QSize(360, 410));
    EXPECT_EQ(window->form().maximumSize(), QSize(760, 610));

    // A pick goes through the rules and comes back rendered: ID card locks A4 and the flatbed.
    pick(window, "pageSize", "Letter");
    pick(window, "combineType", "ID card, both sides");
    EXPECT_EQ(child<QComboBox>(window, "pageSize")->currentText(), "A4");
    EXPECT_FALSE(child<QWidget>(window, "pageSize")->isEnabled());
    EXPECT_EQ(child<QComboBox>(window, "scanSource")->currentText(), "Flatbed");
    EXPECT_FALSE(child<QWidget>(window, "scanSource")->isEnabled());
    EXPECT_TRUE(child<QWidget>(window, "rotateAngle")->isHidden());
    EXPECT_EQ(items(window, "resolution").size(), 4); // with 1200 dpi on the flatbed

    // New Window: a second form with its own model and discovery.
    pick(window, "colorMode", "Grey");
    window->findChild<QAction*>("newWindow")->trigger();
    ContentView* second = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* c = dynamic_cast<ContentView*>(w); c != nullptr && c != window) {
            second = c;
        }
    }
    ASSERT_NE(second, nullptr);
    EXPECT_NE(&second->form().model(), &window->form().model());
    ASSERT_TRUE(dispatch::runMainUntil([&] { return !second->form().model().scannerList->empty(); }, 20s));
    EXPECT_EQ(second->form().state().colorMode, 0);
    EXPECT_EQ(window->form().state().colorMode, 1);
}

TEST_F(SettingViewTest, SaveFolderRowAndScanButtonSitCompactAndCentredBelowTheBlock) {
    ContentView* window = openWindow();
    QWidget& form = window->form();
    const auto rect = [&](const char* name) {
        auto* widget = child<QWidget>(window, name);
        return QRect(widget->mapTo(&form, QPoint()), widget->size());
    };
    const auto centred = [&](const QRect& r) {
        return std::abs(r.left() - (form.width() - 1 - r.right())) <= 1;
    };
    // Widths at which the block itself fits (the narrowest form is narrower than its rows).
    for (const QSize size : {QSize(460, 410), QSize(600, 480), QSize(760, 610)}) {
        window->resize(size + (window->size() - form.size()));
        dispatch::runMainFor(20ms);
        SCOPED_TRACE(std::to_string(form.width()) + "x" + std::to_string(form.height()));
        const QRect block = rect("optionRows");
        const QRect row = rect("saveFolderRow");
        const QRect field = rect("saveDir");
        const QRect browse = rect("browser");
        const QRect scan = rect("scan");
        EXPECT_EQ(row.width(), child<QWidget>(window, "saveFolderRow")->sizeHint().width());
        EXPECT_TRUE(centred(row)) << row.left() << ".." << row.right();
        EXPECT_GT(row.top(), block.bottom());
        // The label, the 230-point field and the browse button follow each other closely.
        EXPECT_EQ(field.width(), 230);
        EXPECT_LE(field.left() - row.left(),
                  child<QWidget>(window, "saveFolderRow")->sizeHint().width() - 230);
        EXPECT_LE(browse.left() - field.right(), 12);
        EXPECT_LE(browse.right(), row.right());
        EXPECT_TRUE(centred(scan)) << scan.left() << ".." << scan.right();
        EXPECT_GT(scan.top(), row.bottom());
    }
}

TEST_F(SettingViewTest, ScanChecksRaiseOneAlertAndAValidFormScansOnce) {
    struct Case {
        const char* what;
        std::vector<Device> scanners;
        std::string dir, prefix;
        const char* messageKey; // nullptr: the scan starts
    };
    const Case cases[] = {
        {"no scanner", {}, "", "", "noScannerFound"},
        {"unsafe prefix", {usb()}, "/tmp", "../file", "unsafeSavePrefix"},
        {"valid", {usb()}, "", "scan", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        found = c.scanners;
        scans.clear();
        ContentView* window = openWindow();
        if (c.scanners.empty()) { // discovery finds nothing and says so first
            ASSERT_TRUE(
                dispatch::runMainUntil([&] { return window->form().visibleAlert() != nullptr; }, 20s));
        }
        if (auto* box = window->form().visibleAlert()) {
            box->accept(); // discovery's own "no scanner" alert
            dispatch::runMainFor(20ms);
        }
        auto& model = window->form().model();
        int alerts = 0;
        auto counting = model.showAlert.sink([&](bool shown) { alerts += shown ? 1 : 0; });
        alerts = 0;
        child<QLineEdit>(window, "saveDir")->setText(QString::fromStdString(c.messageKey ? c.dir : saveDir));
        child<QLineEdit>(window, "saveFileName")->setText(QString::fromStdString(c.prefix));
        child<QPushButton>(window, "scan")->click();
        if (c.messageKey == nullptr) {
            EXPECT_FALSE(child<QPushButton>(window, "scan")->isEnabled()); // off while the scan runs
            ASSERT_TRUE(dispatch::runMainUntil([&] { return !window->form().state().scanning; }, 20s));
        }
        dispatch::runMainUntil([&] { return window->form().visibleAlert() != nullptr; }, 20s);

        QMessageBox* box = window->form().visibleAlert();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(alerts, 1);
        EXPECT_EQ(test::shownAlertLines(*box),
                  (QStringList{QString::fromStdString(model.alertTitle.get()),
                               QString::fromStdString(model.alertMessage.get())}));
        if (c.messageKey != nullptr) {
            EXPECT_EQ(model.alertTitle.get(), localizedString("error"));
            EXPECT_EQ(model.alertMessage.get(), localizedString(c.messageKey));
            EXPECT_TRUE(scans.empty());
        } else {
            EXPECT_EQ(model.alertTitle.get(), localizedString("info"));
            EXPECT_EQ(scans, std::vector<std::string>{model.receiveDir + "/scan"});
            EXPECT_TRUE(child<QPushButton>(window, "scan")->isEnabled());
            EXPECT_TRUE(fs::is_directory(model.receiveDir)) << model.receiveDir;
            EXPECT_EQ(fs::path(model.receiveDir).parent_path(), fs::path(saveDir));
        }
        box->accept(); // OK dismisses and clears the flag
        dispatch::runMainFor(20ms);
        EXPECT_FALSE(model.showAlert.get());
        EXPECT_EQ(window->form().visibleAlert(), nullptr);
        window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST_F(SettingViewTest, AlertsShowTheStringTablesTextsAsTheyStand) {
    // The file name check's own English text holds quotes; the others are set over the table.
    const struct {
        const char* what;
        const char* prefix;
        const char* title;   // nullptr: the table's own
        const char* message; // nullptr: the table's own
    } cases[] = {
        {"quotes of the table", "a/b", nullptr, nullptr},
        {"markup-like", "-rf", "Error <b>&amp;</b>", "Names like <i>-x</i> & \"&quot;\" are refused"},
        {"entities", "../x", "&lt;", "&quot;.&quot; & \"..\" <br> stay as typed"},
    };
    ContentView* window = openWindow();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clearStringOverrides();
        const std::string key =
            std::string(c.prefix) == "-rf" ? "saveFileNameStartsWithDash" : "unsafeSavePrefix";
        if (c.title != nullptr) {
            overrideLocalizedString("en", "error", c.title);
            overrideLocalizedString("en", key, c.message);
        }
        child<QLineEdit>(window, "saveDir")->setText(QString::fromStdString(saveDir));
        child<QLineEdit>(window, "saveFileName")->setText(c.prefix);
        child<QPushButton>(window, "scan")->click();
        dispatch::runMainUntil([&] { return window->form().visibleAlert() != nullptr; }, 20s);
        QMessageBox* box = window->form().visibleAlert();
        ASSERT_NE(box, nullptr);
        const QString title = QString::fromStdString(c.title ? c.title : localizedString("error"));
        const QString message = QString::fromStdString(c.message ? c.message : localizedString(key));
        EXPECT_EQ(test::shownAlertLines(*box), (QStringList{title, message}));
        EXPECT_EQ(box->windowTitle(), title);
        box->accept();
        dispatch::runMainFor(20ms);
    }
    clearStringOverrides();
    EXPECT_EQ(localizedString("unsafeSavePrefix"),
              R"(The file name must not be ".", ".." or only spaces, and must not contain "/".)");
    EXPECT_TRUE(scans.empty());
}

TEST_F(SettingViewTest, FolderChooser) {
    ContentView* window = openWindow();
    auto* folder = child<QLineEdit>(window, "saveDir");
    folder->setText("/start");
    struct Case {
        const char* what;
        bool accepted;
        const char* path; // nullptr: the chooser gave none
        QString folder;
        std::vector<std::string> trace;
    };
    const Case cases[] = {
        {"cancel", false, "/elsewhere", "/start", {}},
        {"OK without a path", true, nullptr, "/start", {}},
        {"a folder", true, "/home/user/scans", "/home/user/scans", {"select file path = /home/user/scans"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        choice = FolderChoice{};
        choice.accepted = c.accepted;
        if (c.path != nullptr) {
            choice.path = c.path;
        }
        TraceCapture capture;
        child<QPushButton>(window, "browser")->click();
        EXPECT_EQ(folder->text(), c.folder);
        EXPECT_EQ(window->form().state().saveDir, c.folder.toStdString());
        EXPECT_EQ(capture.lines(), c.trace);
    }
    EXPECT_EQ(chooserRuns, 3);
}

TEST_F(SettingViewTest, ScanOfTheSimulatedUsbScannerKeepsTheWindowFree) {
    auto bus = sim::usb::Bus::install();
    sim::ScannerScript script;
    script.pages = 3;
    sim::UsbScanner scanner(script);
    bus->plug(scanner.device());
    services.scanner = productScannerServices();

    ContentView* window = ContentView::open(services);
    auto& form = window->form();
    ASSERT_TRUE(dispatch::runMainUntil([&] { return !form.model().scannerList->empty(); }, 30s));
    EXPECT_EQ(form.model().scannerList->front().type, "USB");
    child<QLineEdit>(window, "saveDir")->setText(QString::fromStdString(saveDir));
    pick(window, "resolution", "300dpi");
    auto& device = *scanner.device();
    device.countTransfersOn(std::this_thread::get_id());
    const std::size_t readsBefore = device.reads().size();
    device.holdReads(true); // the scanner keeps the scan's reads until the test lets go
    std::shared_ptr<void> letGo(nullptr, [&](void*) { device.holdReads(false); });
    child<QPushButton>(window, "scan")->click();

    // The window answers while the scan's read is held: a window that waited for a part of the
    // scan would never get to it.
    ASSERT_TRUE(dispatch::runMainUntil([&] { return device.reads().size() > readsBefore; }, 30s));
    bool ran = false;
    dispatch::Queue::main().async([&] { ran = true; });
    ASSERT_TRUE(dispatch::runMainUntil([&] { return ran; }, 30s));
    EXPECT_TRUE(form.state().scanning);
    letGo.reset();
    ASSERT_TRUE(dispatch::runMainUntil([&] { return !form.state().scanning; }, 60s));
    EXPECT_EQ(device.transfersCounted(), 0); // the window's thread asks the scanner nothing

    dispatch::runMainUntil([&] { return form.visibleAlert() != nullptr; }, 20s);
    auto& model = form.model();
    EXPECT_EQ(model.alertTitle.get(), localizedString("info"));
    EXPECT_EQ(model.alertMessage.get(), localizedString("scanPages") + "3 " + localizedString("pages"));
    ASSERT_NE(form.visibleAlert(), nullptr);
    EXPECT_EQ(fs::path(model.receiveDir).parent_path(), fs::path(saveDir));
    EXPECT_GE(fs::path(model.receiveDir).filename().string().size(), 14u); // yyyyMMddHHmmss
    for (int page = 1; page <= 3; ++page) {
        EXPECT_TRUE(fs::exists(model.receiveDir + "/file-000" + std::to_string(page) + ".jpg")) << page;
    }
    EXPECT_EQ(scanner.settings().resolution, "300,300");
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    bus->unplug(scanner.device());
}

// While a search for scanners runs, at launch, after Refresh or in a second
// window, Scan is off and pressing it says nothing; when the search has ended
// Scan is on again, and only a search that found nothing says so.
TEST_F(SettingViewTest, ScanIsOffWhileASearchRuns) {
    const struct {
        const char* what;
        const char* start; // "launch", "refresh" or "new window"
        std::vector<Device> result;
    } cases[] = {
        {"launch, a scanner found", "launch", {usb()}},
        {"launch, none found", "launch", {}},
        {"refresh, none found", "refresh", {}},
        {"second window, a scanner found", "new window", {usb()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        found = {usb()};
        hold = {};
        ContentView* window = std::string(c.start) == "launch" ? nullptr : openWindow();
        std::promise<void> release;
        hold = release.get_future().share();
        // Lets the search go on when reset, and at the latest when the case ends.
        std::shared_ptr<void> letGo(nullptr, [&](void*) { release.set_value(); });
        found = c.result;
        if (window == nullptr) {
            window = ContentView::open(services);
        } else if (std::string(c.start) == "refresh") {
            child<QPushButton>(window, "refreshScanner")->click();
        } else {
            const QWidgetList before = QApplication::topLevelWidgets();
            window->findChild<QAction*>("newWindow")->trigger();
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* other = dynamic_cast<ContentView*>(w);
                    other != nullptr && !before.contains(other)) {
                    window = other;
                }
            }
        }
        auto& model = window->form().model();
        EXPECT_TRUE(model.searching.get());
        EXPECT_FALSE(child<QPushButton>(window, "scan")->isEnabled());
        window->form().scan(); // as a press that got through would
        EXPECT_FALSE(model.showAlert.get());
        EXPECT_TRUE(scans.empty());

        letGo.reset();
        ASSERT_TRUE(
            dispatch::runMainUntil([&] { return child<QPushButton>(window, "scan")->isEnabled(); }, 20s));
        EXPECT_FALSE(model.searching.get());
        EXPECT_EQ(model.scannerList.get(), c.result);
        EXPECT_EQ(window->form().visibleAlert() != nullptr, c.result.empty());
        if (c.result.empty()) {
            EXPECT_EQ(model.alertMessage.get(), localizedString("noScannerFound"));
        }
        QApplication::closeAllWindows();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

namespace {

// Paints a picker as a plain QComboBox does: its item cut off at the edge of
// the field rather than elided.
class ClippedItem : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* picker = qobject_cast<QComboBox*>(watched);
        if (picker == nullptr || event->type() != QEvent::Paint) {
            return false;
        }
        QStylePainter painter(picker);
        QStyleOptionComboBox option;
        option.initFrom(picker);
        option.currentText = picker->currentText();
        option.frame = picker->hasFrame();
        option.subControls = QStyle::SC_All;
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
        return true;
    }
};

} // namespace

// At the window's smallest size every visible control shows whole and apart
// from the others, whatever the language and the rows shown, and the window
// refuses to get smaller; a picker that cut its item off instead of eliding
// it would be named. Tab walks the shown controls as the form reads, row by
// row and left to right, and Shift+Tab the same way back.
TEST_F(SettingViewTest, AtItsSmallestSizeNoControlIsCutOrCoveredAndTabReadsTheForm) {
    const struct {
        const char* language;
        const char* what;
        std::vector<std::pair<const char*, const char*>> picks;
        const char* clipped = nullptr; // the picker painted as ClippedItem does
    } cases[] = {
        {"en", "defaults", {}},
        {"en",
         "black and white, ID card",
         {{"colorMode", "Black and white"}, {"combineType", "ID card, both sides"}}},
        {"en", "PDF", {{"saveFileType", "PDF"}}},
        {"zh", "defaults", {}},
        {"zh", "combined", {{"combineType", "左右合并"}}},
        {"en", "the scanner's name cut off", {}, "scanner"},
    };
    found = {Device("Tamberlyx", "Tamberlyx(192.168.100.200)", "Net", "192.168.100.200", 0x37, 0x356C),
             usb()};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.language) + ", " + c.what);
        setCurrentLanguage(c.language);
        ContentView* window = openWindow();
        for (const auto& [row, text] : c.picks) {
            pick(window, row, QString::fromUtf8(text));
        }
        ClippedItem clipping;
        if (c.clipped != nullptr) {
            child<QComboBox>(window, c.clipped)->installEventFilter(&clipping);
        }
        window->resize(1, 1);
        QApplication::processEvents();
        EXPECT_EQ(window->size(), window->minimumSize());
        const QStringList problems = test::layoutProblems(*window);
        if (c.clipped == nullptr) {
            EXPECT_EQ(problems, QStringList{});
        } else {
            const QString cut = QString("QComboBox \"%1\" at ").arg(c.clipped);
            EXPECT_TRUE(problems.size() == 1 && problems[0].startsWith(cut) &&
                        problems[0].contains(" cuts \"Tamberlyx(192.168.100.200)\""))
                << problems.join('\n').toStdString();
        }
        std::vector<QWidget*> order;
        for (const char* name : {"scanner", "refreshScanner", "scanSource", "colorMode", "contenType",
                                 "resolution", "combineType", "pageSize", "saveFileType", "rotateAngle",
                                 "saveFileName", "saveDir", "browser", "scan"}) {
            if (QWidget* control = child<QWidget>(window, name);
                control->isVisibleTo(window) && control->isEnabled()) {
                order.push_back(control);
            }
        }
        EXPECT_EQ(test::tabChain(order.front()), order);
        EXPECT_EQ(test::tabChain(order.front(), true), order);
        window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}
