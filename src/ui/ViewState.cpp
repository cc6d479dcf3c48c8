#include "ui/ViewState.h"

namespace lc::ui {

void ViewState::setPresetPopoverFor(const std::optional<QUuid>& id) {
    if (presetPopoverFor_ == id) return;
    presetPopoverFor_ = id;
    emit presetPopoverForChanged();
}

void ViewState::setShowSettings(bool on) {
    if (showSettings_ == on) return;
    showSettings_ = on;
    emit showSettingsChanged(on);
}

void ViewState::setSettingsFocus(const std::optional<QString>& section) {
    if (settingsFocus_ == section) return;
    settingsFocus_ = section;
    emit settingsFocusChanged();
}

void ViewState::setShowHistory(bool on) {
    if (showHistory_ == on) return;
    showHistory_ = on;
    emit showHistoryChanged(on);
}

} // namespace lc::ui
