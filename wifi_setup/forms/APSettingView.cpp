#include "wifi_setup/forms/APSettingView.h"

#include "platform/widgets/Alert.h"
#include "platform/widgets/Text.h"
#include "wifi_setup/NetworkModel.h"
#include "wifi_setup/forms/FormLayout.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace tbx::wifi::forms {

namespace {
QString text(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

APSettingView::APSettingView(NetworkModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    const APSetting& record = *model_.apSetting;
    state_ = APFormState{.apName = record.APName,
                         .encryptModeSelection = record.encryptMode,
                         .apPassword = record.APPassword,
                         .ip = record.ip,
                         .mask = record.mask,
                         .gateway = record.gateway};

    FormFrame frame = makeFormFrame(*this);
    name_ = makeField();
    name_->setText(text(state_.apName));
    name_->setPlaceholderText(widgets::localizedText("请输入打印机热点的名称"));
    addRow(frame, "热点名称", name_);
    encrypt_ = makePicker();
    encrypt_->addItem(widgets::localizedText("不加密"), 0);
    encrypt_->addItem(widgets::localizedText("WAP2PSK_AES"), 1);
    // A value the picker does not offer (6, written by an earlier OK) selects no entry.
    encrypt_->setCurrentIndex(encrypt_->findData(static_cast<int>(state_.encryptModeSelection)));
    addRow(frame, "加密方式", encrypt_);
    password_ = makeField();
    password_->setText(text(state_.apPassword));
    password_->setPlaceholderText(widgets::localizedText("请输入打印机热点的密码"));
    addRow(frame, "密码", password_);
    ok_ = addButton(frame, "确定");
    cancel_ = addButton(frame, "取消");

    connect(name_, &QLineEdit::textChanged, this,
            [this](const QString& s) { state_.apName = s.toStdString(); });
    connect(password_, &QLineEdit::textChanged, this,
            [this](const QString& s) { state_.apPassword = s.toStdString(); });
    connect(encrypt_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0) {
            state_.encryptModeSelection = encrypt_->itemData(index).toInt();
        }
    });
    connect(ok_, &QPushButton::clicked, this, &APSettingView::confirm);
    connect(cancel_, &QPushButton::clicked, this, [this] { model_.showNetworkSetting = false; });
    refresh();
}

void APSettingView::refresh() {
    ok_->setEnabled(!model_.commandOut(WifiCommand::setAPInfo));
}

QMessageBox* APSettingView::alert() const {
    return findChild<QMessageBox*>();
}

void APSettingView::confirm() {
    // A failed check writes nothing and sends nothing.
    if (const auto error = firstAddressError(state_.ip, state_.mask, state_.gateway)) {
        showAlert(widgets::localizedText(kCheckErrorTitle), widgets::localizedText(*error));
        return;
    }
    APSetting& record = *model_.apSetting;
    record.APName = state_.apName;
    record.encryptMode = encryptModeToSend(state_.encryptModeSelection);
    record.ip = state_.ip;
    record.mask = state_.mask;
    record.gateway = state_.gateway;
    record.APPassword = state_.apPassword;
    // The answer may come after the screen, and this form with it, has gone.
    model_.setAPInfo([form = QPointer<APSettingView>(this)](std::optional<AlertTriple> result) {
        if (!form) {
            return;
        }
        form->refresh();
        if (result) {
            form->showAlert(widgets::localizedText(result->title), widgets::localizedText(result->message));
        }
    });
    refresh();
}

void APSettingView::showAlert(const QString& title, const QString& message) {
    // The form stays with the typed values when the alert goes.
    widgets::presentAlert(this, title, message, widgets::localizedText("OK"));
}

} // namespace tbx::wifi::forms
