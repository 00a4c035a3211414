#include "scanner_app/SettingView.h"

#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "platform/widgets/Alert.h"
#include "platform/widgets/FlexibleWidth.h"
#include "platform/widgets/TabOrder.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace tbx::scanner_app {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// Sets the text only when it differs, so the cursor of a field being typed in stays put.
void setTextIfChanged(QLineEdit* field, const std::string& text) {
    const QString wanted = q(text);
    if (field->text() != wanted) {
        field->setText(wanted);
    }
}

} // namespace

SettingView::SettingView(FormServices services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)), state_(defaultSettingState()) {
    // The form's model, with the discovery that every new form starts.
    model_ = ScannerModel::make(Device::placeholder(), services_.scanner);
    observation_ = model_->objectWillChange.sink([this] { nextRender_.request(); });
    build();
    model_->autoDetectScannersInBackground();
    render(); // the first drawing already has Scan off for the search
}

SettingView::~SettingView() {
    observation_.cancel();
}

void SettingView::build() {
    // The least size is the frame's or what the rows need (minimumSizeHint).
    setMaximumSize(FormFrame::maxWidth + 2 * FormFrame::padding,
                   FormFrame::maxHeight + 2 * FormFrame::padding);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(FormFrame::padding, FormFrame::padding, FormFrame::padding, FormFrame::padding);
    outer->addStretch(1);

    // The option rows: labels right-aligned in the first column, so their right
    // edges stand on one line and every control starts at the same place.
    auto* block = new QWidget(this);
    block->setObjectName("optionRows");
    auto* grid = new QGridLayout(block);
    grid->setContentsMargins(0, 0, 0, 0);
    for (std::size_t i = 0; i < std::size(allRows); ++i) {
        const Row row = allRows[i];
        auto& w = rows_[i];
        w.label = new QLabel(block);
        grid->addWidget(w.label, int(i), 0, Qt::AlignRight | Qt::AlignVCenter);
        QWidget* control = nullptr;
        if (row == Row::saveFileName) {
            w.field = new widgets::FlexibleField(FormFrame::controlMinWidth, FormFrame::controlWidth, block);
            connect(w.field, &QLineEdit::textChanged, this, [this](const QString& text) {
                if (!rendering_) {
                    state_.savePrefix = text.toStdString();
                    render();
                }
            });
            control = w.field;
        } else {
            w.picker =
                new widgets::FlexiblePicker(FormFrame::controlMinWidth, FormFrame::controlWidth, block);
            connect(w.picker, &QComboBox::currentIndexChanged, this,
                    [this, row, picker = w.picker](int index) {
                        if (!rendering_ && index >= 0) {
                            choose(state_, row, picker->itemData(index).toLongLong());
                            render();
                        }
                    });
            control = w.picker;
        }
        control->setObjectName(rowKey(row));
        grid->addWidget(control, int(i), 1, Qt::AlignLeft | Qt::AlignVCenter);
    }
    refresh_ = new QPushButton(block);
    refresh_->setObjectName("refreshScanner");
    connect(refresh_, &QPushButton::clicked, this, [this] { refresh(); });
    grid->addWidget(refresh_, 0, 2);
    outer->addWidget(block, 0, Qt::AlignHCenter);

    // The save-folder row and, below it, the scan button: each as compact as its
    // content and centred in the form, apart from the block's label line. In a
    // narrow form the folder field gives way, as the block's controls do.
    auto* folderRow = new QWidget(this);
    folderRow->setObjectName("saveFolderRow");
    folderRow->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* folderLine = new QHBoxLayout(folderRow);
    folderLine->setContentsMargins(0, 0, 0, 0);
    saveToLabel_ = new QLabel(folderRow);
    saveDir_ = new widgets::FlexibleField(FormFrame::controlMinWidth, FormFrame::controlWidth, folderRow);
    saveDir_->setObjectName("saveDir");
    connect(saveDir_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!rendering_) {
            state_.saveDir = text.toStdString();
            render();
        }
    });
    browse_ = new QPushButton(folderRow);
    browse_->setObjectName("browser");
    connect(browse_, &QPushButton::clicked, this, [this] { browse(); });
    folderLine->addWidget(saveToLabel_);
    folderLine->addWidget(saveDir_);
    folderLine->addWidget(browse_);
    outer->addWidget(folderRow, 0, Qt::AlignHCenter);

    scan_ = new QPushButton(this);
    scan_->setObjectName("scan");
    scan_->setDefault(true);
    connect(scan_, &QPushButton::clicked, this, [this] { scan(); });
    outer->addWidget(scan_, 0, Qt::AlignHCenter);
    outer->addStretch(1);

    // Tab goes through the form as it reads: row by row, left to right.
    std::vector<QWidget*> order;
    for (const auto& w : rows_) {
        order.push_back(w.picker != nullptr ? static_cast<QWidget*>(w.picker) : w.field);
    }
    order.insert(order.begin() + 1, refresh_); // beside the scanner picker
    order.insert(order.end(), {saveDir_, browse_, scan_});
    widgets::setTabOrder(order);
}

