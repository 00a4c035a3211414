// The libusb backend against a scripted USB device: umockdev fakes the sysfs
// entry and the usbfs device node, and answers libusb's usbfs ioctls here, so
// real libusb code runs a bulk and a control exchange. The binary must be
// started through umockdev-wrapper (the test is skipped otherwise).
#include "device/JqIOUSB.h"
#include "platform/iokit/LibusbBackend.h"

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <umockdev.h>

using namespace tbx;

namespace {

// Device, configuration, one vendor interface, bulk OUT 0x01 and bulk IN 0x82.
const std::uint8_t kDescriptors[] = {
    18, 1, 0x00, 0x02, 0,    0,    0, 64,   0x6C, 0x35, 0x37, 0x00, 0x00, 0x01, 0, 0, 0, 1, // device
    9,  2, 32,   0,    1,    1,    0, 0x80, 50,                                             // configuration
    9,  4, 0,    0,    2,    0xFF, 0, 0,    0,                                              // interface 0
    7,  5, 0x01, 2,    0x00, 0x02, 0,                                                       // bulk OUT
    7,  5, 0x82, 2,    0x00, 0x02, 0,                                                       // bulk IN
};

constexpr const char* kDeviceNode = "/dev/bus/usb/001/002";

// The scripted device: answers usbfs ioctls on a GLib main loop of its own.
class MockDevice {
public:
    MockDevice() {
        testbed_ = umockdev_testbed_new();
        gchar* sysPath = umockdev_testbed_add_device(
            testbed_, "usb", "1-1", nullptr, "busnum", "1", "devnum", "2", "speed", "480",
            "bConfigurationValue", "1", "dev", "189:1", nullptr, "DEVTYPE", "usb_device", "DEVNAME",
            kDeviceNode + 5, "BUSNUM", "001", "DEVNUM", "002", "PRODUCT", "356c/37/100", nullptr);
        umockdev_testbed_set_attribute_binary(testbed_, sysPath, "descriptors",
                                              const_cast<guint8*>(kDescriptors), sizeof kDescriptors);
        g_free(sysPath);
        // The device node itself; the ioctl socket attached below serves it.
        gchar* root = umockdev_testbed_get_root_dir(testbed_);
        std::string node = std::string(root) + kDeviceNode;
        g_free(root);
        g_mkdir_with_parents(node.substr(0, node.rfind('/')).c_str(), 0755);
        g_file_set_contents(node.c_str(), "", 0, nullptr);

        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        std::unique_lock lock(mutex_);
        thread_ = std::thread([this] { run(); });
        changed_.wait(lock, [this] { return attached_; });
    }

    ~MockDevice() {
        g_main_loop_quit(loop_);
        thread_.join();
        for (auto* urb : completed_) {
            g_object_unref(urb);
        }
        g_object_unref(handler_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
        g_object_unref(testbed_);
    }

    bool attached() const { return attachedOk_; }

    // A second device of the model (no device node: only its arrival and
    // removal are of interest), announced with a uevent as the kernel would.
    void plugSecond() {
        secondPath_ = umockdev_testbed_add_device(
            testbed_, "usb", "1-2", nullptr, "busnum", "1", "devnum", "3", "speed", "480",
            "bConfigurationValue", "1", "dev", "189:2", nullptr, "DEVTYPE", "usb_device", "DEVNAME",
            "bus/usb/001/003", "BUSNUM", "001", "DEVNUM", "003", nullptr);
        umockdev_testbed_set_attribute_binary(testbed_, secondPath_, "descriptors",
                                              const_cast<guint8*>(kDescriptors), sizeof kDescriptors);
        umockdev_testbed_uevent(testbed_, secondPath_, "add");
    }
    void unplugSecond() {
        umockdev_testbed_uevent(testbed_, secondPath_, "remove");
        umockdev_testbed_remove_device(testbed_, secondPath_);
        g_free(secondPath_);
        secondPath_ = nullptr;
    }

    std::vector<std::uint8_t> bulkIn{0x80, 0x01, 0x02};
    std::vector<std::uint8_t> controlAnswer{5, 0, 0, 0, 0, 9, 9, 9};
    std::vector<std::uint8_t> bulkOut;   // under mutex_
    std::vector<std::uint8_t> lastSetup; // under mutex_
    std::vector<std::uint8_t> log() {
        std::lock_guard lock(mutex_);
        return bulkOut;
    }
    std::vector<std::uint8_t> setup() {
        std::lock_guard lock(mutex_);
        return lastSetup;
    }

private:
    void run() {
        g_main_context_push_thread_default(context_);
        handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockDevice::handleIoctl), this);
        GError* error = nullptr;
        bool ok = umockdev_testbed_attach_ioctl(testbed_, kDeviceNode, handler_, &error);
        if (error != nullptr) {
            ADD_FAILURE() << "attach_ioctl: " << error->message;
            g_error_free(error);
        }
        {
            std::lock_guard lock(mutex_);
            attached_ = true;
            attachedOk_ = ok;
        }
        changed_.notify_all();
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    }

