#include "monitor_app/StatusInfoView.h"

#include "monitor_app/ButtonStyles.h"
#include "monitor_app/TonerView.h"
#include "platform/widgets/Alert.h"
#include "platform/widgets/Images.h"
#include "platform/widgets/Text.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace tbx::monitorapp {

namespace {
QFont sized(QFont font, int pixels, bool bold = false) {
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void setTextColour(QLabel& label, const QColor& colour) {
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, colour);
    label.setPalette(palette);
}

constexpr QSize kPictureSize(200, 180);

// The least width `label` needs to show `text` whole: with its words wrapped,
// that of the widest word.
int leastWidth(const QLabel& label, const QString& text) {
    QLabel probe(text);
    probe.setTextFormat(label.textFormat());
    probe.setFont(label.font());
    probe.setContentsMargins(label.contentsMargins());
    probe.setWordWrap(label.wordWrap());
    return probe.minimumSizeHint().width();
}

// `label` is at least `width` wide, and as wide as its present text needs.
void holdWidth(QLabel& label, int width) {
    label.setMinimumWidth(std::max(width, label.minimumSizeHint().width()));
}
} // namespace

StatusInfoView::StatusInfoView(std::function<SettingScreen*(QWidget*)> makeSettingScreen, QWidget* parent)
    : QWidget(parent), makeSettingScreen_(std::move(makeSettingScreen)) {
    auto* outer = new QVBoxLayout(this);
    outer->setSpacing(20);
    outer->setContentsMargins(0, 0, 0, 0);

    auto* header = new QHBoxLayout;
    name_ = new QLabel(this);
    name_->setTextFormat(Qt::PlainText);
    name_->setFont(sized(name_->font(), 15));
    name_->setContentsMargins(10, 10, 10, 10);
    header->addWidget(name_);
    header->addStretch(1);
    networkSetting_ = new QPushButton(widgets::localizedText("networkSetting"), this);
    networkSetting_->setObjectName("networkSetting");
    networkSetting_->setFont(sized(networkSetting_->font(), 14, true));
    networkSetting_->setFlat(true);
    networkSetting_->setStyleSheet(borderlessButtonStyle());
    networkSetting_->setCursor(Qt::PointingHandCursor);
    header->addWidget(networkSetting_);
    header->addSpacing(5);
    outer->addLayout(header);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    outer->addWidget(line);

    layers_ = new QStackedWidget(this);
    outer->addWidget(layers_, 1);

    auto* content = new QWidget(layers_);
    auto* row = new QHBoxLayout(content);
    row->setSpacing(20);
    row->setContentsMargins(0, 0, 0, 0);
    row->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* card = new QWidget(content);
    card->setFixedWidth(200 + 2 * 5);
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(5, 5, 5, 5);
    cardLayout->setSpacing(10);
    picture_ = new QLabel(card);
    picture_->setObjectName("picture");
    picture_->setFixedSize(kPictureSize);
    cardLayout->addWidget(picture_);
    cardName_ = new QLabel(card);
    cardName_->setTextFormat(Qt::PlainText);
    cardName_->setContentsMargins(10, 0, 0, 0);
    cardLayout->addWidget(cardName_);
    connectionLayout_ = new QVBoxLayout;
    connectionLayout_->setSpacing(10);
    cardLayout->addLayout(connectionLayout_);
    cardLayout->addStretch(1);
    row->addWidget(card, 0, Qt::AlignTop);

    auto* block = new QVBoxLayout;
    block->setSpacing(5);
    auto* caption = new QLabel(widgets::localizedText("currentStatus"), content);
    caption->setFont(sized(caption->font(), 10));
    block->addWidget(caption);
    message_ = new QLabel(content);
    message_->setTextFormat(Qt::PlainText);
    message_->setObjectName("message");
    message_->setFont(sized(message_->font(), 26));
    message_->setContentsMargins(10, 10, 10, 10);
    message_->setWordWrap(true); // a long status takes a second line rather than running off
    block->addWidget(message_);
    description_ = new QLabel(content);
    description_->setTextFormat(Qt::PlainText);
    description_->setObjectName("description");
    description_->setFont(sized(description_->font(), 13, true));
    description_->setContentsMargins(20, 0, 0, 15);
    description_->setWordWrap(true);
    block->addWidget(description_);
    auto* blockLine = new QFrame(content);
    blockLine->setFrameShape(QFrame::HLine);
    blockLine->setFrameShadow(QFrame::Sunken);
    block->addWidget(blockLine);
    toner_ = new TonerView(content);
    block->addWidget(toner_);
    block->addStretch(1);
    row->addLayout(block, 1);

    layers_->addWidget(content);

    connect(networkSetting_, &QPushButton::clicked, this, &StatusInfoView::networkSettingRequested);
}

