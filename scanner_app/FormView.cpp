#include "scanner_app/FormView.h"

#include "platform/foundation/Localization.h"

#include <stdexcept>

namespace tbx::scanner_app {

const RowView& FormView::row(Row which) const {
    for (const auto& r : rows) {
        if (r.row == which) {
            return r;
        }
    }
    throw std::out_of_range("the form has no such row");
}

FormView describeForm(const SettingState& state, const ScannerModel& model) {
    FormView view;
    const auto& scanners = model.scannerList.get();
    for (Row row : allRows) {
        RowView r;
        r.row = row;
        r.key = rowKey(row);
        r.label = localizedString(r.key);
        r.present = rowPresent(state, row);
        r.enabled = rowEnabled(state, row);
        const std::int64_t value = rowValue(state, row);
        for (const auto& item : rowItems(state, row, scanners)) {
            r.items.push_back({item.localized ? localizedString(item.text) : item.text, item.tag});
            if (item.tag == value) {
                r.chosen = item.tag;
            }
        }
        view.rows.push_back(std::move(r));
    }
    view.savePrefix = state.savePrefix;
    view.fileNamePlaceholder = localizedString("saveFileName");
    view.refreshText = localizedString("refreshScanner");
    view.saveToLabel = localizedString("saveTo");
    view.saveDir = state.saveDir;
    view.browseText = localizedString("browser");
    view.scanText = localizedString("scan");
    view.scanEnabled = !state.scanning && !model.searching.get();
    view.alert = {model.showAlert.get(), model.alertTitle.get(), model.alertMessage.get(),
                  localizedString("ok")};
    return view;
}

} // namespace tbx::scanner_app
