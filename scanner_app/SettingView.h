// The scan settings form: ten option rows whose labels line up on their right
// edge, the save-folder row, the scan button and the one alert through which
// the form's checks, discovery and scans report. The form owns its state and
// its own ScannerModel (made with the form; its discovery starts at once).
// Every user action changes the state through the rules of SettingState and
// then renders: describeForm() says what to show, render() makes the widgets
// match. Changes of the model's published fields schedule a render.
#pragma once

#include "platform/combine/Combine.h"
#include "platform/widgets/NextTurn.h"
#include "scanner_app/FolderChooser.h"
#include "scanner_app/FormView.h"
#include "scanner_app/SettingState.h"
#include "scanning/ScannerModel.h"
#include "scanning/ScannerServices.h"

#include <QWidget>
#include <array>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;

namespace tbx::scanner_app {

// What a form reaches outside itself.
struct FormServices {
    ScannerServices scanner = productScannerServices();
    FolderChooser chooseFolder = chooseFolderWithDialog;
};

class SettingView : public QWidget {
public:
    explicit SettingView(FormServices services = {}, QWidget* parent = nullptr);
    ~SettingView() override;

    const SettingState& state() const { return state_; }
    ScannerModel& model() { return *model_; }
    // The alert while it is on screen, else nothing.
    QMessageBox* visibleAlert() const;

    // The actions of the refresh, browse and scan buttons.
    void refresh();
    void browse();
    void scan();

    // Brings every widget in line with the state and the model.
    void render();

    QSize sizeHint() const override;
    // The frame's least size, or more where the rows need it (long texts).
    QSize minimumSizeHint() const override;

private:
    struct RowWidgets {
        QLabel* label = nullptr;
        QComboBox* picker = nullptr; // every row but the file name row
        QLineEdit* field = nullptr;  // the file name row
        std::vector<ItemView> items; // what the picker holds now
    };

    void build();
    void renderAlert(const AlertView& alert);
    void alertDismissed();

    FormServices services_;
    SettingState state_;
    std::shared_ptr<ScannerModel> model_;
    combine::AnyCancellable observation_;
    bool rendering_ = false;
    widgets::NextTurn nextRender_{this, [this] { render(); }};

    std::array<RowWidgets, std::size(allRows)> rows_;
    QPushButton* refresh_ = nullptr;
    QLabel* saveToLabel_ = nullptr;
    QLineEdit* saveDir_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* scan_ = nullptr;
    QMessageBox* alert_ = nullptr;
};

} // namespace tbx::scanner_app
