// The scanner model's background discovery and scan: the work runs off the
// main thread (after what must load on the main thread has), the main thread
// stays free meanwhile, and the outcome lands on
// the main thread in the fields and order that the synchronous operations set.
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "scanning/ScannerModel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace tbx;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Every published change of a model: which field, and whether on the main thread.
struct Changes {
    std::vector<std::string> fields;
    bool allOnMain = true;
    std::vector<combine::AnyCancellable> subscriptions;

    void watch(ScannerModel& model) {
        auto note = [this](const char* name) {
            return [this, name](const auto&) {
                fields.push_back(name);
                allOnMain = allOnMain && dispatch::isMainThread();
            };
        };
        subscriptions.push_back(model.scannerList.sink(note("scannerList")));
        subscriptions.push_back(model.showAlert.sink(note("showAlert")));
        subscriptions.push_back(model.alertTitle.sink(note("alertTitle")));
        subscriptions.push_back(model.alertMessage.sink(note("alertMessage")));
        fields.clear(); // sink() reports the current values first
    }
};

// The scheduler's state of a thread of this process: 'S' while it sleeps in a wait.
char threadState(pid_t thread) {
    std::string stat;
    std::getline(std::ifstream("/proc/self/task/" + std::to_string(thread) + "/stat"), stat);
    const auto close = stat.rfind(") ");
    return close == std::string::npos ? '?' : stat[close + 2];
}

Device usb() {
    return Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
}
Device net() {
    return Device("Tamberlyx", "Tamberlyx(10.213.0.2)", "Net", "10.213.0.2", 0x37, 0x356C);
}

class BackgroundModelTest : public testing::Test {
protected:
    void SetUp() override {
        setCurrentLanguage("en");
        char pattern[] = "/tmp/tbx-background-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        saveDir = pattern;
        services.now = [] { return std::chrono::system_clock::from_time_t(1796764200); };
    }
    void TearDown() override { fs::remove_all(saveDir); }

    UIParams form(const std::string& dir) const {
        UIParams ui;
        ui.scannerName = "Tamberlyx";
        ui.savePrefix = "file";
        ui.saveFileName = "file";
        ui.saveDir = dir;
        return ui;
    }

    std::string saveDir;
    ScannerServices services;
};

} // namespace

