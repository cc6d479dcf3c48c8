#include "ui/ExportBar.h"

#include "export/ExportEngine.h"
#include "model/app/AppModel.h"
#include "ui/FocusTimeline.h"
#include "ui/Icons.h"
#include "ui/ViewState.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QVBoxLayout>
#include <cmath>

namespace lc::ui {

namespace {

bool holdsSession(const std::optional<QString>& folder) {
    return folder && QFileInfo::exists(QDir(*folder).filePath(QStringLiteral("session.json")));
}

PlainButton* borderedButton(const QString& text, QWidget* parent) {
    auto* b = new PlainButton(text, Theme::font(12), parent);
    b->setFill(tinted(Tone::primary, 0.08), 6);
    b->setPadding(QMargins(10, 4, 10, 4));
    return b;
}

// The session's date in words, its windows and length, and its focus timeline; the folder's
// name when its record cannot be read.
QWidget* historyPicture(const QString& folder, const QDateTime& now, QWidget* parent) {
    auto* box = new QWidget(parent);
    box->setObjectName(QStringLiteral("historyPicture"));
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(3);
    auto* title = new ElidedLabel(box);
    title->setObjectName(QStringLiteral("historyDate"));
    title->setFont(Theme::font(12, QFont::DemiBold));
    Theme::setTone(title, Tone::primary);
    title->setToolTip(folder);
    column->addWidget(title);

    const auto picture = readSessionPicture(folder);
    if (!picture || !picture->start.isValid()) {
        title->setText(QFileInfo(folder).fileName());
        return box;
    }
    title->setText(sessionDateText(picture->start, now));
    const int windows = picture->windows;
    auto* facts =
        makeLabel((windows == 1 ? QStringLiteral("1 window") : QStringLiteral("%1 windows").arg(windows)) +
                      QStringLiteral(" · ") + durationText(picture->timeline.length),
                  11, Tone::secondary, QFont::Normal, box);
    facts->setObjectName(QStringLiteral("historyFacts"));
    column->addWidget(facts);
    auto* timeline = new FocusTimeline(box);
    timeline->setTimeline(picture->timeline);
    column->addWidget(timeline);
    box->setAccessibleName(title->text() + QStringLiteral(", ") + facts->text());
    return box;
}

// The file manager with `path` selected, else its folder opened.
void revealInFileManager(AppModel& model, const QString& path) {
    if (const auto& desktop = model.services().desktop) desktop->revealFile(path);
}

} // namespace

// --- ExportBar -------------------------------------------------------------------------------

bool ExportBar::shouldShow(const ExportState& state, const std::optional<QString>& lastFolder,
                           bool recording) {
    return state.kind != ExportState::Kind::idle || (lastFolder && !recording && holdsSession(lastFolder));
}

QString ExportBar::percentText(double fraction) {
    if (!std::isfinite(fraction)) fraction = 0;
    const double clamped = std::clamp(fraction, 0.0, 1.0);
    return QString::number(static_cast<int>(std::trunc(clamped * 100))) + u'%';
}

ExportBar::ExportBar(AppModel& model, ExportController& exporter, QWidget* parent)
    : QWidget(parent), model_(model), exporter_(exporter) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 0, 16, 8);
    row->setSpacing(10);

    export_ = new PlainButton(QStringLiteral("Export final video"), Theme::font(12, QFont::DemiBold), this);
    export_->setLeadingSymbol(QStringLiteral("square.and.arrow.up"));
    export_->setFill([] { return Theme::colours().accentFill; }, 6);
    export_->setTone(Tone::onAccent);
    export_->setPadding(QMargins(11, 5, 12, 5));
    row->addWidget(export_);
    connect(export_, &QAbstractButton::clicked, this, [this] {
        if (model_.session().lastFolder()) exporter_.start(*model_.session().lastFolder());
    });

    running_ = new QWidget(this);
    auto* runningRow = new QHBoxLayout(running_);
    runningRow->setContentsMargins(0, 0, 0, 0);
    runningRow->setSpacing(10);
    progress_ = new QProgressBar(running_);
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedSize(160, 8);
    runningRow->addWidget(progress_);
    // The session being exported, its part done so far in full colour.
    timeline_ = new FocusTimeline(running_);
    timeline_->setFixedWidth(160);
    timeline_->setProgress(0.0);
    runningRow->addWidget(timeline_);
    percent_ = makeLabel(QStringLiteral("0%"), 11, Tone::secondary, QFont::Normal, running_);
    percent_->setFont(Theme::monoDigitFont(11));
    // Room for "100%", so that the Cancel button stays put while the number grows.
    percent_->setMinimumWidth(QFontMetrics(percent_->font()).horizontalAdvance(QStringLiteral("100%")) + 2);
    runningRow->addWidget(percent_);
    cancel_ = borderedButton(QStringLiteral("Cancel"), running_);
    runningRow->addWidget(cancel_);
    row->addWidget(running_);
    connect(cancel_, &QAbstractButton::clicked, this, [this] {
        if (const auto& session = exporter_.session()) session->cancelExport();
    });

    done_ = new QWidget(this);
    auto* doneRow = new QHBoxLayout(done_);
    doneRow->setContentsMargins(0, 0, 0, 0);
    doneRow->setSpacing(6);
    doneRow->addWidget(new SymbolLabel(QStringLiteral("checkmark.circle.fill"), 15, Tone::green, done_));
    file_ = makeLabel(QString(), 11, Tone::primary, QFont::Normal, done_);
    doneRow->addWidget(file_);
    doneRow->addSpacing(4);
    reveal_ = borderedButton(QStringLiteral("Show in Folder"), done_);
    doneRow->addWidget(reveal_);
    row->addWidget(done_);
    connect(reveal_, &QAbstractButton::clicked, this, [this] {
        if (exporter_.state().kind == ExportState::Kind::done)
            revealInFileManager(model_, exporter_.state().url);
    });

    message_ = makeLabel(QString(), 11, Tone::red, QFont::Normal, this);
    message_->setWordWrap(true);
    row->addWidget(message_, 1);
    row->addStretch(1);

    connect(&exporter_, &ExportController::stateChanged, this, &ExportBar::sync);
    connect(&exporter_, &ExportController::folderChanged, this, &ExportBar::loadTimeline);
    connect(&model_.session(), &SessionController::lastFolderChanged, this, &ExportBar::sync);
    connect(&model_.session(), &SessionController::isRecordingChanged, this, &ExportBar::sync);
    connect(&model_.session(), &SessionController::sessionWritten, this, &ExportBar::sync);
    loadTimeline();
    sync();
}

