#pragma once
// The one window, "Loomcast": header, record row, summary, the window-control banner, the
// export bar, the chosen and the available windows, and the output folder. Every part redraws
// from the model's signals; popovers and the settings sheet follow the window's view state.
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
    static constexpr int kWidth = 580;

    // `updates` may be null: no update pill, menu command or settings section.
    MainWindow(AppModel& model, ExportController& exporter, update::UpdateManager* updates,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // Asked when the window closes: true quits (there is no tray item to come back through).
    void setQuitOnClose(std::function<bool()> test) { quitOnClose_ = std::move(test); }

    // The popovers and the settings sheet this window shows.
    ViewState& viewState() { return view_; }

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

private:
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
    QPointer<PresetPicker> picker_;
    QPointer<HistoryPopover> historyPopover_;
};

} // namespace lc::ui
