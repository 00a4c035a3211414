// The printer sidebar: a header with the application icon, the "printerList"
// title and the refresh button, and one button per printer below it, the
// selected printer's row drawn white on blue. The view draws a SidebarState and
// reports taps; the window's root turns them into model operations.
#pragma once

#include <QString>
#include <QWidget>
#include <vector>

class QLabel;
class QMessageBox;
class QPushButton;
class QVBoxLayout;

namespace tbx::monitorapp {

struct SidebarRow {
    QString label{}; // shown verbatim
    bool selected = false;
};

struct SidebarState {
    std::vector<SidebarRow> rows;
};

class SidebarView : public QWidget {
    Q_OBJECT
public:
    explicit SidebarView(QWidget* parent = nullptr);

    void render(const SidebarState& state);
    // The alert that confirms a refresh ("refresh" / "printerListFreshed").
    QMessageBox* showRefreshAlert();

    QPushButton* refreshButton() const { return refresh_; }
    // The row buttons, in list order (only the first rowCount() are shown).
    int rowCount() const { return shown_; }
    QPushButton* rowButton(int row) const;

signals:
    void printerTapped(int row);
    void refreshRequested();

private:
    QLabel* title_;
    QPushButton* refresh_;
    QVBoxLayout* rowsLayout_;
    std::vector<QWidget*> rowHolders_;
    std::vector<QPushButton*> rowButtons_;
    int shown_ = 0;
};

} // namespace tbx::monitorapp