void ExportBar::loadTimeline() {
    loadTimelineOf(exporter_.folder());
}

void ExportBar::loadTimelineOf(const std::optional<QString>& folder) {
    std::optional<SessionPicture> picture;
    if (folder) picture = readSessionPicture(*folder);
    timelineKnown_ = picture && !picture->timeline.segments.empty();
    timeline_->setTimeline(picture ? std::move(picture->timeline) : SessionTimeline{});
}

void ExportBar::showPreview(const QString& folder, double fraction) {
    loadTimelineOf(folder);
    render(ExportState::running(fraction), model_.session().lastFolder(), model_.session().isRecording());
}

void ExportBar::sync() {
    render(exporter_.state(), model_.session().lastFolder(), model_.session().isRecording());
}

void ExportBar::render(const ExportState& state, const std::optional<QString>& folder, bool recording) {
    setVisible(shouldShow(state, folder, recording));

    export_->setVisible(holdsSession(folder));
    export_->setEnabled(!state.isRunning());

    running_->setVisible(state.kind == ExportState::Kind::running);
    if (state.kind == ExportState::Kind::running) {
        progress_->setValue(static_cast<int>(std::clamp(state.progress, 0.0, 1.0) * 1000));
        timeline_->setProgress(state.progress);
        // The plain bar only when there is no timeline to run along.
        progress_->setVisible(!timelineKnown_);
        timeline_->setVisible(timelineKnown_);
        percent_->setText(percentText(state.progress));
    }
    done_->setVisible(state.kind == ExportState::Kind::done);
    if (state.kind == ExportState::Kind::done) {
        file_->setText(QFileInfo(state.url).fileName());
        file_->setToolTip(state.url);
    }
    message_->setVisible(state.kind == ExportState::Kind::failed);
    if (state.kind == ExportState::Kind::failed) message_->setText(state.message);
}

