// The Wi-Fi settings screen: a fill in the window background colour that
// covers the status view's content, and a tab view with the access-point form
// ("apMode", shown first) and the client-mode form ("clientMode"). A new screen
// is made each time it is shown; while it stays up, its forms keep their
// editing state and the tab stays as the user chose it.
#pragma once

#include "monitor_app/StatusInfoView.h"

class QTabWidget;

namespace tbx {
class NetworkModel;
}

namespace tbx::wifi::forms {
class APSettingView;
class ClientModeSettingView;
} // namespace tbx::wifi::forms

namespace tbx::monitorapp {

class SettingView : public SettingScreen {
public:
    SettingView(NetworkModel& model, QWidget* parent = nullptr);
    void refresh() override;

    QTabWidget* tabs() const { return tabs_; }
    wifi::forms::APSettingView* apForm() const { return ap_; }
    wifi::forms::ClientModeSettingView* clientForm() const { return client_; }

private:
    QTabWidget* tabs_;
    wifi::forms::APSettingView* ap_;
    wifi::forms::ClientModeSettingView* client_;
};

} // namespace tbx::monitorapp
