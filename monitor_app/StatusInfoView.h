// The status view: the selected printer's name with the network-settings
// button (USB printers only), and below a divider the printer card (picture,
// name, connection lines), the status texts in the level colour and the toner
// gauge. While the settings screen is up it covers everything below the
// divider; the header stays reachable. The view draws a StatusViewState; the
// window's root connects its button to the model.
#pragma once

#include "monitor_app/StatusRules.h"

#include <QWidget>
#include <functional>
#include <vector>

class QLabel;
class QMessageBox;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace tbx::monitorapp {

class TonerView;

// The settings screen laid over the view's content. It is redrawn with the
// view, while its forms keep their own editing state.
class SettingScreen : public QWidget {
public:
    using QWidget::QWidget;
    virtual void refresh() {}
};

struct StatusViewState {
    StatusState status;
    int toner = 0;
    bool showNetworkSetting = false;
    // The network-settings button's reads are out: the button is off.
    bool networkSettingPending = false;
};

class StatusInfoView : public QWidget {
    Q_OBJECT
public:
    // `makeSettingScreen` builds a new settings screen each time the screen is
    // shown anew; the view owns it until it is hidden again.
    explicit StatusInfoView(std::function<SettingScreen*(QWidget* parent)> makeSettingScreen,
                            QWidget* parent = nullptr);

    void render(const StatusViewState& state);

    // The view is never smaller than `size`, nor than its content needs to show
    // whole (long status texts wrap into more lines).
    void setLeastSize(QSize size);
    // The statuses the view may be given: its least width holds each of them
    // whole, not only the one shown, so no status that comes in widens it.
    void setEveryStatus(const std::vector<StatusState>& statuses);
    QSize minimumSizeHint() const override;
    QMessageBox* showNoPrinterAlert();

    QLabel* nameLabel() const { return name_; }
    QPushButton* networkSettingButton() const { return networkSetting_; }
    QLabel* pictureLabel() const { return picture_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* descriptionLabel() const { return description_; }
    QStringList connectionTexts() const;
    TonerView* tonerView() const { return toner_; }
    // The settings screen while it is shown, else null.
    SettingScreen* settingScreen() const { return settingScreen_; }

signals:
    void networkSettingRequested();

private:
    std::function<SettingScreen*(QWidget*)> makeSettingScreen_;
    QLabel* name_;
    QPushButton* networkSetting_;
    QStackedWidget* layers_;
    QLabel* picture_;
    QLabel* cardName_;
    QVBoxLayout* connectionLayout_;
    std::vector<QLabel*> connectionLabels_;
    QLabel* message_;
    QLabel* description_;
    TonerView* toner_;
    SettingScreen* settingScreen_ = nullptr;
    QString pictureName_;
    QSize leastSize_;
    // The widest that the message and the description line need over every status.
    int messageWidth_ = 0;
    int descriptionWidth_ = 0;
};

} // namespace tbx::monitorapp