    static gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<MockDevice*>(self)->handle(client);
    }

    gboolean handle(UMockdevIoctlClient* client) {
        gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        GError* error = nullptr;
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &error);
            if (caps == nullptr) {
                return FALSE;
            }
            guint32 value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            std::memcpy(caps->data, &value, sizeof value);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_GETDRIVER:
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            std::lock_guard lock(mutex_);
            if (completed_.empty()) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return TRUE;
            }
            UMockdevIoctlData* urb = completed_.front();
            completed_.pop_front();
            UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
            if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, urb)) {
                g_object_unref(urb);
                return FALSE;
            }
            g_object_unref(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB:
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        default:
            return FALSE;
        }
    }

    gboolean submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        GError* error = nullptr;
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (urbData == nullptr) {
            return FALSE;
        }
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), urb->buffer_length, &error);
        if (buffer == nullptr) {
            return FALSE;
        }
        std::uint8_t* bytes = buffer->data;
        std::lock_guard lock(mutex_);
        urb->status = 0;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            lastSetup.assign(bytes, bytes + 8);
            std::uint16_t wLength = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
            if ((bytes[0] & 0x80) != 0) {
                std::size_t n = std::min<std::size_t>(controlAnswer.size(), wLength);
                std::memcpy(bytes + 8, controlAnswer.data(), n);
                urb->actual_length = static_cast<int>(n);
            } else {
                urb->actual_length = wLength;
            }
        } else if ((urb->endpoint & 0x80) != 0) {
            std::size_t n = std::min<std::size_t>(bulkIn.size(), urb->buffer_length);
            std::memcpy(bytes, bulkIn.data(), n);
            urb->actual_length = static_cast<int>(n);
        } else {
            bulkOut.insert(bulkOut.end(), bytes, bytes + urb->buffer_length);
            urb->actual_length = urb->buffer_length;
        }
        completed_.push_back(UMOCKDEV_IOCTL_DATA(g_object_ref(urbData)));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    UMockdevTestbed* testbed_ = nullptr;
    gchar* secondPath_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool attached_ = false;
    bool attachedOk_ = false;
    std::deque<UMockdevIoctlData*> completed_;
};

} // namespace

TEST(LibusbUmockdevTest, BulkAndControlExchangeThroughTheLibusbBackend) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        GTEST_SKIP() << "needs umockdev-wrapper";
    }
    MockDevice mock;
    ASSERT_TRUE(mock.attached());
    iokit::setBackend(iokit::makeLibusbBackend());

    auto device = USBDevice<MonitorBuild>::create(0x356C, 0x37);
    EXPECT_EQ(device.getVendorIdentifier(), 0x356C);
    auto interface = device.createInterfaceInterface();
    PipeMap pipes;
    Bytes reply;
    interface.openAndPerform([&] {
        pipes = interface.getPipes();
        interface.write(std::string_view("Status?"), 1);
        reply = interface.readBytes({.minCount = 1, .maxCount = 300, .pipe = 2});
    });
    EXPECT_EQ(pipes, (PipeMap{{"writePipe", 1}, {"readPipe", 2}}));
    EXPECT_EQ(mock.log(), (Bytes{'S', 't', 'a', 't', 'u', 's', '?'}));
    EXPECT_EQ(reply, (Bytes{0x80, 0x01, 0x02}));

    // The scanner's open request asks for 1280 bytes into a five-byte buffer.
    Bytes answer(5, 0);
    interface.sendControlRequest({0xC0, 1, 2, 0, 0x0500, nullptr, 255, 2000, 3000}, 0, answer);
    EXPECT_EQ(answer, (Bytes{5, 0, 0, 0, 0}));
    EXPECT_EQ(mock.setup(), (Bytes{0xC0, 1, 2, 0, 0, 0, 0x00, 0x05}));

    interface.release();
    device.release();
    iokit::setBackend(nullptr);
}

TEST(LibusbUmockdevTest, ArrivalsAndRemovalsReachTheObserver) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        GTEST_SKIP() << "needs umockdev-wrapper";
    }
    MockDevice mock;
    ASSERT_TRUE(mock.attached());
    iokit::setBackend(iokit::makeLibusbBackend());

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> reports;
    auto queue = dispatch::Queue::serial("umockdev-observer");
    auto observer =
        USBDevice<ScannerBuild>::observeDeviceList(0x356C, 0x37,
                                                   [&](const std::string& name, iokit::io_object_t) {
                                                       std::lock_guard lock(mutex);
                                                       reports.push_back(name);
                                                       changed.notify_all();
                                                   },
                                                   {.queue = queue});
    auto waitFor = [&](std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return reports.size() >= count; });
    };
    ASSERT_TRUE(waitFor(1)); // the device present at the start
    mock.plugSecond();
    ASSERT_TRUE(waitFor(2));
    mock.unplugSecond();
    ASSERT_TRUE(waitFor(3));
    observer.reset();
    queue.sync([] {});
    EXPECT_EQ(reports,
              (std::vector<std::string>{"IOServiceFirstMatch", "IOServiceFirstMatch", "IOServiceTerminate"}));
    iokit::setBackend(nullptr);
}
