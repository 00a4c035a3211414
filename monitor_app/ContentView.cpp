#include "monitor_app/ContentView.h"

#include "monitor_app/MonitorState.h"
#include "monitor_app/NetworkSettingAction.h"
#include "monitor_app/SettingView.h"
#include "monitor_app/SidebarView.h"
#include "monitor_app/StatusInfoView.h"
#include "platform/widgets/Alert.h"
#include "platform/widgets/Text.h"

#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTimer>
#include <algorithm>

namespace tbx::monitorapp {

ContentView::ContentView(std::shared_ptr<PrinterModel> printerModel, NetworkModel& networkModel,
                         QWidget* parent)
    : QWidget(parent), printerModel_(std::move(printerModel)), networkModel_(networkModel) {
    // Two columns over the window's whole height: the sidebar at the left edge,
    // 200 wide and widened by its handle up to 256, and the detail column with
    // the rest, where the status view, 400 to 450 wide, stands centred.
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    columns_ = new QSplitter(Qt::Horizontal, this);
    columns_->setChildrenCollapsible(false);
    // The columns' edge: a thin line on a handle wide enough to take hold of.
    columns_->setHandleWidth(5);
    columns_->setStyleSheet(
        "QSplitter::handle { background: transparent; border-left: 1px solid palette(mid); }");
    layout->addWidget(columns_);
    sidebar_ = new SidebarView(columns_);
    sidebar_->setMinimumWidth(std::max(kSidebarMinWidth, sidebar_->minimumSizeHint().width()));
    sidebar_->setMaximumWidth(kSidebarMaxWidth);
    columns_->addWidget(sidebar_);
    detail_ = new QWidget(columns_);
    auto* detailLayout = new QHBoxLayout(detail_);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    status_ = new StatusInfoView([this](QWidget* parent) { return new SettingView(networkModel_, parent); },
                                 detail_);
    // At least 400 x 250, and as large as its content needs (the window's least
    // size follows).
    status_->setLeastSize(QSize(kStatusMinWidth, kStatusMinHeight));
    // Wide enough for every status, so that a pick or a status that comes in never widens the window.
    std::vector<StatusState> statuses;
    for (const StatusInfo& info : everyStatus()) {
        statuses.push_back(statusViewState(Printer(), info, false).status);
    }
    status_->setEveryStatus(statuses);
    status_->setMaximumWidth(kStatusMaxWidth);
    status_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // The view takes all it may; only the width past its maximum goes to the margins.
    detailLayout->addStretch(1);
    detailLayout->addWidget(status_, 1000);
    detailLayout->addStretch(1);
    columns_->addWidget(detail_);
    columns_->setStretchFactor(0, 0);
    columns_->setStretchFactor(1, 1);
    resize(kSidebarIdealWidth + columns_->handleWidth() + kStatusMaxWidth, 480);
    columns_->setSizes({kSidebarIdealWidth, kStatusMaxWidth});

    connect(sidebar_, &SidebarView::printerTapped, this, &ContentView::selectPrinter);
    connect(sidebar_, &SidebarView::refreshRequested, this, &ContentView::refreshPrinterList);
    connect(status_, &StatusInfoView::networkSettingRequested, this, &ContentView::networkSetting);

    PrinterModel* model = printerModel_.get();
    for (auto changed : {&PrinterModel::printerListChanged, &PrinterModel::selectedPrinterChanged,
                         &PrinterModel::statusInfoChanged, &PrinterModel::discoveringChanged}) {
        connect(model, changed, this, [this] { nextRender_.request(); });
    }
    connect(model, &PrinterModel::discoveringChanged, this, [this] {
        if (!printerModel_->discovering()) {
            discoveryFinished();
        }
    });
    // Published before the value is stored: draw on the next turn.
    networkChanges_ = networkModel_.objectWillChange.sink([this] { nextRender_.request(); });

    auto* newWindow = new QShortcut(QKeySequence::New, this);
    connect(newWindow, &QShortcut::activated, this, [this] {
        auto* window = new ContentView(printerModel_, networkModel_);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->show();
    });

    render();
    if (!printerModel_->discovering()) {
        discoveryFinished();
    }
}

ContentView::~ContentView() = default;

void ContentView::render() {
    setWindowTitle(widgets::localizedText("statusMonitor"));
    const PrinterModel& model = *printerModel_;
    sidebar_->render(sidebarState(model.printerList(), model.selectedPrinter()));
    sidebar_->refreshButton()->setEnabled(!model.discovering());
    status_->render(statusViewState(model.selectedPrinter(), model.statusInfo(),
                                    networkModel_.showNetworkSetting.get(),
                                    networkSettingPending(networkModel_)));
}

void ContentView::discoveryFinished() {
    // The discovery that the model's construction started decides the
    // no-printer alert, once; a later empty refresh shows only its own alert.
    if (!noPrinterAlertDecided_) {
        noPrinterAlertDecided_ = true;
        if (printerModel_->printerList().empty()) {
            status_->showNoPrinterAlert();
        }
    }
    if (refreshAlertPending_) {
        refreshAlertPending_ = false;
        sidebar_->showRefreshAlert();
    }
}

void ContentView::selectPrinter(int row) {
    const auto& list = printerModel_->printerList();
    if (row < 0 || static_cast<std::size_t>(row) >= list.size()) {
        return;
    }
    const Printer printer = list[static_cast<std::size_t>(row)];
    printerModel_->setStatusInfo(connectingStatus());
    printerModel_->setSelectedPrinter(printer);
    printerModel_->setWakeUp(true);
    printerModel_->updateStatus(printer);
    networkModel_.showNetworkSetting = false;
}

void ContentView::refreshPrinterList() {
    printerModel_->stopUpdateStatus();
    refreshAlertPending_ = true;
    printerModel_->getPrinterList();
    // The alert follows the whole discovery, the network part included.
    if (!printerModel_->discovering()) {
        discoveryFinished();
    }
}

void ContentView::networkSetting() {
    // The reads may come back after this window was closed (or destroyed): then
    // no alert shows (presentAlert opens none over a closed window).
    openNetworkSetting(networkModel_, [window = QPointer<ContentView>(this)](const AlertTriple& failure) {
        if (window) {
            widgets::presentAlert(window, widgets::localizedText(failure.title),
                                  widgets::localizedText(failure.message), widgets::localizedText("ok"));
        }
    });
}

} // namespace tbx::monitorapp
