#include "monitor_app/SettingView.h"

#include "platform/widgets/Text.h"
#include "wifi_setup/forms/APSettingView.h"
#include "wifi_setup/forms/ClientModeSettingView.h"

#include <QTabWidget>
#include <QVBoxLayout>

namespace tbx::monitorapp {

SettingView::SettingView(NetworkModel& model, QWidget* parent) : SettingScreen(parent) {
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    tabs_ = new QTabWidget(this);
    ap_ = new wifi::forms::APSettingView(model);
    client_ = new wifi::forms::ClientModeSettingView(model);
    tabs_->addTab(ap_, widgets::localizedText("apMode"));
    tabs_->addTab(client_, widgets::localizedText("clientMode"));
    tabs_->setCurrentIndex(0);
    layout->addWidget(tabs_);
}

void SettingView::refresh() {
    ap_->refresh();
    client_->refresh();
}

} // namespace tbx::monitorapp