// --- HistoryPopover --------------------------------------------------------------------------

HistoryPopover::HistoryPopover(AppModel& model, ViewState& view, ExportController& exporter, QWidget* parent)
    : Popover(parent), model_(model), view_(view), exporter_(exporter) {
    setObjectName(QStringLiteral("HistoryPopover"));
    setFixedWidth(380);
    body_ = new QVBoxLayout(this);
    body_->setContentsMargins(14, 12, 14, 14);
    body_->setSpacing(10);
    body_->addWidget(makeLabel(QStringLiteral("Session history"), 13, Tone::primary, QFont::DemiBold));
    connect(&exporter_, &ExportController::stateChanged, this, [this] { syncEnabled(); });
    connect(&model_.session(), &SessionController::isRecordingChanged, this, [this] { syncEnabled(); });
    reload();
}

void HistoryPopover::reload() {
    folders_ = ExportEngine::recentSessions(model_.sessionsRoot(), kLimit);
    const QDateTime now = now_ ? *now_ : QDateTime::currentDateTime();
    if (list_) {
        body_->removeWidget(list_);
        list_->hide();
        list_->setParent(nullptr); // out of findChildren at once
        list_->deleteLater();
        list_ = nullptr;
    }
    if (folders_.isEmpty()) {
        list_ = makeLabel(QStringLiteral("No sessions yet."), 12, Tone::secondary);
    } else {
        auto* scroll = new FitScroll(320);
        auto* content = new QWidget;
        auto* rows = new QVBoxLayout(content);
        rows->setContentsMargins(0, 0, 0, 0);
        rows->setSpacing(8);
        for (const QString& folder : folders_) {
            auto* row = new QWidget(content);
            auto* line = new QHBoxLayout(row);
            line->setContentsMargins(0, 0, 2, 0);
            line->setSpacing(8);
            line->addWidget(new SymbolLabel(QStringLiteral("film.stack"), 16, Tone::secondary, row), 0,
                            Qt::AlignTop);
            line->addWidget(historyPicture(folder, now, row), 1);
            auto* exportButton = borderedButton(QStringLiteral("Export"), row);
            exportButton->setObjectName(QStringLiteral("historyExport"));
            line->addWidget(exportButton);
            connect(exportButton, &QAbstractButton::clicked, this, [this, folder] {
                view_.setShowHistory(false);
                exporter_.start(folder);
            });
            auto* reveal = new SymbolButton(QStringLiteral("folder"), 15, Tone::secondary, row);
            reveal->setToolTip(QStringLiteral("Show in Folder"));
            line->addWidget(reveal);
            connect(reveal, &QAbstractButton::clicked, this,
                    [this, folder] { revealInFileManager(model_, folder); });
            rows->addWidget(row);
        }
        scroll->setContent(content);
        list_ = scroll;
    }
    body_->addWidget(list_);
    syncEnabled();
    adjustSize();
}

QList<QAbstractButton*> HistoryPopover::exportButtons() const {
    return findChildren<QAbstractButton*>(QStringLiteral("historyExport"));
}

void HistoryPopover::syncEnabled() {
    const bool allowed = !exporter_.state().isRunning() && !model_.session().isRecording();
    for (QAbstractButton* b : exportButtons())
        b->setEnabled(allowed);
}

} // namespace lc::ui
