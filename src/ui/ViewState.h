#pragma once
// What the window shows besides the model: which entry's preset popover is open, whether the
// settings page is up and which of its sections has the focus, and the session history.
// Owned by the main window; main thread only.
#include <QObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace lc::ui {

class ViewState : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    const std::optional<QUuid>& presetPopoverFor() const { return presetPopoverFor_; }
    bool showSettings() const { return showSettings_; }
    // The settings section to scroll to (and focus) when the page opens; none: the top.
    const std::optional<QString>& settingsFocus() const { return settingsFocus_; }
    bool showHistory() const { return showHistory_; }

    void setPresetPopoverFor(const std::optional<QUuid>& id);
    void setShowSettings(bool on);
    void setSettingsFocus(const std::optional<QString>& section);
    void setShowHistory(bool on);

signals:
    void presetPopoverForChanged();
    void showSettingsChanged(bool on);
    void settingsFocusChanged();
    void showHistoryChanged(bool on);

private:
    std::optional<QUuid> presetPopoverFor_;
    bool showSettings_ = false;
    std::optional<QString> settingsFocus_;
    bool showHistory_ = false;
};

} // namespace lc::ui
