#include "monitor_app/SidebarView.h"

#include "monitor_app/ButtonStyles.h"
#include "platform/widgets/Alert.h"
#include "platform/widgets/Images.h"
#include "platform/widgets/TabOrder.h"
#include "platform/widgets/Text.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tbx::monitorapp {

namespace {
QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}
} // namespace

SidebarView::SidebarView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(divider(this));

    auto* header = new QHBoxLayout;
    header->setSpacing(5);
    auto* icon = new QLabel(this);
    icon->setObjectName("icon");
    icon->setFixedSize(40, 40);
    icon->setPixmap(widgets::resourceImage("icon", QSize(40, 40)));
    header->addWidget(icon);
    title_ = new QLabel(widgets::localizedText("printerList"), this);
    QFont titleFont = title_->font();
    titleFont.setPixelSize(22);
    title_->setFont(titleFont);
    header->addWidget(title_);
    refresh_ = new QPushButton(widgets::localizedText(""), this);
    refresh_->setObjectName("refresh");
    refresh_->setIcon(QIcon(widgets::resourceImage("arrow.clockwise", QSize(20, 20))));
    refresh_->setIconSize(QSize(20, 20));
    refresh_->setFlat(true);
    refresh_->setStyleSheet(borderlessButtonStyle());
    refresh_->setCursor(Qt::PointingHandCursor);
    header->addWidget(refresh_);
    header->addStretch(1);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus); // Tab goes to the rows inside, which it scrolls into view
    auto* list = new QWidget(scroll);
    rowsLayout_ = new QVBoxLayout(list);
    rowsLayout_->setContentsMargins(10, 6, 6, 6);
    rowsLayout_->setSpacing(8);
    rowsLayout_->addStretch(1);
    scroll->setWidget(list);
    layout->addWidget(scroll, 1);

    connect(refresh_, &QPushButton::clicked, this, &SidebarView::refreshRequested);
}

QPushButton* SidebarView::rowButton(int row) const {
    return row >= 0 && row < shown_ ? rowButtons_[static_cast<size_t>(row)] : nullptr;
}

void SidebarView::render(const SidebarState& state) {
    // Buttons are kept and reused: a tap re-renders the list from inside the
    // tapped button's own signal.
    const std::size_t made = rowButtons_.size();
    while (rowButtons_.size() < state.rows.size()) {
        const int row = static_cast<int>(rowButtons_.size());
        auto* holder = new QWidget(rowsLayout_->parentWidget());
        auto* line = new QHBoxLayout(holder);
        line->setContentsMargins(0, 0, 0, 0);
        auto* button = new QPushButton(holder);
        QFont font = button->font();
        font.setPixelSize(15);
        button->setFont(font);
        button->setCursor(Qt::PointingHandCursor);
        line->addWidget(button);
        line->addStretch(1); // the selected band is as wide as the text only
        rowsLayout_->insertWidget(row, holder);
        connect(button, &QPushButton::clicked, this, [this, row] { emit printerTapped(row); });
        rowHolders_.push_back(holder);
        rowButtons_.push_back(button);
    }
    if (rowButtons_.size() > made) {
        // Rows made later still follow the refresh button for Tab, top to bottom.
        std::vector<QWidget*> order{refresh_};
        order.insert(order.end(), rowButtons_.begin(), rowButtons_.end());
        widgets::setTabOrder(order);
    }
    shown_ = static_cast<int>(state.rows.size());
    for (size_t i = 0; i < rowButtons_.size(); ++i) {
        const bool shown = i < state.rows.size();
        rowHolders_[i]->setVisible(shown);
        if (shown) {
            rowButtons_[i]->setText(state.rows[i].label);
            applyButtonStyle(*rowButtons_[i], state.rows[i].selected);
        }
    }
}

QMessageBox* SidebarView::showRefreshAlert() {
    return widgets::presentAlert(this, widgets::localizedText("refresh"),
                                 widgets::localizedText("printerListFreshed"), widgets::localizedText("ok"));
}

} // namespace tbx::monitorapp
