// The client-mode form: the network to join (from the networks the printer
// listed, each with its signal icon), its password (masked), DHCP or a fixed
// address with mask and gateway. OK (offered only while the printer listed a
// network) checks a fixed address, writes the editing state into the model's
// client-mode record, sends it and shows the printer's answer; OK is off while
// the settings are on their way (the window keeps answering); the alert's
// button and Close hide the settings screen. The editing state is copied from
// the record once, when the form is made; the network entries and OK's enabled
// state follow the model's list at every refresh.
#pragma once

#include "wifi_setup/forms/WifiFormRules.h"

#include <QWidget>

class QComboBox;
class QLineEdit;
class QMessageBox;
class QPushButton;

namespace tbx {
class NetworkModel;
}

namespace tbx::wifi::forms {

class ClientModeSettingView : public QWidget {
public:
    explicit ClientModeSettingView(NetworkModel& model, QWidget* parent = nullptr);

    // Redraws the network entries and OK from the model's list (OK also off
    // while this form's settings are out).
    void refresh();

    const ClientFormState& state() const { return state_; }
    QComboBox* networkPicker() const { return network_; }
    QLineEdit* passwordField() const { return password_; }
    QComboBox* ipSetTypePicker() const { return ipSetType_; }
    QLineEdit* ipField() const { return ip_; }
    QLineEdit* maskField() const { return mask_; }
    QLineEdit* gatewayField() const { return gateway_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* closeButton() const { return close_; }
    QMessageBox* alert() const;

private:
    void chooseNetwork(int index);
    void chooseIpSetType(int index);
    void confirm();
    void showAlert(const QString& title, const QString& message);

    NetworkModel& model_;
    ClientFormState state_;
    QComboBox* network_;
    QLineEdit* password_;
    QComboBox* ipSetType_;
    QLineEdit* ip_;
    QLineEdit* mask_;
    QLineEdit* gateway_;
    QPushButton* ok_;
    QPushButton* close_;
};

} // namespace tbx::wifi::forms
