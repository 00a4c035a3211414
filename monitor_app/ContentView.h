// The status monitor's window: the printer sidebar column at the left edge,
// as tall as the window (200 wide, up to 256 when the user drags its edge),
// and the detail column with the rest of the width, holding the status view
// (400 to 450 wide and at least 250 high), titled with the string table's
// "statusMonitor". It redraws both
// from the printer model and the network model after every published change,
// and turns the views' taps into model operations. Every window made over the
// same models shows the same list, selection and status; New (Ctrl+N) opens
// another one.
#pragma once

#include "monitor/PrinterModel.h"
#include "platform/combine/Combine.h"
#include "platform/widgets/NextTurn.h"
#include "wifi_setup/NetworkModel.h"

#include <QWidget>
#include <memory>

class QMessageBox;
class QSplitter;

namespace tbx::monitorapp {

class SidebarView;
class StatusInfoView;

class ContentView : public QWidget {
public:
    static constexpr int kSidebarMinWidth = 200;
    static constexpr int kSidebarIdealWidth = 200;
    static constexpr int kSidebarMaxWidth = 256;
    static constexpr int kStatusMinWidth = 400;
    static constexpr int kStatusMaxWidth = 450;
    static constexpr int kStatusMinHeight = 250;

    ContentView(std::shared_ptr<PrinterModel> printerModel, NetworkModel& networkModel,
                QWidget* parent = nullptr);
    ~ContentView() override;

    SidebarView* sidebar() const { return sidebar_; }
    // The column right of the sidebar that holds the status view.
    QWidget* detailColumn() const { return detail_; }
    StatusInfoView* statusView() const { return status_; }
    // Draws the models' present state now (a change draws it on the next turn
    // of the event loop).
    void render();

    // The sidebar's actions, also reachable without a click.
    void selectPrinter(int row);
    void refreshPrinterList();
    void networkSetting();

private:
    void discoveryFinished();

    std::shared_ptr<PrinterModel> printerModel_;
    NetworkModel& networkModel_;
    QSplitter* columns_;
    SidebarView* sidebar_;
    QWidget* detail_;
    StatusInfoView* status_;
    combine::AnyCancellable networkChanges_;
    widgets::NextTurn nextRender_{this, [this] { render(); }};
    // The no-printer alert is decided once, when the first list is complete.
    bool noPrinterAlertDecided_ = false;
    bool refreshAlertPending_ = false;
};

} // namespace tbx::monitorapp
