#pragma once
// Small drawn building blocks shared by the views: rounded cards and capsules, the status pill,
// the red record button, symbol buttons, the level meter, list headings, the fitting scroll
// area, the aspect icon and the popover window. They take plain values; the views bind them.
#include "ui/Theme.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QScrollArea>
#include <QToolButton>

class QPainter;
#include <functional>
#include <vector>

namespace lc::ui {

// True while `w` has the focus and got it from the keyboard (Tab, Backtab, a shortcut).
bool showsFocusRing(const QWidget* w);
// The keyboard focus ring every focusable control draws: the accent, 2 pixels, inside `r`.
void drawFocusRing(QPainter& p, const QRectF& r, qreal radius);

// A fill that follows the appearance.
using ColourFn = std::function<QColor()>;

ColourFn cardFill();
ColourFn tinted(Tone tone, qreal alpha);

// A rounded rectangle behind its layout.
class Card : public QFrame {
    Q_OBJECT
public:
    explicit Card(qreal radius = 12, ColourFn fill = cardFill(), QWidget* parent = nullptr);
    void setStroke(ColourFn stroke) {
        stroke_ = std::move(stroke);
        update();
    }
    void setFill(ColourFn fill) {
        fill_ = std::move(fill);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    qreal radius_;
    ColourFn fill_;
    ColourFn stroke_;
};

// A label on a capsule.
class CapsuleLabel : public QLabel {
    Q_OBJECT
public:
    CapsuleLabel(ColourFn fill, QMargins padding, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    ColourFn fill_;
};

// The recording state: a green "Ready" or a red "Recording MM:SS", dot and text on a capsule.
class StatusPill : public QWidget {
    Q_OBJECT
public:
    explicit StatusPill(QWidget* parent = nullptr);
    // While paused: "Paused" with the time held.
    void setState(bool recording, double elapsed, bool paused = false);
    QString text() const { return text_; }
    bool isRed() const { return recording_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool recording_ = false;
    QString text_;
};

// "Start Recording" / "Stop Recording": white on red, full width, 38 high.
class RecordButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit RecordButton(QWidget* parent = nullptr);
    // Enabled while a session runs or something can be recorded; faded when disabled. A paused
    // session says so in the caption (it still stops).
    void setState(bool recording, int availableToRecord, bool paused = false);
    qreal fillOpacity() const { return opacity_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool recording_ = false;
    qreal opacity_ = 0.4;
};

// A borderless button showing one symbol (the desktop icon theme's where it has it); its colour
// follows the appearance.
class SymbolButton : public QToolButton {
    Q_OBJECT
public:
    SymbolButton(const QString& symbol, int size, Tone tone = Tone::primary, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    void setTone(Tone tone);

protected:
    void paintEvent(QPaintEvent* event) override;
    // The hover help is also the button's accessible name (it has no text of its own).
    bool event(QEvent* event) override;

private:
    void refresh();
    QString symbol_;
    QString named_;
    int size_;
    Tone tone_;
};

// A plain text button with an optional trailing symbol, optionally on a capsule or rounded fill.
class PlainButton : public QAbstractButton {
    Q_OBJECT
public:
    PlainButton(const QString& text, QFont font, QWidget* parent = nullptr);
    void setFill(ColourFn fill, qreal radius = -1); // radius < 0: capsule
    void setTrailingSymbol(const QString& symbol);
    void setLeadingSymbol(const QString& symbol);
    void setTone(Tone tone);
    void setPadding(QMargins padding);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override { update(); }
    void leaveEvent(QEvent*) override { update(); }

private:
    ColourFn fill_;
    qreal radius_ = -1;
    QString leading_;
    QString trailing_;
    Tone tone_ = Tone::primary;
    QMargins padding_{0, 0, 0, 0};
};

// The microphone level: a grey capsule track with a green bar, red above 0.85.
class LevelMeter : public QWidget {
    Q_OBJECT
public:
    explicit LevelMeter(QWidget* parent = nullptr);
    void setLevel(float level);
    float level() const { return level_; }
    // Share of the width the bar covers: min(level, 1), never below 0.
    static qreal barFraction(float level);
    static bool isHot(float level) { return level > 0.85f; }
    QColor barColour() const;
    QSize sizeHint() const override { return {120, 6}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    float level_ = 0;
};

// A list heading: the title and a count badge.
class SectionTitle : public QWidget {
    Q_OBJECT
public:
    SectionTitle(const QString& text, QWidget* parent = nullptr);
    void setCount(int count);
    QString countText() const;

private:
    CapsuleLabel* count_;
};

// A vertical scroll area exactly as tall as its content, up to maxHeight.
class FitScroll : public QScrollArea {
    Q_OBJECT
public:
    FitScroll(int maxHeight, QWidget* parent = nullptr);
    void setContent(QWidget* content);
    int maxHeight() const { return maxHeight_; }
    // In a window that can be resized: the area still prefers min(maxHeight, content), takes
    // any height its layout has to spare and gives height back down to min(minimum, content).
    void setGrowable(int minimum);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int contentHeight() const;
    void fit();
    int maxHeight_;
    int h_ = 1;
    int grow_ = -1; // the smallest height when growable; -1: exactly min(maxHeight, content)
};

// A rounded rectangle with the proportions w : h whose longer side fills the box.
class AspectIcon : public QWidget {
    Q_OBJECT
public:
    AspectIcon(qreal w, qreal h, int box = 22, QWidget* parent = nullptr);
    void setAspect(qreal w, qreal h);
    void setTint(ColourFn tint);
    QSizeF shapeSize() const;
    QSize sizeHint() const override { return {box_, box_}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    qreal w_, h_;
    int box_;
    ColourFn tint_;
};

// A small window that closes when the user clicks elsewhere. Opaque with masked rounded
// corners: without a compositor translucent corners would show black.
class Popover : public QFrame {
    Q_OBJECT
public:
    explicit Popover(QWidget* parent = nullptr);
    // Shows the popover below `anchor` (above it when there is no room), inside the screen.
    void showAt(QWidget* anchor);

signals:
    void closed();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void hideEvent(QHideEvent*) override;
};

// One line of text, cut with "…" when it does not fit.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
};

// An on/off switch.
class Switch : public QAbstractButton {
    Q_OBJECT
public:
    explicit Switch(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {34, 20}; }

protected:
    void paintEvent(QPaintEvent*) override;
};

// A row of mutually exclusive choices on a capsule track.
class Segmented : public QWidget {
    Q_OBJECT
public:
    Segmented(const QStringList& choices, QWidget* parent = nullptr);
    void setCurrent(int index);
    int current() const { return current_; }
    QStringList choices() const { return choices_; }
    QSize sizeHint() const override;
    // Picks a choice as a click would.
    void choose(int index);

signals:
    void chosen(int index);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;

private:
    QRectF segment(int index) const;
    QStringList choices_;
    int current_ = -1;
};

// Ties a label to the control it names: the control takes the label's text as its accessible
// name (unless it has one) and, for an on/off control, a click on the label toggles it.
void linkLabel(QLabel* label, QWidget* control);

// The widgets under `root` that take the focus by Tab, in the order their layouts show them
// (top to bottom, left to right), whether shown now or not.
std::vector<QWidget*> focusableInLayoutOrder(QWidget* root);
// Makes Tab walk `root`'s controls in layout order.
void orderTabs(QWidget* root);

// A label in a given size, weight and tone.
QLabel* makeLabel(const QString& text, qreal pixels, Tone tone = Tone::primary,
                  QFont::Weight weight = QFont::Normal, QWidget* parent = nullptr);

// A symbol on its own (the desktop icon theme's where it has it); it follows the appearance.
class SymbolLabel : public QLabel {
    Q_OBJECT
public:
    SymbolLabel(const QString& symbol, int size, Tone tone, QWidget* parent = nullptr);
    void set(const QString& symbol, Tone tone);
    QString symbol() const { return symbol_; }
    Tone tone() const { return tone_; }

private:
    void refresh();
    QString symbol_;
    int size_;
    Tone tone_;
};

} // namespace lc::ui
