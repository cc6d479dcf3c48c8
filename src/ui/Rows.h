#pragma once
// The rows of the two window lists: a chosen window (EntryRow) and a window that can still be
// added (LiveRow). Rows show what they are given; every click is a model call.
#include "model/AppState.h"
#include "model/WindowCatalogue.h"
#include "ui/Widgets.h"

#include <QIcon>
#include <QImage>

class QVBoxLayout;

namespace lc {
class AppModel;
}

namespace lc::ui {

class ViewState;

// A window preview filling its frame with rounded corners, or the "macwindow" symbol.
class Thumb : public QWidget {
    Q_OBJECT
public:
    explicit Thumb(QWidget* parent = nullptr);
    void setImage(const QImage& image);
    bool hasImage() const { return !image_.isNull(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QImage image_;
};

// The icon of an application from its desktop entry (by application id or window class);
// a null icon when it has none.
QIcon applicationIcon(const QString& applicationID);
// What a window whose application has no icon shows: the theme's, else a drawn window.
QIcon genericApplicationIcon();

class EntryRow : public Card {
    Q_OBJECT
public:
    EntryRow(AppModel& model, ViewState& view, const Entry& entry, QWidget* parent = nullptr);
    // Shows the entry as it is now; `sessionRunning` is the model's isRecording.
    void setEntry(const Entry& entry, bool sessionRunning);
    QUuid entryID() const { return id_; }

    PlainButton* chip() const { return chip_; }
    SymbolButton* audioButton() const { return audio_; }
    QAbstractButton* startButton() const { return start_; }
    SymbolButton* removeButton() const { return remove_; }
    // The status lines shown, top to bottom (for tests).
    QStringList statusTexts() const;

private:
    void addStatus(const QString& symbol, const QString& text, Tone tone, qreal size);
    AppModel& model_;
    ViewState& view_;
    QUuid id_;
    Entry shown_;
    bool shownSession_ = false;
    bool first_ = true;
    Thumb* thumb_;
    ElidedLabel* title_;
    ElidedLabel* app_;
    QVBoxLayout* status_;
    PlainButton* chip_;
    SymbolButton* audio_;
    PlainButton* start_;
    SymbolButton* remove_;
};

class LiveRow : public Card {
    Q_OBJECT
public:
    LiveRow(AppModel& model, const LiveWindow& window, QWidget* parent = nullptr);
    void setWindow(const LiveWindow& window, bool sessionRunning);
    std::uint32_t windowID() const { return window_.id; }
    PlainButton* addButton() const { return add_; }
    QLabel* iconLabel() const { return icon_; }
    QWidget* titleLabel() const { return title_; }
    // False when the row shows the generic icon.
    bool hasOwnIcon() const { return hasOwnIcon_; }

private:
    AppModel& model_;
    LiveWindow window_;
    bool hasOwnIcon_ = false;
    QLabel* icon_;
    ElidedLabel* title_;
    ElidedLabel* app_;
    PlainButton* add_;
};

} // namespace lc::ui
