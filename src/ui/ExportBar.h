#pragma once
// Export of the last session from the main window, and the history of recent sessions.
#include "export/ExportController.h"
#include "ui/Widgets.h"

#include <QDateTime>

class QProgressBar;
class QHBoxLayout;
class QVBoxLayout;

namespace lc {
class AppModel;
}

namespace lc::ui {

class ViewState;
class FocusTimeline;

class ExportBar : public QWidget {
    Q_OBJECT
public:
    ExportBar(AppModel& model, ExportController& exporter, QWidget* parent = nullptr);

    // Shown while an export is under way or has ended, or when the last session can be exported.
    static bool shouldShow(const ExportState& state, const std::optional<QString>& lastFolder,
                           bool recording);
    // "42%" for 0.426: the fraction × 100, truncated.
    static QString percentText(double fraction);

    QAbstractButton* exportButton() const { return export_; }
    QAbstractButton* cancelButton() const { return cancel_; }
    QAbstractButton* revealButton() const { return reveal_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* percentLabel() const { return percent_; }
    QLabel* fileLabel() const { return file_; }
    QLabel* messageLabel() const { return message_; }
    FocusTimeline* timeline() const { return timeline_; }

    // Shows `state` for a last session folder `lastFolder` while a session does (not) run.
    void render(const ExportState& state, const std::optional<QString>& lastFolder, bool recording);
    // Shows an export of `folder` at `fraction` without running one: the snapshot mode's
    // picture of it. The next change of the model shows the truth again.
    void showPreview(const QString& folder, double fraction);

public slots:
    void sync();

private:
    void loadTimeline();
    void loadTimelineOf(const std::optional<QString>& folder);
    AppModel& model_;
    ExportController& exporter_;
    PlainButton* export_;
    QWidget* running_;
    QProgressBar* progress_;
    FocusTimeline* timeline_;
    bool timelineKnown_ = false;
    QLabel* percent_;
    PlainButton* cancel_;
    QWidget* done_;
    QLabel* file_;
    PlainButton* reveal_;
    QLabel* message_;
};

// The recent session folders, each with "Export" and a folder button.
class HistoryPopover : public Popover {
    Q_OBJECT
public:
    static constexpr int kLimit = 12;
    HistoryPopover(AppModel& model, ViewState& view, ExportController& exporter, QWidget* parent = nullptr);
    // Reads the folders again; called each time the popover opens.
    void reload();
    // The folders listed, newest first.
    QStringList folders() const { return folders_; }
    QList<QAbstractButton*> exportButtons() const;
    // The clock the dates are told against; the current time when unset.
    void setNow(std::optional<QDateTime> now) { now_ = std::move(now); }

private:
    void syncEnabled();
    AppModel& model_;
    ViewState& view_;
    ExportController& exporter_;
    QStringList folders_;
    std::optional<QDateTime> now_;
    QVBoxLayout* body_;
    QWidget* list_ = nullptr;
};

} // namespace lc::ui
