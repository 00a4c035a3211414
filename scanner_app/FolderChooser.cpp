#include "scanner_app/FolderChooser.h"

#include "platform/widgets/Text.h"

#include <QFileDialog>
#include <QUrl>

namespace tbx::scanner_app {

FolderChoice chooseFolderWithDialog(QWidget* parent, const std::string& current) {
    QFileDialog dialog(parent, widgets::localizedText("saveTo"), QString::fromStdString(current));
    dialog.setFileMode(QFileDialog::Directory); // one folder
    dialog.setOption(QFileDialog::ShowDirsOnly, false);
    FolderChoice choice;
    choice.accepted = dialog.exec() == QDialog::Accepted;
    if (choice.accepted) {
        const QList<QUrl> urls = dialog.selectedUrls();
        if (!urls.isEmpty() && urls.front().isLocalFile()) {
            choice.path = urls.front().toLocalFile().toStdString();
        }
    }
    return choice;
}

} // namespace tbx::scanner_app