QSize SettingView::minimumSizeHint() const {
    const QSize frame(FormFrame::minWidth + 2 * FormFrame::padding,
                      FormFrame::minHeight + 2 * FormFrame::padding);
    return QWidget::minimumSizeHint().expandedTo(frame);
}

QSize SettingView::sizeHint() const {
    return {FormFrame::idealWidth + 2 * FormFrame::padding, FormFrame::idealHeight + 2 * FormFrame::padding};
}

QMessageBox* SettingView::visibleAlert() const {
    return alert_ != nullptr && alert_->isVisible() ? alert_ : nullptr;
}

void SettingView::render() {
    struct Guard {
        bool& flag;
        explicit Guard(bool& f) : flag(f) { flag = true; }
        ~Guard() { flag = false; }
    } guard(rendering_);

    const FormView view = describeForm(state_, *model_);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const RowView& r = view.rows[i];
        auto& w = rows_[i];
        QWidget* control = w.picker != nullptr ? static_cast<QWidget*>(w.picker) : w.field;
        w.label->setText(q(r.label));
        w.label->setVisible(r.present);
        control->setVisible(r.present);
        control->setEnabled(r.enabled);
        if (w.picker != nullptr) {
            if (w.items != r.items) {
                w.picker->clear();
                for (const auto& item : r.items) {
                    w.picker->addItem(q(item.text), QVariant::fromValue<qlonglong>(item.tag));
                }
                w.items = r.items;
            }
            w.picker->setCurrentIndex(r.chosen ? w.picker->findData(QVariant::fromValue<qlonglong>(*r.chosen))
                                               : -1);
        } else {
            setTextIfChanged(w.field, view.savePrefix);
            w.field->setPlaceholderText(q(view.fileNamePlaceholder));
        }
    }
    refresh_->setText(q(view.refreshText));
    saveToLabel_->setText(q(view.saveToLabel));
    setTextIfChanged(saveDir_, view.saveDir);
    saveDir_->setPlaceholderText(q(view.saveToLabel));
    browse_->setText(q(view.browseText));
    scan_->setText(q(view.scanText));
    scan_->setEnabled(view.scanEnabled);
    renderAlert(view.alert);
}

void SettingView::renderAlert(const AlertView& alert) {
    if (!alert.shown) {
        if (visibleAlert() != nullptr) {
            alert_->done(0);
        }
        return;
    }
    if (alert_ == nullptr) {
        alert_ = widgets::makeAlert(this);
        connect(alert_, &QMessageBox::finished, this, [this] { alertDismissed(); });
    }
    // A later alert replaces the texts of one still on screen.
    widgets::setAlertTexts(*alert_, q(alert.title), q(alert.message), q(alert.button));
    if (!alert_->isVisible()) {
        widgets::openAlert(*alert_);
    }
}

void SettingView::alertDismissed() {
    if (model_->showAlert.get()) {
        model_->showAlert = false;
    }
}

void SettingView::refresh() {
    refreshScanners(state_);
    model_->scannerList = {};
    model_->autoDetectScannersInBackground();
    render();
}

void SettingView::browse() {
    const FolderChoice choice = services_.chooseFolder(this, state_.saveDir);
    if (auto line = applyFolderChoice(state_, choice)) {
        print(*line);
        render();
    }
}

void SettingView::scan() {
    if (state_.scanning || model_->searching.get()) {
        return; // one scan at a time, on a final list; the button is off meanwhile
    }
    const std::vector<Device> scanners = model_->scannerList.get();
    if (auto key = scanCheckKey(state_, scanners)) {
        model_->raiseAlert("error", localizedString(*key));
        return;
    }
    model_->selectedScanner = scanners[std::size_t(state_.scannerIndex)]; // the checks vouch for the index
    const UIParams request = makeUIParams(state_, scanners);
    state_.scanning = true;
    render();
    model_->startScanInBackground(request, [view = QPointer<SettingView>(this)] {
        if (view) {
            view->state_.scanning = false;
            view->render();
        }
    });
}

} // namespace tbx::scanner_app
