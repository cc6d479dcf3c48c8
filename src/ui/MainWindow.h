#pragma once
// The one window, "Loomcast": header, record row, summary, the window-control banner, the
// export bar, the chosen and the available windows, and the output folder. Every part redraws
// from the model's signals; popovers and the settings page follow the window's view state.
// The window can be resized: the two lists take the height it has to spare or give up, and
// until the user sizes it the window follows its content, up to kMaxHeight.
#include "ui/ViewState.h"
#include "ui/Widgets.h"

#include <QPointer>
#include <QUuid>
#include <functional>
#include <map>
#include <vector>

class QAction;
class QMenu;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace lc {
class AppModel;
class ExportController;
namespace update {
class UpdateManager;
}
} // namespace lc

namespace lc::ui {

class EntryRow;
class LiveRow;
class ExportBar;
class HistoryPopover;
class PermissionsView;
class PresetPicker;
class SettingsView;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // The designed width, also the smallest.
    static constexpr int kWidth = 580;
    // The tallest the window grows by itself: with a title bar and a panel it fits a 768-pixel
    // high screen; beyond it the lists scroll.
    static constexpr int kMaxHeight = 690;
    // The least height each list keeps when the window is made small (less when its content
    // needs less).
    static constexpr int kListMinimum = 72;

    // `updates` may be null: no update pill, menu command or settings section.
    MainWindow(AppModel& model, ExportController& exporter, update::UpdateManager* updates,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // Asked when the window closes: true quits (there is no tray item to come back through).
    void setQuitOnClose(std::function<bool()> test) { quitOnClose_ = std::move(test); }

    // The popovers and the settings page this window shows.
    ViewState& viewState() { return view_; }

    // The content's own size (the permissions view's while it stands in): kWidth wide, as tall
    // as the content up to kMaxHeight.
    QSize sizeHint() const override;
    // Whether the window's height still follows its content (the user has not resized it).
    bool followsContent() const;

    // Parts, for tests and the snapshot mode.
    StatusPill* statusPill() const { return pill_; }
    RecordButton* recordButton() const { return record_; }
    QAbstractButton* refreshButton() const { return refresh_; }
    // Pause or resume; shown only during a session.
    SymbolButton* pauseButton() const { return pause_; }
    QAbstractButton* historyButton() const { return history_; }
    QAbstractButton* settingsButton() const { return gear_; }
    // fps, container, codec, microphone.
    const std::vector<PlainButton*>& summaryButtons() const { return summary_; }
    QWidget* banner() const { return banner_; }
    QLabel* noticeLabel() const { return notice_; }
    ExportBar* exportBar() const { return exportBar_; }
    SectionTitle* selectedTitle() const { return selectedTitle_; }
    SectionTitle* availableTitle() const { return availableTitle_; }
    FitScroll* selectedList() const { return selectedScroll_; }
    FitScroll* availableList() const { return availableScroll_; }
    std::vector<EntryRow*> entryRows() const;
    std::vector<LiveRow*> liveRows() const;
    QWidget* mainContent() const { return content_; }
    // The settings page, made the first time it is shown; null until then.
    PermissionsView* permissionsView() const { return permissions_; }
    SettingsView* settingsView() const;
    PresetPicker* presetPicker() const;
    HistoryPopover* historyPopover() const;
    QAction* checkForUpdatesAction() const { return checkUpdates_; }
    // The header's menu button and its menu: About, Check for Updates…, Settings…, Quit.
    QToolButton* menuButton() const { return menuButton_; }
    QMenu* appMenu() const { return appMenu_; }

signals:
    // "Quit Loomcast" from the window's menu, or closing it without a tray.
    void quitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Opens the settings page on `key`; closing it gives the focus back to `opener` (the
    // focused control when null).
    void openSettings(const std::optional<QString>& key, QWidget* opener);
    // The page the window shows when the settings page does not.
    QWidget* basePage() const;
    int naturalHeight(int width) const;
    void fitToContent();
    QWidget* buildHeader();
    QWidget* buildRecordRow();
    QWidget* buildSummaryRow();
    QWidget* buildBanner();
    QWidget* buildFooter();
    void syncState();
    void syncSummary();
    void syncEntries();
    void syncLive();
    void syncPermissions();
    void syncPicker();
    void syncHistory();
    void syncSettings();
    void syncNotice();

    AppModel& model_;
    ViewState view_;
    ExportController& exporter_;
    update::UpdateManager* updates_;
    std::function<bool()> quitOnClose_;

    QMenu* appMenu_ = nullptr;
    QVBoxLayout* pages_ = nullptr; // the permissions view, the main content, the settings page
    QToolButton* menuButton_ = nullptr;
    QAction* checkUpdates_ = nullptr;
    QWidget* content_ = nullptr;
    PermissionsView* permissions_ = nullptr;
    StatusPill* pill_ = nullptr;
    QAbstractButton* history_ = nullptr;
    QAbstractButton* gear_ = nullptr;
    RecordButton* record_ = nullptr;
    QAbstractButton* refresh_ = nullptr;
    QWidget* pauseCard_ = nullptr;
    SymbolButton* pause_ = nullptr;
    std::vector<PlainButton*> summary_;
    QLabel* notice_ = nullptr;
    QPushButton* noticeAction_ = nullptr;
    QWidget* banner_ = nullptr;
    ExportBar* exportBar_ = nullptr;
    SectionTitle* selectedTitle_ = nullptr;
    SectionTitle* availableTitle_ = nullptr;
    FitScroll* selectedScroll_ = nullptr;
    FitScroll* availableScroll_ = nullptr;
    QVBoxLayout* entryList_ = nullptr;
    QVBoxLayout* liveList_ = nullptr;
    QWidget* entriesEmpty_ = nullptr;
    QWidget* liveEmpty_ = nullptr;
    std::vector<QUuid> entryOrder_;
    std::vector<std::uint32_t> liveOrder_;
    QPointer<SettingsView> settings_;
    // Where the focus goes back to when the settings page closes, and whether it was opened
    // from the keyboard.
    QPointer<QWidget> returnFocus_;
    bool openedByKeyboard_ = false;
    // The height the window was last fitted to; -1 before the first fit.
    int fitted_ = -1;
    // Resized by the user: the height no longer follows the content.
    bool userSized_ = false;
    // Heights asked of the window system and not yet seen, oldest first.
    std::vector<int> requested_;
    QPointer<PresetPicker> picker_;
    QPointer<HistoryPopover> historyPopover_;
};

} // namespace lc::ui
