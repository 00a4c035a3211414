#include "device/Observing.h"

#include <atomic>

namespace tbx {

using namespace tbx::iokit;

namespace {

template <DeviceBuild B>
class _USBDeviceListObserver : public std::enable_shared_from_this<_USBDeviceListObserver<B>> {
public:
    // One per registered name; its address is the registration's reference
    // constant. It refers to the observer weakly, so a callback that comes
    // during teardown finds no observer and does nothing.
    struct ObservingContext {
        ObservingContext(std::string name, std::weak_ptr<_USBDeviceListObserver> owner)
            : notificationName(std::move(name)), observer(std::move(owner)) {}
        const std::string notificationName;
        std::weak_ptr<_USBDeviceListObserver> observer;
    };

    _USBDeviceListObserver(dispatch::Queue callbackQueue, DeviceListHandler handler)
        : observingQueue(dispatch::Queue::serial(kObservingQueueLabel)),
          callbackQueue(std::move(callbackQueue)), handler(std::move(handler)),
          alive_(std::make_shared<std::atomic<bool>>(true)) {}

    ~_USBDeviceListObserver() {
        // Reports already on their way are dropped from here on.
        alive_->store(false);
        // The port first: once it is gone no callback runs, so the iterators
        // and the contexts can go (the members that follow).
        observingPort.release();
    }

    static std::shared_ptr<_USBDeviceListObserver> make(const Dictionary& matchingDictionary,
                                                        const std::set<std::string>& notificationNames,
                                                        dispatch::Queue callbackQueue,
                                                        DeviceListHandler handler) {
        auto observer =
            std::make_shared<_USBDeviceListObserver>(std::move(callbackQueue), std::move(handler));
        auto port = NotificationPort::create(kIOMasterPortDefault);
        if (!port) {
            throw USBError(ioreturn::noResources);
        }
        observer->observingPort = std::move(*port);
        observer->observingPort.setDispatchQueue(observer->observingQueue);
        for (const auto& name : notificationNames) {
            auto context = std::make_unique<ObservingContext>(name, observer->weak_from_this());
            io_iterator_t raw = 0;
            const IOReturn code = IOServiceAddMatchingNotification(
                observer->observingPort.port(), name.c_str(), Dictionary(matchingDictionary),
                &matchingCallback, context.get(), &raw);
            RegistryObject iterator(raw);
            observer->contexts_.push_back(std::move(context));
            if (code != ioreturn::success) {
                // Dropping `observer` tears down what was registered so far.
                throw USBError(code);
            }
            observer->handleNotification(name, iterator.object());
            observer->iteratorsForNotifications.emplace(name, std::move(iterator));
        }
        return observer;
    }

    // Hands the draining of the iterator to the callback queue. The block owns
    // its own reference to the iterator, so a teardown in between cannot pull
    // it away; it holds the handler and the name, not the observer.
    void handleNotification(const std::string& name, io_iterator_t iterator) {
        auto held = std::make_shared<RegistryObject>(RegistryObject::retained(iterator));
        callbackQueue.async([held, reportTo = handler, name, alive = alive_] {
            if (!alive->load()) {
                return;
            }
            held->enumerateServices(
                [&](io_object_t service, bool&) {
                    if (alive->load()) {
                        reportTo(name, service);
                    }
                },
                true);
        });
    }

    dispatch::Queue observingQueue;
    NotificationPort observingPort;
    dispatch::Queue callbackQueue;
    std::map<std::string, RegistryObject> iteratorsForNotifications;
    DeviceListHandler handler;

private:
    static void matchingCallback(void* refCon, io_iterator_t iterator) {
        if (refCon == nullptr) {
            return;
        }
        auto* context = static_cast<ObservingContext*>(refCon);
        if (auto observer = context->observer.lock()) {
            observer->handleNotification(context->notificationName, iterator);
        }
    }

    // Freed once the port is gone (the destructor body destroys it first).
    std::vector<std::unique_ptr<ObservingContext>> contexts_;
    std::shared_ptr<std::atomic<bool>> alive_;
};

} // namespace

template <DeviceBuild B>
std::shared_ptr<void> USBDevice<B>::observeDeviceList(Dictionary matchingDictionary,
                                                      DeviceListHandler handler, ObserveOptions options) {
    return _USBDeviceListObserver<B>::make(matchingDictionary, options.notificationNames, options.queue,
                                           std::move(handler));
}

template <DeviceBuild B>
std::shared_ptr<void> USBDevice<B>::observeDeviceList(long vendorIdentifier, long productIdentifier,
                                                      DeviceListHandler handler, ObserveOptions options) {
    return observeDeviceList(matchingDictionary(vendorIdentifier, productIdentifier), std::move(handler),
                             std::move(options));
}

template <DeviceBuild B>
std::shared_ptr<void> USBDevice<B>::observeDeviceList(DeviceListHandler handler, ObserveOptions options) {
    return observeDeviceList(matchingDictionary(std::nullopt, std::nullopt), std::move(handler),
                             std::move(options));
}

template std::shared_ptr<void> USBDevice<ScannerBuild>::observeDeviceList(Dictionary, DeviceListHandler,
                                                                          ObserveOptions);
template std::shared_ptr<void> USBDevice<MonitorBuild>::observeDeviceList(Dictionary, DeviceListHandler,
                                                                          ObserveOptions);
template std::shared_ptr<void> USBDevice<ScannerBuild>::observeDeviceList(long, long, DeviceListHandler,
                                                                          ObserveOptions);
template std::shared_ptr<void> USBDevice<MonitorBuild>::observeDeviceList(long, long, DeviceListHandler,
                                                                          ObserveOptions);
template std::shared_ptr<void> USBDevice<ScannerBuild>::observeDeviceList(DeviceListHandler, ObserveOptions);
template std::shared_ptr<void> USBDevice<MonitorBuild>::observeDeviceList(DeviceListHandler, ObserveOptions);

} // namespace tbx
