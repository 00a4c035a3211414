#include "scanning/ScannerModel.h"

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "scanning/ReceiveFolder.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScanParameters.h"

#include <charconv>
#include <cstddef>
#include <exception>
#include <unistd.h>
#include <utility>

namespace tbx {

namespace {
const std::string L(const std::string& key) {
    return localizedString(key);
}
} // namespace

std::string failureText(const ResultPair& ret) {
    const std::string& key = ret.detail.empty() ? ret.message : ret.detail;
    const auto blank = key.find(' ');
    if (blank != std::string::npos) {
        const std::string head = key.substr(0, blank);
        if (L(head) != head) {
            return localizedFormat(head, {std::string_view(key).substr(blank + 1)});
        }
    }
    return L(key);
}

std::int64_t pageCountOf(const std::string& message) {
    std::int64_t value = 0;
    const char* first = message.data();
    const char* last = first + message.size();
    if (message.empty() || message[0] < '0' || message[0] > '9') {
        return 0;
    }
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last) {
        return 0;
    }
    return value;
}

std::shared_ptr<ScannerModel> ScannerModel::make(ScannerServices services) {
    auto model = std::make_shared<ScannerModel>(Passkey{}, Device::placeholder(), std::move(services));
    model->autoDetectScanners();
    return model;
}

std::shared_ptr<ScannerModel> ScannerModel::make(Device scanner, ScannerServices services) {
    return std::make_shared<ScannerModel>(Passkey{}, std::move(scanner), std::move(services));
}

ScannerModel::ScannerModel(Passkey, Device scanner, ScannerServices services)
    : selectedScanner(std::move(scanner)), services_(std::move(services)) {}

void ScannerModel::autoDetectScanners() {
    dispatch::Queue::main().async([self = shared_from_this()] { self->applyDiscovery(self->discover()); });
}

std::vector<Device> ScannerModel::discover() const {
    if (!services_.getDevicesList) {
        return {};
    }
    try {
        return services_.getDevicesList();
    } catch (const std::exception& e) {
        print(std::string("scanner discovery failed: ") + e.what());
        return {};
    }
}

void ScannerModel::applyDiscovery(std::vector<Device> found) {
    scannerList = std::move(found);
    if (!scannerList->empty()) {
        selectedScanner = scannerList->front();
        print("find scanner , ip = " + selectedScanner.ip);
    } else if (searchesOut_ == 0) { // a search still out may find one yet
        showAlert = true;
        alertTitle = L("error");
        alertMessage = L("noScannerFound");
    }
}

namespace {
const dispatch::Group& backgroundWork() {
    static const dispatch::Group group;
    return group;
}
} // namespace

void ScannerModel::autoDetectScannersInBackground() {
    static const dispatch::Queue discoveryQueue = dispatch::Queue::serial("scanner discovery");
    if (services_.prepareDiscovery) {
        services_.prepareDiscovery();
    }
    ++searchesOut_;
    searching = true;
    backgroundWork().async(discoveryQueue, [self = shared_from_this()] {
        dispatch::Queue::main().async([self, found = self->discover()]() mutable {
            --self->searchesOut_;
            self->applyDiscovery(std::move(found));
            if (self->searchesOut_ == 0) {
                self->searching = false;
            }
        });
    });
}

void ScannerModel::startScanInBackground(const UIParams& uiParam, std::function<void()> finished) {
    // The scan works in a model of its own that nobody observes; only its
    // outcome crosses back to the main thread.
    auto worker = make(selectedScanner, services_);
    backgroundWork().async(dispatch::Queue::global(), [self = shared_from_this(), worker, uiParam,
                                                       finished = std::move(finished)]() mutable {
        worker->startScan(uiParam);
        dispatch::Queue::main().async([self, worker, finished = std::move(finished)] {
            self->receiveDir = worker->receiveDir;
            if (worker->showAlert) {
                self->showAlert = true;
                self->alertTitle = worker->alertTitle.get();
                self->alertMessage = worker->alertMessage.get();
            }
            if (finished) {
                finished();
            }
        });
    });
}

void ScannerModel::waitForBackgroundWork() {
    backgroundWork().wait();
}

ResultPair ScannerModel::createReceiveDir(const std::string& saveDir) {
    const auto now = services_.now ? services_.now() : std::chrono::system_clock::now();
    const std::string stamp = scanTimestamp(now);
    receiveDir = saveDir + "/" + stamp;
    // A scan in the same second as an earlier one into this folder gets the
    // next free name (stamp-2, -3, ...), as the PDFs do.
    auto made = makeNewFolder(saveDir, stamp);
    if (!made) {
        print("create save image directory error");
        return {false, "cannotCreateReceiveDir"};
    }
    receiveDir = *made;
    print("receive directory created: " + receiveDir);
    return {true, "ok"};
}

