// One window of the program: a menu with "New Window" over one settings form.
// Each window has its own form, model and discovery; the window's size limits
// are the form's. Windows delete themselves when closed.
#pragma once

#include "scanner_app/SettingView.h"

#include <QWidget>

namespace tbx::scanner_app {

class ContentView : public QWidget {
public:
    explicit ContentView(FormServices services, QWidget* parent = nullptr);

    // Makes a new window with the form's ideal size and shows it.
    static ContentView* open(const FormServices& services);

    SettingView& form() { return *form_; }

private:
    FormServices services_;
    SettingView* form_ = nullptr;
};

} // namespace tbx::scanner_app
