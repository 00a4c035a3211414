// What the settings form shows for one state, worked out in one step: each
// row's label text, presence, enabled state, items and current item, the two
// text fields, the buttons and the alert, every text already looked up in the
// string table. SettingView brings its widgets in line with it; tests read it
// without a window.
#pragma once

#include "scanner_app/SettingState.h"
#include "scanning/ScannerModel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tbx::scanner_app {

struct ItemView {
    std::string text;
    std::int64_t tag = 0;

    friend bool operator==(const ItemView&, const ItemView&) = default;
};

struct RowView {
    Row row = Row::scanner;
    std::string key;   // label key, also the object name of the row's control
    std::string label; // the key's text
    bool present = true;
    bool enabled = true;
    std::vector<ItemView> items;        // pickers only
    std::optional<std::int64_t> chosen; // tag of the shown item; none when no item has the field's value
};

struct AlertView {
    bool shown = false;
    std::string title;   // shown as stored, in bold
    std::string message; // shown as stored
    std::string button;  // the "ok" text

    friend bool operator==(const AlertView&, const AlertView&) = default;
};

struct FormView {
    std::vector<RowView> rows; // the ten option rows in form order, present or not
    std::string savePrefix;
    std::string fileNamePlaceholder;
    std::string refreshText;
    std::string saveToLabel; // also the folder field's placeholder
    std::string saveDir;
    std::string browseText;
    std::string scanText;
    bool scanEnabled = true; // off while a scan or a search for scanners runs
    AlertView alert;

    const RowView& row(Row which) const;
};

// The form's looks for `state` with `model`'s scanner list and alert fields.
FormView describeForm(const SettingState& state, const ScannerModel& model);

// The form's frame: content size limits in pixels, and the padding around it.
// The least size grows where the rows need more (long translations).
struct FormFrame {
    static constexpr int minWidth = 350, idealWidth = 450, maxWidth = 750;
    static constexpr int minHeight = 400, idealHeight = 400, maxHeight = 600;
    static constexpr int padding = 5;
    static constexpr int controlWidth = 230;    // pickers and text fields, where the form has room
    static constexpr int controlMinWidth = 120; // the narrowest they give way to
};

} // namespace tbx::scanner_app
