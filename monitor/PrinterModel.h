// The status monitor's model: the printers found, the printer watched, its
// status, and the poll that keeps that status up to date.
//
// Observing it: every write of a published field (`printerList`,
// `selectedPrinter`, `statusInfo`, `timerMode`, `discovering`), also of a value
// it already holds and also an append to the list or a write of one status
// field, first emits `objectWillChange`, then stores the value, then emits the
// field's own signal; read the new value through its accessor. No widget is
// involved: a view connects to the signals and redraws.
//
// Threads. The model lives on the main thread (the thread of the Qt event loop)
// and every field is read and written there only. The waits happen elsewhere:
// the SNMP discovery, both SNMP queries and the USB status request run one at a
// time on the monitor's one worker queue with a copy of what they need, and
// their results come back to the main queue, where they are written in the
// order of the exchange, so the window keeps painting while a silent network
// printer times out or a USB printer stalls its answer. A timer tick that finds
// a query still in flight is skipped. Results of a query or a discovery that a
// newer selection or refresh has overtaken are dropped; work overtaken before it
// started asks no printer.
//
// Always held by a shared_ptr (make()). Posted work and the poll timer refer to
// the model weakly: work that outlives it is dropped.
#pragma once

#include "monitor/Printer.h"
#include "monitor/PrinterDiscovery.h"
#include "monitor/StatusInfo.h"
#include "monitor/StatusReply.h"
#include "platform/dispatch/Dispatch.h"

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tbx {

class PrinterModel : public QObject, public std::enable_shared_from_this<PrinterModel> {
    Q_OBJECT
    struct Passkey {};

public:
    struct Options {
        // The poll timer's interval (tests shorten it).
        dispatch::Seconds pollInterval{6.0};
        // False: the model starts without a discovery (tests that drive it step by step).
        bool discoverAtStart = true;
    };

    // The model with its start values; unless told otherwise it then runs
    // `getPrinterList()`: the USB printers at once, the network printers when
    // the SNMP discovery has answered, then the first printer is selected and
    // polled.
    static std::shared_ptr<PrinterModel> make(Options options);
    static std::shared_ptr<PrinterModel> make() { return make(Options{}); }

    PrinterModel(Passkey, Options options);
    ~PrinterModel() override;

    // ---- Fields -----------------------------------------------------------
    const std::vector<Printer>& printerList() const { return printerList_; }
    const Printer& selectedPrinter() const { return selectedPrinter_; }
    const StatusInfo& statusInfo() const { return statusInfo_; }
    TimerMode timerMode() const { return timerMode_; }
    // False once a sleeping printer whose name begins with "KRV" has been seen;
    // not published.
    bool isWakeUp() const { return isWakeUp_; }
    // True while the SNMP discovery of `getPrinterList()` runs.
    bool discovering() const { return discovering_; }

    // The sidebar's selection writes these three before `updateStatus`.
    void setSelectedPrinter(Printer printer);
    void setStatusInfo(StatusInfo status);
    void setWakeUp(bool awake) { isWakeUp_ = awake; }

    // True while a poll timer is scheduled (at most one is).
    bool timerScheduled() const;
    dispatch::Seconds pollInterval() const { return options_.pollInterval; }
    // True while a query for the selected printer has not come back.
    bool queryInFlight() const { return queriesInFlight_ > 0; }

    // ---- Discovery ----------------------------------------------------------
    // Empties the list, appends the USB printers, then (when the SNMP discovery
    // has answered) the network printers; sets `isWakeUp`, then selects the
    // first printer and calls `updateStatus`, or shows the no-device status and
    // selects the no-printer value. The timer is left as it is.
    void getPrinterList();
    // Appends the model's printers attached over USB.
    void getPrinterByIOUSB();
    // Starts the SNMP discovery; the network printers are appended when it answers.
    void getPrinterBySNMP();

    // ---- Polling --------------------------------------------------------------
    // Queries the selected printer at once and (re)starts the poll timer; while
    // `isWakeUp` is false it only stops the timer. The argument is not used.
    void updateStatus(const Printer& sPrinter);
    // Stops the poll timer when one was started.
    void stopUpdateStatus();
    // `timerMode` becomes running; a repeating timer for the selected printer's
    // type ("USB" or "Net") is scheduled; other types schedule nothing.
    void startTimer();
    // One query at once for the selected printer's type.
    void initStatus();
    // Status and toner of a network printer over SNMP.
    void getSNMPStatus();
    // "Status?" over the bulk pipes of a USB printer, traced only; nothing calls it.
    void getUSBStatus();
    // Status and toner of a USB printer by the vendor control request.
    void getUSBControlRequestInfo();

    // Stops the poll, drops what is out and waits until the worker has ended the
    // exchange it runs (bounded by that exchange's time-outs): the program calls
    // it before it quits.
    void stop();

signals:
    void objectWillChange();
    void printerListChanged();
    void selectedPrinterChanged();
    void statusInfoChanged();
    void timerModeChanged();
    void discoveringChanged();

private:
    template <class Change>
    void publish(Change&& change, void (PrinterModel::*changed)());
    void setPrinterList(std::vector<Printer> list);
    void appendPrinter(Printer printer);
    void setTimerMode(TimerMode mode);
    void setDiscovering(bool discovering);
    void setLevel(int level);
    void setMessage(std::string message);
    void setDiscription(std::string discription);
    void setToner(int toner);

    // A newer selection or refresh makes the results of earlier work stale.
    void beginGeneration();
    void queryFinished(std::uint64_t generation);
    void networkPrintersFound(std::uint64_t list, const SnmpDiscoveryOutcome& outcome);
    void finishPrinterList();
    void applyStatusReply(const std::string& rInfo, std::uint64_t generation);
    void applyTonerReply(const std::string& reply, std::uint64_t generation);
    void applyUsbStatus(const Printer& printer, const std::optional<UsbStatusAnswer>& reading,
                        std::uint64_t generation);
    void invalidateTimer();
    void pollTick(void (PrinterModel::*query)());

    Options options_;
    std::vector<Printer> printerList_;
    Printer selectedPrinter_;
    StatusInfo statusInfo_;
    TimerMode timerMode_ = TimerMode::stopped;
    // Null: the inert timer of a new model, which never fires.
    std::unique_ptr<dispatch::RepeatingTimer> timer_;
    bool isWakeUp_ = true;
    bool discovering_ = false;
    // Queries of the current generation not yet come back.
    int queriesInFlight_ = 0;
    // Bumped by every selection, poll restart and refresh (on the main thread);
    // shared with the worker, which skips stale work unstarted.
    std::shared_ptr<std::atomic<std::uint64_t>> generation_;
    // Bumped by every refresh; a discovery's result counts only for its own.
    std::uint64_t listGeneration_ = 0;
    // The discovery running belongs to getPrinterList(), which ends when it answers.
    bool listPending_ = false;
};

// The worker queue of the status monitor's SNMP work (discovery and queries).
dispatch::Queue monitorWorkerQueue();

} // namespace tbx
