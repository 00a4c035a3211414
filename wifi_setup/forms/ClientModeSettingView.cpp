#include "wifi_setup/forms/ClientModeSettingView.h"

#include "platform/widgets/Alert.h"
#include "platform/widgets/Images.h"
#include "platform/widgets/Text.h"
#include "wifi_setup/NetworkModel.h"
#include "wifi_setup/forms/FormLayout.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>

namespace tbx::wifi::forms {

namespace {
QString text(const std::string& s) {
    return QString::fromStdString(s);
}

QLineEdit* addressField(std::string_view placeholderKey, const std::string& value) {
    auto* field = makeField();
    field->setText(text(value));
    field->setPlaceholderText(widgets::localizedText(placeholderKey));
    return field;
}
} // namespace

ClientModeSettingView::ClientModeSettingView(NetworkModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    const ClietModeSetting& record = *model_.clietModeSetting;
    state_ = ClientFormState{.selection = record.orderInList,
                             .wifiName = record.WifiName,
                             .wifiPassword = record.WifiPassword,
                             .ipSetTypeSelection = ipSetTypeSelection(record.ipSetType),
                             .ip = record.ip,
                             .mask = record.mask,
                             .gateway = record.gateway};

    FormFrame frame = makeFormFrame(*this);
    network_ = makePicker();
    addRow(frame, "可选择的热点", network_);
    password_ = makeField();
    password_->setText(text(state_.wifiPassword));
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(widgets::localizedText("请输入密码"));
    addRow(frame, "热点密码", password_);
    ipSetType_ = makePicker();
    ipSetType_->addItem(widgets::localizedText("DHCP"), 0);
    ipSetType_->addItem(widgets::localizedText("手动设置"), 1);
    ipSetType_->setCurrentIndex(ipSetType_->findData(static_cast<int>(state_.ipSetTypeSelection)));
    addRow(frame, "IP获取方式", ipSetType_);
    ip_ = addressField("请输入IP地址", state_.ip);
    addRow(frame, "IP", ip_);
    mask_ = addressField("请输入子网掩码", state_.mask);
    addRow(frame, "子网掩码", mask_);
    gateway_ = addressField("请输入网关", state_.gateway);
    addRow(frame, "网关", gateway_);
    ok_ = addButton(frame, "确定");
    close_ = addButton(frame, "关闭");

    refresh();
    chooseIpSetType(ipSetType_->currentIndex());

    connect(network_, &QComboBox::currentIndexChanged, this, &ClientModeSettingView::chooseNetwork);
    connect(ipSetType_, &QComboBox::currentIndexChanged, this, &ClientModeSettingView::chooseIpSetType);
    connect(password_, &QLineEdit::textChanged, this,
            [this](const QString& s) { state_.wifiPassword = s.toStdString(); });
    connect(ip_, &QLineEdit::textChanged, this, [this](const QString& s) { state_.ip = s.toStdString(); });
    connect(mask_, &QLineEdit::textChanged, this,
            [this](const QString& s) { state_.mask = s.toStdString(); });
    connect(gateway_, &QLineEdit::textChanged, this,
            [this](const QString& s) { state_.gateway = s.toStdString(); });
    connect(ok_, &QPushButton::clicked, this, &ClientModeSettingView::confirm);
    connect(close_, &QPushButton::clicked, this, [this] { model_.showNetworkSetting = false; });
}

void ClientModeSettingView::refresh() {
    const QSignalBlocker blocker(network_); // redrawing is no choice of the user
    network_->clear();
    for (const HotSpot& spot : model_.hotSpotList) {
        const QPixmap icon =
            widgets::resourceImage(QString::fromUtf8(wifiIconName(spot.signalDB)), QSize(20, 16));
        network_->addItem(QIcon(icon), text(spot.name), static_cast<qlonglong>(spot.id));
    }
    network_->setIconSize(QSize(20, 16));
    // A position that names no listed network selects no entry.
    network_->setCurrentIndex(network_->findData(static_cast<qlonglong>(state_.selection)));
    ok_->setEnabled(
        clientOkEnabled(model_.hotSpotList.size(), model_.commandOut(WifiCommand::setClientModeInfo)));
}

QMessageBox* ClientModeSettingView::alert() const {
    return findChild<QMessageBox*>();
}

void ClientModeSettingView::chooseNetwork(int index) {
    if (index < 0) {
        return;
    }
    const std::int64_t chosen = network_->itemData(index).toLongLong();
    if (chosen == state_.selection) {
        return;
    }
    state_.selection = chosen;
    const auto& list = model_.hotSpotList;
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= list.size()) {
        return;
    }
    const ClietModeSetting& record = *model_.clietModeSetting;
    password_->setText(text(passwordForChoice(list[static_cast<std::size_t>(chosen)].name, record.WifiName,
                                              record.WifiPassword)));
}

void ClientModeSettingView::chooseIpSetType(int index) {
    if (index >= 0) {
        state_.ipSetTypeSelection = ipSetType_->itemData(index).toInt();
    }
    const bool fixed = state_.ipSetTypeSelection == 1;
    ip_->setEnabled(fixed);
    mask_->setEnabled(fixed);
    gateway_->setEnabled(fixed);
}

void ClientModeSettingView::confirm() {
    if (const auto error = clientAddressError(state_)) {
        showAlert(widgets::localizedText(kCheckErrorTitle), widgets::localizedText(*error));
        return;
    }
    const ClientRecordWrite write = clientRecordWrite(state_);
    ClietModeSetting& record = *model_.clietModeSetting;
    record.WifiPassword = write.wifiPassword;
    record.ip = write.ip;
    record.mask = write.mask;
    record.gateway = write.gateway;
    record.ipSetType = write.ipSetType;
    record.orderInList = write.orderInList;
    // The answer may come after the screen, and this form with it, has gone.
    model_.setClientModeInfo(
        [form = QPointer<ClientModeSettingView>(this)](std::optional<AlertTriple> result) {
            if (!form) {
                return;
            }
            form->refresh();
            if (result) {
                // The printer's answer is shown as it stands.
                form->showAlert(text(result->title), text(result->message));
            }
        });
    refresh();
}

void ClientModeSettingView::showAlert(const QString& title, const QString& message) {
    // Every alert of this form closes the settings screen with its button.
    widgets::presentAlert(this, title, message, widgets::localizedText("OK"),
                          [this] { model_.showNetworkSetting = false; });
}

} // namespace tbx::wifi::forms