void StatusInfoView::setLeastSize(QSize size) {
    leastSize_ = size;
    updateGeometry();
}

void StatusInfoView::setEveryStatus(const std::vector<StatusState>& statuses) {
    messageWidth_ = 0;
    descriptionWidth_ = 0;
    for (const StatusState& status : statuses) {
        const StatusContent content = statusContent(status);
        messageWidth_ = std::max(messageWidth_, leastWidth(*message_, content.message));
        descriptionWidth_ = std::max(descriptionWidth_, leastWidth(*description_, content.description));
    }
    holdWidth(*message_, messageWidth_);
    holdWidth(*description_, descriptionWidth_);
}

QSize StatusInfoView::minimumSizeHint() const {
    // The layout's least size does not count the lines that wrapped texts need
    // at that width; they need the most where the view is narrowest.
    QSize size = QWidget::minimumSizeHint().expandedTo(leastSize_);
    size.setHeight(std::max(size.height(), layout()->totalHeightForWidth(size.width())));
    return size;
}

QStringList StatusInfoView::connectionTexts() const {
    QStringList texts;
    for (const QLabel* label : connectionLabels_) {
        texts << label->text();
    }
    return texts;
}

void StatusInfoView::render(const StatusViewState& state) {
    const StatusContent content = statusContent(state.status);
    name_->setText(content.header);
    cardName_->setText(content.header);
    networkSetting_->setVisible(content.networkSettingShown);
    networkSetting_->setEnabled(!state.networkSettingPending);
    if (content.pictureName != pictureName_) {
        pictureName_ = content.pictureName;
        picture_->setPixmap(widgets::resourceImage(pictureName_, kPictureSize));
    }

    if (connectionTexts() != content.connectionLines) {
        for (QLabel* label : connectionLabels_) {
            delete label;
        }
        connectionLabels_.clear();
        for (const QString& text : content.connectionLines) {
            auto* label = new QLabel(text, picture_->parentWidget());
            label->setTextFormat(Qt::PlainText);
            label->setContentsMargins(10, 0, 0, 0);
            connectionLayout_->addWidget(label);
            connectionLabels_.push_back(label);
        }
    }

    message_->setText(content.message);
    description_->setText(content.description);
    holdWidth(*message_, messageWidth_);
    holdWidth(*description_, descriptionWidth_);
    setTextColour(*message_, content.levelColor);
    setTextColour(*description_, content.levelColor);
    toner_->setToner(state.toner);

    // The screen is made afresh each time the flag turns true and kept, with
    // its forms' editing state and tab, for as long as the flag stays true.
    if (state.showNetworkSetting && settingScreen_ == nullptr && makeSettingScreen_) {
        settingScreen_ = makeSettingScreen_(layers_);
        layers_->addWidget(settingScreen_);
        layers_->setCurrentWidget(settingScreen_);
    } else if (!state.showNetworkSetting && settingScreen_ != nullptr) {
        // Later: the hiding may come from a button of the screen itself.
        layers_->removeWidget(settingScreen_);
        settingScreen_->deleteLater();
        settingScreen_ = nullptr;
    } else if (settingScreen_ != nullptr) {
        settingScreen_->refresh();
    }
}

QMessageBox* StatusInfoView::showNoPrinterAlert() {
    return widgets::presentAlert(this, widgets::localizedText("error"),
                                 widgets::localizedText("noPrinterError"), widgets::localizedText("ok"));
}

} // namespace tbx::monitorapp
