#include "device/Observing.h"

#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace tbx;
namespace simusb = tbx::sim::usb;
using namespace std::chrono_literals;

namespace {

constexpr long kVendor = 0x356C;
constexpr long kProduct = 0x37;

struct Report {
    std::string name;
    long productId = 0;
    bool onChosenQueue = false;
};

// Collects the handler's reports from whichever thread they come on.
class Reports {
public:
    DeviceListHandler handler(std::optional<dispatch::Queue> expectedQueue = std::nullopt) {
        return [this, expectedQueue](const std::string& name, iokit::io_object_t service) {
            const auto properties = RegistryObject::properties(service);
            Report report{name, properties ? std::get<std::int64_t>(properties->at("idProduct")) : -1,
                          expectedQueue ? expectedQueue->isCurrent() : dispatch::isMainThread()};
            std::lock_guard lock(mutex_);
            reports_.push_back(report);
            changed_.notify_all();
        };
    }
    // The limit only ends the wait for reports that never come, with room for a loaded machine.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 30000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return reports_.size() >= count; });
    }
    std::vector<Report> snapshot() {
        std::lock_guard lock(mutex_);
        return reports_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

class ObservingTest : public test::SimulatedBusTest<> {
protected:
    // Drains still queued on the callback queues hold their iterators until they ran.
    void afterUnplug() override {
        dispatch::runMainFor(50ms);
        callbackQueue.sync([] {});
    }

    std::shared_ptr<simusb::Device> plug(long product = kProduct, long vendor = kVendor) {
        return SimulatedBusTest::plug(simusb::bulkPairDevice(vendor, product));
    }

    dispatch::Queue callbackQueue = dispatch::Queue::serial("observer-test-callbacks");
};

} // namespace

TEST_F(ObservingTest, PlugAndUnplugAreReportedOnTheChosenQueue) {
    Reports reports;
    auto observer = USBDevice<ScannerBuild>::observeDeviceList(
        kVendor, kProduct, reports.handler(callbackQueue), {.queue = callbackQueue});
    auto other = plug(0x38);
    auto otherVendor = plug(kProduct, 0x1234);
    auto device = plug();
    ASSERT_TRUE(reports.waitFor(1));
    bus->unplug(device);
    bus->unplug(other);
    ASSERT_TRUE(reports.waitFor(2));
    std::this_thread::sleep_for(50ms); // a moment for a report too many to show: nothing else may come
    auto seen = reports.snapshot();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].name, "IOServiceFirstMatch");
    EXPECT_EQ(seen[1].name, "IOServiceTerminate");
    for (const auto& report : seen) {
        EXPECT_EQ(report.productId, kProduct);
        EXPECT_TRUE(report.onChosenQueue);
    }
    observer.reset();
}

TEST_F(ObservingTest, PresentDevicesAreReportedOnceAfterTheCreatingCall) {
    plug();
    plug();
    Reports reports;
    std::shared_ptr<void> observer;
    // Created on the callback queue itself: the first reports can only come after it returned.
    callbackQueue.sync([&] {
        observer = USBDevice<MonitorBuild>::observeDeviceList(
            kVendor, kProduct, reports.handler(callbackQueue), {.queue = callbackQueue});
        EXPECT_TRUE(reports.snapshot().empty());
    });
    ASSERT_TRUE(reports.waitFor(2));
    std::this_thread::sleep_for(50ms); // a moment for a report too many to show
    auto seen = reports.snapshot();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].name, "IOServiceFirstMatch");
    EXPECT_EQ(seen[1].name, "IOServiceFirstMatch");
}

TEST_F(ObservingTest, TerminateOnlyReportsNothingAtCreation) {
    auto device = plug();
    Reports reports;
    auto observer = USBDevice<ScannerBuild>::observeDeviceList(
        kVendor, kProduct, reports.handler(callbackQueue),
        {.notificationNames = {"IOServiceTerminate"}, .queue = callbackQueue});
    EXPECT_FALSE(reports.waitFor(1, 100ms));
    bus->unplug(device);
    ASSERT_TRUE(reports.waitFor(1));
    EXPECT_EQ(reports.snapshot()[0].name, "IOServiceTerminate");
}

TEST_F(ObservingTest, DefaultQueueIsTheMainQueue) {
    Reports reports;
    auto observer = USBDevice<ScannerBuild>::observeDeviceList(reports.handler());
    plug(0x99, 0x0001); // the variant without identifiers sees every device
    ASSERT_TRUE(dispatch::runMainUntil([&] { return reports.snapshot().size() == 1; }, 2s));
    EXPECT_TRUE(reports.snapshot()[0].onChosenQueue);
    EXPECT_EQ(reports.snapshot()[0].productId, 0x99);
}

TEST_F(ObservingTest, DroppingTheObserverStopsReports) {
    Reports reports;
    auto observer = USBDevice<ScannerBuild>::observeDeviceList(
        kVendor, kProduct, reports.handler(callbackQueue), {.queue = callbackQueue});
    callbackQueue.sync([] {}); // the first drains ran
    EXPECT_EQ(iokit::liveObjectCounts().notificationPorts, baseline.notificationPorts + 1);
    observer.reset();
    EXPECT_EQ(iokit::liveObjectCounts().notificationPorts, baseline.notificationPorts);
    auto device = plug();
    bus->unplug(device);
    EXPECT_FALSE(reports.waitFor(1, 100ms));
}

TEST_F(ObservingTest, TeardownWithDrainsStillQueuedIsSafe) {
    Reports reports;
    std::mutex gate;
    std::unique_lock hold(gate);
    callbackQueue.async([&] { std::lock_guard wait(gate); }); // keeps the callback queue busy
    plug();
    auto observer = USBDevice<ScannerBuild>::observeDeviceList(
        kVendor, kProduct, reports.handler(callbackQueue), {.queue = callbackQueue});
    observer.reset(); // iterators released by the teardown while their drains are still queued
    hold.unlock();
    callbackQueue.sync([] {});
    EXPECT_TRUE(reports.snapshot().empty());
}

TEST_F(ObservingTest, RefusedRegistrationIsReportedInBothBuilds) {
    Reports reports;
    auto refused = [&](auto build) {
        using B = decltype(build);
        try {
            USBDevice<B>::observeDeviceList(
                kVendor, kProduct, reports.handler(callbackQueue),
                {.notificationNames = {"IOServiceFirstMatch", "IOServiceNoSuchThing"},
                 .queue = callbackQueue});
        } catch (const USBError& error) {
            return error.isReturnCode() && error.code() == ioreturn::unsupported;
        }
        return false;
    };
    EXPECT_TRUE(refused(ScannerBuild{}));
    EXPECT_TRUE(refused(MonitorBuild{}));
    // What was registered before the refusal is torn down again.
    EXPECT_EQ(iokit::liveObjectCounts().notificationPorts, baseline.notificationPorts);
}

TEST_F(ObservingTest, ManyArrivalsAreEachReportedOnce) {
    Reports reports;
    auto observer = USBDevice<MonitorBuild>::observeDeviceList(
        kVendor, kProduct, reports.handler(callbackQueue), {.queue = callbackQueue});
    std::vector<std::thread> pluggers;
    for (int t = 0; t < 4; ++t) {
        pluggers.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                plug();
            }
        });
    }
    for (auto& thread : pluggers) {
        thread.join();
    }
    ASSERT_TRUE(reports.waitFor(100));
    std::this_thread::sleep_for(50ms); // a moment for a report too many to show
    EXPECT_EQ(reports.snapshot().size(), 100u);
}
