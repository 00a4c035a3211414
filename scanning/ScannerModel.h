// The scanner application's model: the scanners found, the scanner chosen for
// the next scan, the alert the form shows, and one whole scan from the form's
// choices to files on disk.
//
// Observing it: the model is a combine::ObservableObject (platform/combine).
// `scannerList`, `showAlert`, `alertMessage`, `alertTitle` and `searching` are published
// fields: every assignment first sends `objectWillChange`, then the new value to
// the field's own subscribers (`field.sink(...)`), then stores it. Views need
// no Qt widgets to observe it; a Qt view subscribes and schedules its repaint.
// `selectedScanner` and `receiveDir` are plain fields and announce nothing.
//
// Everything runs on the main thread, except the worker parts of the background
// variants, which touch no published field. The model is always held by a
// shared_ptr (make()), so the work it posts keeps it alive until it ran.
#pragma once

#include "platform/combine/Combine.h"
#include "scanning/Device.h"
#include "scanning/ResultPair.h"
#include "scanning/ScanCommand.h"
#include "scanning/ScannerServices.h"
#include "scanning/UIParams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tbx {

class ScannerModel : public combine::ObservableObject, public std::enable_shared_from_this<ScannerModel> {
    struct Passkey {};

public:
    // The form's model: placeholder scanner, then a discovery is scheduled.
    static std::shared_ptr<ScannerModel> make(ScannerServices services = productScannerServices());
    // A model for a known scanner; no discovery.
    static std::shared_ptr<ScannerModel> make(Device scanner,
                                              ScannerServices services = productScannerServices());

    ScannerModel(Passkey, Device scanner, ScannerServices services);

    combine::Published<std::vector<Device>> scannerList{*this, {}};
    combine::Published<bool> showAlert{*this, false};
    combine::Published<std::string> alertMessage{*this, ""};
    combine::Published<std::string> alertTitle{*this, ""};
    // True from autoDetectScannersInBackground() until the last background
    // search asked for has applied its result: the list is not final yet.
    combine::Published<bool> searching{*this, false};
    Device selectedScanner;
    std::string receiveDir;

    // Posts one discovery to the main queue and returns at once. The discovery
    // replaces `scannerList` and selects its first entry, or raises the
    // "noScannerFound" alert when nothing was found.
    void autoDetectScanners();

    // The variants for a windowed program, whose main thread must stay free to
    // draw and answer while discovery or a scan runs. The work runs on a worker
    // thread; its outcome is posted back to the main queue and applied there, so
    // the published fields change only on the main thread, with the same values
    // in the same order as the synchronous operations set them.
    //
    // Discovery runs on one process-wide serial queue (the SNMP layer serves one
    // operation at a time, whichever window asked); the result is then applied
    // as autoDetectScanners() applies it, except that an empty result raises no
    // alert while a later search of this model is still out: that one decides.
    void autoDetectScannersInBackground();
    // startScan(uiParam) on a worker thread, against a copy of `selectedScanner`;
    // then, on the main queue, `receiveDir`, `showAlert`, `alertTitle` and
    // `alertMessage` take that scan's outcome (in this order) and `finished` runs.
    void startScanInBackground(const UIParams& uiParam, std::function<void()> finished);
    // Waits until every worker part of the background variants has ended, so a
    // program that quits in the middle of a scan still saves its pages.
    static void waitForBackgroundWork();

    // Makes the receive folder `saveDir`/yyyyMMddHHmmss and sets `receiveDir`:
    // (true, "ok") or (false, "cannotCreateReceiveDir", `receiveDir` then names
    // the folder that was not made). A later scan in the same second gets
    // yyyyMMddHHmmss-2, -3 and so on.
    ResultPair createReceiveDir(const std::string& saveDir);

    // Removes the receive folder with everything in it; a failure is only logged.
    void clearReceiveDir();

    // The scanner settings of the form's choices, pages under `receiveDir`.
    // An index outside its list throws std::out_of_range; startScan() checks first.
    ScanParam setScanParameter(const UIParams& uiParam) const;

    // Runs one whole scan and reports through the alert fields. Never throws.
    void startScan(const UIParams& uiParam);

    // The scan button's choice of scanner by picker index: an index outside
    // `scannerList` raises the "noScannerFound" alert and answers false.
    bool selectScanner(std::int64_t index);

    // Shows one alert: `showAlert`, then the title of `titleKey` and `message`.
    void raiseAlert(const std::string& titleKey, const std::string& message);

private:
    // The devices of the discovery service; nothing when it fails.
    std::vector<Device> discover() const;
    // Discovery's result: the list, then the first scanner or the alert.
    void applyDiscovery(std::vector<Device> found);
    // The alert text of a scan failure, saying where received pages were kept
    // (or removing the receive folder when it holds nothing).
    std::string failureMessage(const std::string& text);
    ResultPair runScan(const std::shared_ptr<ScanCommand>& command);

    ScannerServices services_;
    int searchesOut_ = 0; // background searches asked for whose result has not landed
};

// The alert text of a failed step: the text of its detail key, else of its
// message key. A key followed by a blank and an argument whose head has a text
// ("unknownScannerStatus 0x99") has the argument put into that text.
std::string failureText(const ResultPair& ret);

// The page count of a successful scan's message: its decimal value, or 0 when
// the message is not a plain non-negative decimal number (such as "ok").
std::int64_t pageCountOf(const std::string& message);

} // namespace tbx