// While a search is out the model says so; a search asked for while another
// is out (a refresh) makes the last one decide the "no scanner" alert.
TEST_F(BackgroundModelTest, DiscoveryRunsOffTheMainThreadAndLandsOnIt) {
    struct Case {
        const char* what;
        std::vector<std::vector<Device>> results; // of the searches asked for one after the other
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"scanners found", {{net(), usb()}}, {"scannerList"}},
        {"nothing found", {{}}, {"scannerList", "showAlert", "alertTitle", "alertMessage"}},
        {"nothing, then the next search finds them", {{}, {net(), usb()}}, {"scannerList", "scannerList"}},
        {"nothing twice",
         {{}, {}},
         {"scannerList", "scannerList", "showAlert", "alertTitle", "alertMessage"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> ranOnMain{true};
        std::atomic<bool> preparedOnMain{false};
        std::atomic<std::size_t> searches{0};
        services.prepareDiscovery = [&] { preparedOnMain = dispatch::isMainThread(); };
        services.getDevicesList = [&] {
            ranOnMain = dispatch::isMainThread();
            EXPECT_TRUE(preparedOnMain) << "discovery ran before its preparation on the main thread";
            return c.results[searches++];
        };
        auto model = ScannerModel::make(Device::placeholder(), services);
        Changes changes;
        changes.watch(*model);
        TraceCapture trace;
        for (std::size_t i = 0; i < c.results.size(); ++i) {
            model->autoDetectScannersInBackground();
        }
        EXPECT_TRUE(changes.fields.empty()); // nothing changes before the result is back
        EXPECT_TRUE(model->searching.get());
        ASSERT_TRUE(dispatch::runMainUntil([&] { return !model->searching.get(); }, 20s));

        EXPECT_EQ(searches.load(), c.results.size());
        EXPECT_FALSE(ranOnMain);
        EXPECT_TRUE(preparedOnMain);
        EXPECT_TRUE(changes.allOnMain);
        EXPECT_EQ(changes.fields, c.fields);
        const std::vector<Device>& found = c.results.back();
        EXPECT_EQ(model->scannerList.get(), found);
        if (found.empty()) {
            EXPECT_TRUE(model->showAlert.get());
            EXPECT_EQ(model->alertTitle.get(), localizedString("error"));
            EXPECT_EQ(model->alertMessage.get(), localizedString("noScannerFound"));
        } else {
            EXPECT_FALSE(model->showAlert.get());
            EXPECT_EQ(model->selectedScanner, found.front());
            EXPECT_NE(std::find(trace.lines().begin(), trace.lines().end(), "find scanner , ip = 10.213.0.2"),
                      trace.lines().end());
        }
    }
}

TEST_F(BackgroundModelTest, DiscoveriesOfSeveralWindowsRunOneAtATime) {
    std::atomic<int> running{0}, most{0};
    services.getDevicesList = [&] {
        const int now = ++running;
        most = std::max(most.load(), now);
        std::this_thread::sleep_for(30ms);
        --running;
        return std::vector<Device>{usb()};
    };
    std::vector<std::shared_ptr<ScannerModel>> models;
    for (int i = 0; i < 3; ++i) {
        models.push_back(ScannerModel::make(Device::placeholder(), services));
        models.back()->autoDetectScannersInBackground();
    }
    ASSERT_TRUE(dispatch::runMainUntil(
        [&] {
            return std::all_of(models.begin(), models.end(),
                               [](auto& m) { return !m->scannerList->empty(); });
        },
        20s));
    EXPECT_EQ(most.load(), 1);
}

TEST_F(BackgroundModelTest, ScanRunsOffTheMainThreadWhichStaysFree) {
    Gate gate;
    std::atomic<bool> scanOnMain{true};
    std::atomic<int> usbScans{0}, netScans{0};
    services.runUsbScan = [&](const Device&, const std::shared_ptr<ScanCommand>&) {
        scanOnMain = dispatch::isMainThread();
        ++usbScans;
        gate.wait();
        return ResultPair{true, "2"};
    };
    services.runSocketScan = [&](const Device&, const std::shared_ptr<ScanCommand>&) {
        ++netScans;
        return ResultPair{true, "2"};
    };
    auto model = ScannerModel::make(usb(), services);
    Changes changes;
    changes.watch(*model);
    int finished = 0;
    bool finishedOnMain = false;
    model->startScanInBackground(form(saveDir), [&] {
        ++finished;
        finishedOnMain = dispatch::isMainThread();
    });
    // The scan goes on with the scanner chosen when it started.
    model->selectedScanner = net();

    // While the scan waits at the gate, main-queue work runs promptly.
    ASSERT_TRUE(dispatch::runMainUntil([&] { return usbScans.load() == 1; }, 20s));
    bool probed = false;
    dispatch::Queue::main().async([&] { probed = true; });
    EXPECT_TRUE(dispatch::runMainUntil([&] { return probed; }, 5s));
    EXPECT_TRUE(changes.fields.empty());
    EXPECT_EQ(finished, 0);

    gate.open();
    ASSERT_TRUE(dispatch::runMainUntil([&] { return finished == 1; }, 20s));
    dispatch::runMainFor(20ms);
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(finishedOnMain);
    EXPECT_FALSE(scanOnMain);
    EXPECT_EQ(netScans.load(), 0);
    EXPECT_TRUE(changes.allOnMain);
    EXPECT_EQ(changes.fields, (std::vector<std::string>{"showAlert", "alertTitle", "alertMessage"}));
    EXPECT_EQ(model->alertTitle.get(), localizedString("info"));
    EXPECT_EQ(model->alertMessage.get(), localizedString("scanPages") + "2 " + localizedString("pages"));
    EXPECT_EQ(model->receiveDir, saveDir + "/20261208211000");
}

TEST_F(BackgroundModelTest, WaitForBackgroundWorkLetsARunningScanFinish) {
    Gate started, gate;
    std::atomic<bool> ended{false};
    services.runUsbScan = [&](const Device&, const std::shared_ptr<ScanCommand>&) {
        started.open();
        gate.wait();
        ended = true;
        return ResultPair{true, "1"};
    };
    auto model = ScannerModel::make(usb(), services);
    model->startScanInBackground(form(saveDir), nullptr);
    started.wait();
    // The scan goes on only once this thread sleeps in the wait: a wait that returned at once
    // finds it still running.
    std::atomic<bool> waiting{false};
    std::thread opener([&, self = gettid()] {
        // The wait has no hook of its own: the scheduler's state is polled, with no time limit, so
        // a loaded machine only makes the poll take longer.
        while (!waiting || threadState(self) != 'S') {
            std::this_thread::sleep_for(1ms);
        }
        gate.open();
    });
    waiting = true;
    ScannerModel::waitForBackgroundWork();
    EXPECT_TRUE(ended);
    opener.join();
    // The posted outcome still lands.
    EXPECT_TRUE(dispatch::runMainUntil([&] { return model->showAlert.get(); }, 30s));
}
