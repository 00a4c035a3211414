#include "monitor/PrinterModel.h"

#include "device/Snmp.h"
#include "monitor/PrinterDiscovery.h"
#include "monitor/StatusReply.h"
#include "monitor/TamberlyxStatus.h"
#include "monitor/UsbStatusQuery.h"
#include "platform/foundation/Print.h"

#include <cstring>
#include <exception>
#include <optional>
#include <utility>

namespace tbx {

namespace {

constexpr const char* kStatusObject = "1.3.6.1.4.1.53303.2.7.1.1";
constexpr const char* kTonerObject = "1.3.6.1.4.1.53303.2.7.4.1";
// The toner object answers a short number; the status object at most 199 characters.
constexpr std::size_t kTonerReplySize = 30;

// The sleep rule: a printer of the "KRV" line that reports the sleep code
// stops being polled at its next selection.
bool putsToSleep(std::int64_t code, const std::string& printerName) {
    return code == 2009 && printerName.starts_with("KRV");
}

// The rendered reply of one SNMP GET, read back up to the first zero byte.
std::string snmpGet(const std::string& ip, const char* object, std::size_t size) {
    std::vector<char> buffer(size, '\0');
    getPrinterStatusBySNMP(ip.c_str(), object, buffer.data(), buffer.size());
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

// The status control request to `printer`; none when the printer could not be
// asked or fewer than the two code bytes came back.
std::optional<UsbStatusAnswer> readUsbStatus(const Printer& printer) {
    UsbStatusBuffer answer{};
    try {
        return usbStatusFromAnswer(answer, requestUsbStatus(printer, answer));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

dispatch::Queue monitorWorkerQueue() {
    // Lives as long as the process: work may still run while the process ends.
    static const auto* queue = new dispatch::Queue(dispatch::Queue::serial("tamberlyx.monitor.worker"));
    return *queue;
}

std::shared_ptr<PrinterModel> PrinterModel::make(Options options) {
    const bool discover = options.discoverAtStart;
    auto model = std::make_shared<PrinterModel>(Passkey{}, options);
    if (discover) {
        model->getPrinterList();
    }
    return model;
}

PrinterModel::PrinterModel(Passkey, Options options)
    : options_(options), selectedPrinter_(""), statusInfo_(1, "正在连接", "", 0),
      generation_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

PrinterModel::~PrinterModel() = default;

// ---- Published fields ---------------------------------------------------------

template <class Change>
void PrinterModel::publish(Change&& change, void (PrinterModel::*changed)()) {
    emit objectWillChange();
    change();
    emit(this->*changed)();
}

void PrinterModel::setPrinterList(std::vector<Printer> list) {
    publish([&] { printerList_ = std::move(list); }, &PrinterModel::printerListChanged);
}

void PrinterModel::appendPrinter(Printer printer) {
    publish([&] { printerList_.push_back(std::move(printer)); }, &PrinterModel::printerListChanged);
}

void PrinterModel::setSelectedPrinter(Printer printer) {
    // Whatever was in flight for the printer selected before is now stale.
    beginGeneration();
    publish([&] { selectedPrinter_ = std::move(printer); }, &PrinterModel::selectedPrinterChanged);
}

void PrinterModel::setStatusInfo(StatusInfo status) {
    publish([&] { statusInfo_ = std::move(status); }, &PrinterModel::statusInfoChanged);
}

void PrinterModel::setLevel(int level) {
    publish([&] { statusInfo_.level = level; }, &PrinterModel::statusInfoChanged);
}

void PrinterModel::setMessage(std::string message) {
    publish([&] { statusInfo_.message = std::move(message); }, &PrinterModel::statusInfoChanged);
}

void PrinterModel::setDiscription(std::string discription) {
    publish([&] { statusInfo_.discription = std::move(discription); }, &PrinterModel::statusInfoChanged);
}

void PrinterModel::setToner(int toner) {
    publish([&] { statusInfo_.toner = toner; }, &PrinterModel::statusInfoChanged);
}

void PrinterModel::setTimerMode(TimerMode mode) {
    publish([&] { timerMode_ = mode; }, &PrinterModel::timerModeChanged);
}

void PrinterModel::setDiscovering(bool discovering) {
    publish([&] { discovering_ = discovering; }, &PrinterModel::discoveringChanged);
}

bool PrinterModel::timerScheduled() const {
    return timer_ && timer_->isValid();
}

void PrinterModel::beginGeneration() {
    ++*generation_;
    // What is still out there answers for a printer no longer asked about.
    queriesInFlight_ = 0;
}

void PrinterModel::queryFinished(std::uint64_t generation) {
    if (generation == *generation_ && queriesInFlight_ > 0) {
        --queriesInFlight_;
    }
}

// ---- Discovery ------------------------------------------------------------------

void PrinterModel::getPrinterList() {
    beginGeneration();
    ++listGeneration_;
    setPrinterList({});
    getPrinterByIOUSB();
    listPending_ = true;
    getPrinterBySNMP();
}

void PrinterModel::getPrinterByIOUSB() {
    findUsbPrinters([this](Printer printer) { appendPrinter(std::move(printer)); });
}

void PrinterModel::getPrinterBySNMP() {
    const std::uint64_t list = listGeneration_;
    setDiscovering(true);
    prepareSnmp();
    std::weak_ptr<PrinterModel> weak = weak_from_this();
    monitorWorkerQueue().async([weak, list] {
        auto outcome = discoverSnmpPrinters();
        dispatch::Queue::main().async([weak, list, outcome = std::move(outcome)] {
            if (auto model = weak.lock()) {
                model->networkPrintersFound(list, outcome);
            }
        });
    });
}

void PrinterModel::networkPrintersFound(std::uint64_t list, const SnmpDiscoveryOutcome& outcome) {
    if (list != listGeneration_) {
        return; // a newer refresh runs its own discovery
    }
    if (outcome.result == -1) {
        printRaw("snmp get printers error\n");
    } else {
        print("snmp printerList : " + outcome.text);
        printersFromDiscoveryText(outcome.text,
                                  [this](Printer printer) { appendPrinter(std::move(printer)); });
    }
    setDiscovering(false);
    if (std::exchange(listPending_, false)) {
        finishPrinterList();
    }
}

void PrinterModel::finishPrinterList() {
    isWakeUp_ = true;
    if (!printerList_.empty()) {
        setSelectedPrinter(printerList_.front());
        updateStatus(selectedPrinter_);
        return;
    }
    setStatusInfo(noPrinterStatus());
    setSelectedPrinter(Printer(""));
}

// ---- Polling ----------------------------------------------------------------------

void PrinterModel::updateStatus(const Printer&) {
    if (!isWakeUp_) {
        invalidateTimer();
        return;
    }
    beginGeneration();
    initStatus();
    if (timerMode_ == TimerMode::running) {
        invalidateTimer();
    }
    startTimer();
}

void PrinterModel::stopUpdateStatus() {
    if (timerMode_ == TimerMode::running) {
        invalidateTimer();
    }
}

void PrinterModel::invalidateTimer() {
    if (timer_) {
        timer_->invalidate();
    }
}

void PrinterModel::stop() {
    stopUpdateStatus();
    beginGeneration();
    ++listGeneration_;
    monitorWorkerQueue().sync([] {});
}

void PrinterModel::startTimer() {
    setTimerMode(TimerMode::running);
    void (PrinterModel::*query)() = nullptr;
    if (selectedPrinter_.type() == "USB") {
        query = &PrinterModel::getUSBControlRequestInfo;
    } else if (selectedPrinter_.type() == "Net") {
        query = &PrinterModel::getSNMPStatus;
    } else {
        return;
    }
    // The timer belongs to the model, so its action must not keep the model alive.
    std::weak_ptr<PrinterModel> weak = weak_from_this();
    // The replaced timer, already invalidated by the caller, goes with the assignment.
    timer_ = std::make_unique<dispatch::RepeatingTimer>(options_.pollInterval, [weak, query] {
        if (auto model = weak.lock()) {
            model->pollTick(query);
        }
    });
}

void PrinterModel::pollTick(void (PrinterModel::*query)()) {
    if (queriesInFlight_ > 0) {
        return; // the last query still waits for its printer
    }
    (this->*query)();
}

void PrinterModel::initStatus() {
    if (selectedPrinter_.type() == "USB") {
        getUSBControlRequestInfo();
    } else if (selectedPrinter_.type() == "Net") {
        getSNMPStatus();
    }
}

// ---- SNMP query ---------------------------------------------------------------------

void PrinterModel::getSNMPStatus() {
    const std::string ip = selectedPrinter_.ip();
    print("snmp query ip = " + ip);
    prepareSnmp();
    ++queriesInFlight_;
    const std::uint64_t generation = *generation_;
    auto live = generation_;
    std::weak_ptr<PrinterModel> weak = weak_from_this();
    monitorWorkerQueue().async([weak, ip, generation, live] {
        const auto main = dispatch::Queue::main();
        auto finished = [weak, generation] {
            if (auto model = weak.lock()) {
                model->queryFinished(generation);
            }
        };
        if (live->load() != generation) {
            main.async(finished); // overtaken before it started: no traffic
            return;
        }
        std::string rInfo = snmpGet(ip, kStatusObject, kSnmpStatusBufferSize);
        const bool hasCode = statusCodeFromReply(rInfo).has_value();
        main.async([weak, rInfo, generation] {
            if (auto model = weak.lock()) {
                model->applyStatusReply(rInfo, generation);
            }
        });
        if (!hasCode || live->load() != generation) {
            main.async(finished);
            return;
        }
        std::string toner = snmpGet(ip, kTonerObject, kTonerReplySize);
        main.async([weak, toner = std::move(toner), generation, finished] {
            if (auto model = weak.lock()) {
                model->applyTonerReply(toner, generation);
            }
            finished();
        });
    });
}

void PrinterModel::applyStatusReply(const std::string& rInfo, std::uint64_t generation) {
    if (generation != *generation_) {
        return;
    }
    print("rInfo = " + rInfo);
    const auto code = statusCodeFromReply(rInfo);
    if (!code) {
        // "error", and every reply that carries no code, reads as a lost connection.
        setLevel(3);
        setMessage("连接断开");
        setDiscription("连接断开，请查看设备的网络连接情况");
        return;
    }
    if (putsToSleep(*code, selectedPrinter_.name())) {
        isWakeUp_ = false;
    }
    print("selected printer = " + selectedPrinter_.name());
    auto row = decodeStatusInfo(*code, selectedPrinter_.name());
    setLevel(row.level);
    setMessage(std::move(row.message));
    setDiscription(std::move(row.discription));
}

void PrinterModel::applyTonerReply(const std::string& reply, std::uint64_t generation) {
    if (generation != *generation_) {
        return;
    }
    print("toner oid ret = " + reply);
    const auto toner = tonerFromReply(reply);
    if (toner.value) {
        print("toner = " + *toner.value);
    }
    setToner(toner.toner);
}

// ---- USB queries -----------------------------------------------------------------------

void PrinterModel::getUSBControlRequestInfo() {
    ++queriesInFlight_;
    const std::uint64_t generation = *generation_;
    auto live = generation_;
    // The printer selected now is the one asked; a newer selection asks its own
    // and makes this query stale.
    const Printer printer = selectedPrinter_;
    std::weak_ptr<PrinterModel> weak = weak_from_this();
    monitorWorkerQueue().async([weak, printer, generation, live] {
        const bool current = live->load() == generation;
        // Overtaken before it started: the printer is not asked.
        const std::optional<UsbStatusAnswer> reading = current ? readUsbStatus(printer) : std::nullopt;
        dispatch::Queue::main().async([weak, printer, reading, generation, current] {
            if (auto model = weak.lock()) {
                if (current) {
                    model->applyUsbStatus(printer, reading, generation);
                }
                model->queryFinished(generation);
            }
        });
    });
}

void PrinterModel::applyUsbStatus(const Printer& printer, const std::optional<UsbStatusAnswer>& reading,
                                  std::uint64_t generation) {
    if (generation != *generation_) {
        return;
    }
    if (!reading) {
        print("Received: error");
        setLevel(3);
        setMessage("连接断开");
        setDiscription("请检查设备的连接情况");
        return;
    }
    // An answer that ended after the code leaves the toner shown as it was.
    const int toner = reading->toner.value_or(statusInfo_.toner);
    print("usb control endpoint get status. code = " + std::to_string(reading->code) +
          " toner code = " + std::to_string(toner));
    if (putsToSleep(reading->code, printer.name())) {
        isWakeUp_ = false;
    }
    auto row = decodeStatusInfo(reading->code, printer.name());
    setLevel(row.level);
    setMessage(std::move(row.message));
    setDiscription(std::move(row.discription));
    setToner(toner);
}

void PrinterModel::getUSBStatus() {
    // Read here, on the main thread, where the field lives.
    const Printer printer = selectedPrinter_;
    dispatch::Queue::global().async([printer] {
        const auto main = dispatch::Queue::main();
        try {
            Bytes received = requestUsbDataStatus(printer);
            main.async([received = std::move(received)] { print("Received: " + byteListText(received)); });
        } catch (const std::exception& error) {
            main.async([text = std::string(error.what())] { print("Received: error and error is " + text); });
        }
    });
}

} // namespace tbx