void ScannerModel::clearReceiveDir() {
    if (!removeFolderTree(receiveDir)) {
        print("clear receive dir error");
    }
}

ScanParam ScannerModel::setScanParameter(const UIParams& uiParam) const {
    return scanParameters(uiParam, receiveDir);
}

bool ScannerModel::selectScanner(std::int64_t index) {
    const auto& list = scannerList.get();
    if (index < 0 || std::uint64_t(index) >= list.size()) {
        raiseAlert("error", L("noScannerFound"));
        return false;
    }
    selectedScanner = list[std::size_t(index)];
    return true;
}

void ScannerModel::raiseAlert(const std::string& titleKey, const std::string& message) {
    showAlert = true;
    alertTitle = L(titleKey);
    alertMessage = message;
}

std::string ScannerModel::failureMessage(const std::string& text) {
    if (folderEntryCount(receiveDir) == 0) {
        clearReceiveDir(); // nothing was received: no empty folder left behind
        return text;
    }
    return text + "\n" + localizedFormat("pagesKeptIn", {receiveDir});
}

ResultPair ScannerModel::runScan(const std::shared_ptr<ScanCommand>& command) {
    // The process works on a copy of the selected scanner; only "Net" goes the
    // network way, every other type (also "net" or none) the USB way.
    const Device scanner = selectedScanner;
    const auto& run = scanner.type == "Net" ? services_.runSocketScan : services_.runUsbScan;
    if (!run) {
        return {false, "scanProcessUnavailable"};
    }
    try {
        return run(scanner, command);
    } catch (const std::exception& e) {
        print(std::string("scan failed: ") + e.what());
        return {false, "unexpectError"};
    }
}

void ScannerModel::startScan(const UIParams& uiParam) {
    // Choices that would read outside an option list or cannot be carried out,
    // and file names that could not be saved, are refused before anything is
    // written or scanned.
    if (uiParam.saveDir.empty()) {
        raiseAlert("error", L("noSaveDir"));
        return;
    }
    // The file name is checked whole, against the save folder's own name limit.
    const long nameMax = ::pathconf(uiParam.saveDir.c_str(), _PC_NAME_MAX);
    if (auto key = invalidSettingKey(uiParam, nameMax > 0 ? std::size_t(nameMax) : 255)) {
        raiseAlert("error", L(*key));
        return;
    }

    const ResultPair made = createReceiveDir(uiParam.saveDir);
    if (!made.status) {
        raiseAlert("error", L(made.message));
        return;
    }

    const ScanParam param = setScanParameter(uiParam);
    auto command = std::make_shared<ScanCommand>(param);
    const ResultPair ret = runScan(command);

    showAlert = true;
    print("ret = " + describe(ret));
    if (!ret.status) {
        // Pages received before the failure are kept; the alert says where.
        alertTitle = L("error");
        alertMessage = failureMessage(failureText(ret));
        return;
    }

    std::int64_t pages = pageCountOf(ret.message);
    alertTitle = L("info");
    alertMessage = L("scanPages") + std::to_string(pages) + " " + L("pages");

    if (param.combineType != "NoCombine" && pages > 0) {
        const std::int64_t oriation = param.combineType == "IDCard" ? 1 : 0;
        const ResultPair combined = services_.combineImage ? services_.combineImage(pages, oriation, param)
                                                           : ResultPair{false, "saveImageError"};
        if (!combined.status) {
            // A part-combined folder is no input for a PDF: keep it as it is.
            alertTitle = L("error");
            alertMessage = L("combineFailed") + "\n" + localizedFormat("pagesKeptIn", {receiveDir});
            return;
        }
        pages = (pages + 1) / 2;
    }

    if (param.fileType == "PDF") {
        if (pages == 0) {
            // Nothing to gather into a PDF; an empty receive folder goes.
            if (folderEntryCount(receiveDir) == 0) {
                clearReceiveDir();
            }
            return;
        }
        const ResultPair pdf = services_.save2PDF
                                   ? services_.save2PDF(param, pages, uiParam.saveDir,
                                                        pageSizeOption()[std::size_t(uiParam.pageSizeIndex)])
                                   : ResultPair{false, "saveImageError"};
        if (!pdf.status) {
            alertTitle = L("error");
            alertMessage = L("pdfFailed") + "\n" + localizedFormat("pagesKeptIn", {receiveDir});
            return;
        }
        clearReceiveDir();
    }
}

} // namespace tbx
