// The save-folder row's chooser: a modal folder dialog with single selection
// that allows folders and shows files too, ending in OK with the chosen path
// or in Cancel. The form takes the chooser as a function, so tests put their
// own in its place.
#pragma once

#include "scanner_app/SettingState.h"

#include <functional>
#include <string>

class QWidget;

namespace tbx::scanner_app {

// Runs the chooser over `parent`, starting in `current`, and answers its outcome.
using FolderChooser = std::function<FolderChoice(QWidget* parent, const std::string& current)>;

// The program's chooser: the platform's file dialog (through Qt) in folder mode.
FolderChoice chooseFolderWithDialog(QWidget* parent, const std::string& current);

} // namespace tbx::scanner_app
