#pragma once
// The settings page, shown in the main window in place of its content and opened scrolled to
// one setting, and the permissions view that stands in for the main content while windows
// cannot be captured.
#include "ui/Widgets.h"

#include <QHash>

class QComboBox;
class QVBoxLayout;

namespace lc {
class AppModel;
namespace update {
class UpdateManager;
}
} // namespace lc

namespace lc::ui {

class ViewState;
class ShortcutsSection;

// The sessions folder with the home folder written as "~" (for example "~/Videos/Loomcast").
QString sessionsFolderText(const AppModel& model);

// A header row (Back, the title) over the sections, which scroll; Back and Escape end it
// through the view state.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // The sections are never wider than this; a wider window centres them.
    static constexpr int kFormWidth = 620;

    // The HEVC explanation; double asterisks mark bold runs.
    static const QString& hevcInfo();
    // hevcInfo as rich text: bold runs, line breaks kept.
    static QString hevcInfoHtml();

    // The Updates section of an installation that the system's package manager updates.
    static constexpr const char* kPackageManagedText =
        "Updates for this installation come from your system's package manager.";

    // `updates` may be null (no updater): the Updates section is then left out.
    SettingsView(AppModel& model, ViewState& view, update::UpdateManager* updates, QWidget* parent = nullptr);

    // The page has just been shown: the form at the top, the focus on Back or on the focused
    // key's control (`keyboard`: with its focus ring), and on the next turn of the loop the
    // form scrolls to the view state's key.
    void present(bool keyboard);
    // Back: ends the page through the view state (`keyboard`: from the keyboard).
    void leave(bool keyboard);
    // Whether the page was last left from the keyboard (Escape, or Back pressed by key).
    bool leftByKeyboard() const { return leftByKeyboard_; }

    // Scrolls the form so that the row with this key ("fps", "container", "hevc", "mic",
    // "shortcuts") is at the top; none scrolls to the top.
    void scrollToKey(const std::optional<QString>& key, bool animated = true);
    int scrollPosition() const;
    // Where a key's row sits in the form (for tests).
    int rowTop(const QString& key) const;

    QAbstractButton* backButton() const { return back_; }
    QLabel* titleLabel() const { return title_; }
    QScrollArea* scrollArea() const { return scroll_; }
    QWidget* recordingSection() const { return recording_; }
    Segmented* fpsPicker() const { return fps_; }
    Segmented* containerPicker() const { return container_; }
    Switch* hevcSwitch() const { return hevc_; }
    QAbstractButton* hevcInfoButton() const { return hevcInfoButton_; }
    Popover* hevcPopover() const { return hevcPopover_; }
    bool showHEVCInfo() const { return showHEVCInfo_; }
    Switch* micSwitch() const { return mic_; }
    QComboBox* devicePicker() const { return device_; }
    LevelMeter* levelMeter() const { return level_; }
    Switch* micInEachSwitch() const { return micInEach_; }
    QWidget* micAccessRow() const { return micDenied_; }
    QWidget* micDeviceRows() const { return micAllowed_; }
    Switch* outlineSwitch() const { return outline_; }
    Switch* outlineIdleSwitch() const { return outlineIdle_; }
    Switch* startAtLoginSwitch() const { return startAtLogin_; }
    QAbstractButton* checkForUpdatesButton() const { return checkUpdates_; }
    ShortcutsSection* shortcutsSection() const { return shortcuts_; }

protected:
    void showEvent(QShowEvent*) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void sync();
    void setShowHEVCInfo(bool on);
    QWidget* section(QVBoxLayout* form, const QString& title, QVBoxLayout** rows);
    AppModel& model_;
    ViewState& view_;
    QWidget* content_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QAbstractButton* back_ = nullptr;
    QLabel* title_ = nullptr;
    bool leftByKeyboard_ = false;
    QHash<QString, QWidget*> keyRows_;
    // The control a key's row gives the focus to.
    QHash<QString, QWidget*> keyControls_;
    QWidget* recording_ = nullptr;
    Segmented* fps_ = nullptr;
    Segmented* container_ = nullptr;
    Switch* hevc_ = nullptr;
    QAbstractButton* hevcInfoButton_ = nullptr;
    Popover* hevcPopover_ = nullptr;
    bool showHEVCInfo_ = false;
    Switch* mic_ = nullptr;
    QWidget* micDenied_ = nullptr;
    QAbstractButton* openMicSettings_ = nullptr;
    QWidget* micAllowed_ = nullptr;
    QComboBox* device_ = nullptr;
    LevelMeter* level_ = nullptr;
    Switch* micInEach_ = nullptr;
    Switch* outline_ = nullptr;
    Switch* outlineIdle_ = nullptr;
    Switch* startAtLogin_ = nullptr;
    QAbstractButton* checkUpdates_ = nullptr;
    ShortcutsSection* shortcuts_ = nullptr;
};

// The permission checklist.
class PermissionsView : public QWidget {
    Q_OBJECT
public:
    explicit PermissionsView(AppModel& model, QWidget* parent = nullptr);
    // Name, granted, for each row in order.
    QList<std::pair<QString, bool>> rows() const;

private:
    void sync();
    struct Row {
        QString name;
        SymbolLabel* mark = nullptr;
        QAbstractButton* open = nullptr;
        bool granted = false;
    };
    AppModel& model_;
    std::vector<Row> rows_;
};

} // namespace lc::ui
