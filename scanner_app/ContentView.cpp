#include "scanner_app/ContentView.h"

#include "platform/widgets/Text.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>

namespace tbx::scanner_app {

ContentView::ContentView(FormServices services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)) {
    setAttribute(Qt::WA_DeleteOnClose);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The window is never smaller or larger than the form allows.
    layout->setSizeConstraint(QLayout::SetMinAndMaxSize);

    auto* menuBar = new QMenuBar(this);
    QMenu* fileMenu = menuBar->addMenu(widgets::localizedText("fileMenu"));
    QAction* newWindow = fileMenu->addAction(widgets::localizedText("newWindow"));
    newWindow->setObjectName("newWindow");
    newWindow->setShortcut(QKeySequence::New);
    connect(newWindow, &QAction::triggered, this, [this] { open(services_); });
    layout->setMenuBar(menuBar);

    form_ = new SettingView(services_, this);
    layout->addWidget(form_);
}

ContentView* ContentView::open(const FormServices& services) {
    auto* window = new ContentView(services);
    window->resize(window->sizeHint());
    window->show();
    return window;
}

} // namespace tbx::scanner_app
