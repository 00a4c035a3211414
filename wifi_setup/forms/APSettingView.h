// The access-point form: the printer's hot-spot name, encryption choice and
// password (shown as typed). The address, mask and gateway of the access point
// have no control; the form checks them and writes them back unchanged. OK
// checks the three addresses, writes the editing state into the model's
// access-point record, sends it and shows the printer's answer; OK is off while
// the settings are on their way (the window keeps answering); Cancel hides the
// settings screen. The editing state is copied from the record once, when the
// form is made.
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

class APSettingView : public QWidget {
public:
    explicit APSettingView(NetworkModel& model, QWidget* parent = nullptr);

    // Redraws OK from the model (off while this form's settings are out).
    void refresh();

    const APFormState& state() const { return state_; }
    QLineEdit* nameField() const { return name_; }
    QComboBox* encryptPicker() const { return encrypt_; }
    QLineEdit* passwordField() const { return password_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    // The alert the last OK opened, while it is shown.
    QMessageBox* alert() const;

private:
    void confirm();
    void showAlert(const QString& title, const QString& message);

    NetworkModel& model_;
    APFormState state_;
    QLineEdit* name_;
    QComboBox* encrypt_;
    QLineEdit* password_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

} // namespace tbx::wifi::forms
