#include "ui/Widgets.h"

#include "capture/Timecode.h"
#include "ui/Icons.h"

#include <QApplication>
#include <QBitmap>
#include <QEvent>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <cmath>

namespace lc::ui {

namespace {

void fillRounded(QPainter& p, const QRectF& r, qreal radius, const QColor& colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(r, radius, radius);
}

qreal capsuleRadius(const QRectF& r) {
    return r.height() / 2;
}

} // namespace

namespace {

// Remembers how each widget got the focus: rings show for the keyboard, not for a click or
// the window's first focus.
class FocusReasons : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusIn) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            const bool keyboard = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                                  reason == Qt::ShortcutFocusReason;
            watched->setProperty("lcKeyboardFocus", keyboard);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

bool showsFocusRing(const QWidget* w) {
    static FocusReasons* reasons = [] {
        auto* r = new FocusReasons; // lives as long as the application
        r->setParent(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(r);
        return r;
    }();
    Q_UNUSED(reasons);
    return w->hasFocus() && w->property("lcKeyboardFocus").toBool();
}

void drawFocusRing(QPainter& p, const QRectF& r, qreal radius) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Theme::colours().accent, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(1, 1, -1, -1), std::max<qreal>(0, radius - 1),
                      std::max<qreal>(0, radius - 1));
    p.restore();
}

namespace {

// Repaints `w` whenever the appearance changes.
void followTheme(QWidget* w) {
    QObject::connect(&Theme::instance(), &Theme::changed, w, [w] { w->update(); });
}

} // namespace

ColourFn cardFill() {
    return [] { return Theme::colours().card; };
}

ColourFn tinted(Tone tone, qreal alpha) {
    return [tone, alpha] { return withAlpha(Theme::tone(tone), alpha); };
}

// --- Card ------------------------------------------------------------------------------------

Card::Card(qreal radius, ColourFn fill, QWidget* parent)
    : QFrame(parent), radius_(radius), fill_(std::move(fill)) {
    followTheme(this);
}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (radius_ <= 0) { // a plain band, such as a separator line
        if (fill_) p.fillRect(rect(), fill_());
        return;
    }
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (fill_) fillRounded(p, r, radius_, fill_());
    if (stroke_) {
        p.setPen(QPen(stroke_(), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r, radius_, radius_);
    }
}

// --- CapsuleLabel ----------------------------------------------------------------------------

CapsuleLabel::CapsuleLabel(ColourFn fill, QMargins padding, QWidget* parent)
    : QLabel(parent), fill_(std::move(fill)) {
    setContentsMargins(padding);
    setAlignment(Qt::AlignCenter);
    followTheme(this);
}

void CapsuleLabel::paintEvent(QPaintEvent* e) {
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r(rect());
        fillRounded(p, r, capsuleRadius(r), fill_());
    }
    QLabel::paintEvent(e);
}

// --- StatusPill ------------------------------------------------------------------------------

StatusPill::StatusPill(QWidget* parent) : QWidget(parent) {
    setState(false, 0);
    setAccessibleName(text_);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    followTheme(this);
}

void StatusPill::setState(bool recording, double elapsed, bool paused) {
    QString text = !recording ? QStringLiteral("Ready")
                   : paused   ? QStringLiteral("Paused ") + formatTime(elapsed)
                              : QStringLiteral("Recording ") + formatTime(elapsed);
    if (recording == recording_ && text == text_) return;
    const bool resize = text.size() != text_.size();
    recording_ = recording;
    text_ = std::move(text);
    setAccessibleName(text_);
    if (resize) updateGeometry();
    update();
}

QSize StatusPill::sizeHint() const {
    const QFontMetrics fm(Theme::monoDigitFont(11, QFont::DemiBold));
    // Dot 7, gap 5, padding 9 left and right, 3 top and bottom.
    return {9 + 7 + 5 + fm.horizontalAdvance(text_) + 9, fm.height() + 6};
}

void StatusPill::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor colour = recording_ ? Theme::colours().red : Theme::colours().green;
    const QRectF r(rect());
    fillRounded(p, r, capsuleRadius(r), Theme::pillFill(recording_));
    p.setBrush(colour);
    p.drawEllipse(QRectF(9, r.center().y() - 3.5, 7, 7));
    p.setPen(colour);
    p.setFont(Theme::monoDigitFont(11, QFont::DemiBold));
    p.drawText(QRectF(9 + 7 + 5, 0, r.width() - 21, r.height()), Qt::AlignVCenter | Qt::AlignLeft, text_);
}

// --- RecordButton ----------------------------------------------------------------------------

RecordButton::RecordButton(QWidget* parent) : QAbstractButton(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(38);
    setCursor(Qt::PointingHandCursor);
    setState(false, 0);
    followTheme(this);
}

void RecordButton::setState(bool recording, int availableToRecord, bool paused) {
    recording_ = recording;
    opacity_ = (recording || availableToRecord > 0) ? 1.0 : 0.4;
    setText(!recording ? QStringLiteral("Start Recording")
            : paused   ? QStringLiteral("Paused \u2014 Stop Recording")
                       : QStringLiteral("Stop Recording"));
    setEnabled(recording || availableToRecord > 0);
    update();
}

QSize RecordButton::sizeHint() const {
    return {200, 38};
}

void RecordButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor red = Theme::colours().redFill;
    if (isDown()) red = red.darker(115);
    fillRounded(p, QRectF(rect()), 10, withAlpha(red, opacity_));

    const QFont font = Theme::font(14, QFont::DemiBold);
    const QFontMetrics fm(font);
    const int iconSize = 16;
    const int textWidth = fm.horizontalAdvance(text());
    const int total = iconSize + 8 + textWidth;
    const int x = (width() - total) / 2;
    const QColor white = withAlpha(Qt::white, opacity_ < 1 ? 0.85 : 1.0);
    p.drawPixmap(x, (height() - iconSize) / 2,
                 symbolPixmap(recording_ ? QStringLiteral("stop.fill") : QStringLiteral("record.circle"),
                              white, iconSize, devicePixelRatioF()));
    p.setFont(font);
    p.setPen(white);
    p.drawText(QRect(x + iconSize + 8, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    if (showsFocusRing(this)) {
        // Inside the red fill the accent would vanish: a white ring inset from the edge.
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(3, 3, -3, -3), 7, 7);
    }
}

// --- SymbolButton ----------------------------------------------------------------------------

SymbolButton::SymbolButton(const QString& symbol, int size, Tone tone, QWidget* parent)
    : QToolButton(parent), symbol_(symbol), size_(size), tone_(tone) {
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setIconSize(QSize(size, size));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    refresh();
    connect(&Theme::instance(), &Theme::changed, this, [this] { refresh(); });
}

void SymbolButton::setSymbol(const QString& symbol) {
    if (symbol == symbol_) return;
    symbol_ = symbol;
    refresh();
}

void SymbolButton::setTone(Tone tone) {
    tone_ = tone;
    refresh();
}

void SymbolButton::paintEvent(QPaintEvent* event) {
    QToolButton::paintEvent(event);
    if (showsFocusRing(this)) {
        QPainter p(this);
        drawFocusRing(p, QRectF(rect()), 6);
    }
}

bool SymbolButton::event(QEvent* event) {
    if (event->type() == QEvent::ToolTipChange &&
        (accessibleName().isEmpty() || accessibleName() == named_)) {
        named_ = toolTip();
        setAccessibleName(named_);
    }
    return QToolButton::event(event);
}

void SymbolButton::refresh() {
    setIcon(desktopSymbolIcon(symbol_, Theme::tone(tone_), size_));
}

// --- SymbolLabel -----------------------------------------------------------------------------

SymbolLabel::SymbolLabel(const QString& symbol, int size, Tone tone, QWidget* parent)
    : QLabel(parent), symbol_(symbol), size_(size), tone_(tone) {
    setFixedSize(size, size);
    refresh();
    connect(&Theme::instance(), &Theme::changed, this, [this] { refresh(); });
}

void SymbolLabel::set(const QString& symbol, Tone tone) {
    if (symbol == symbol_ && tone == tone_) return;
    symbol_ = symbol;
    tone_ = tone;
    refresh();
}

void SymbolLabel::refresh() {
    setPixmap(desktopSymbolPixmap(symbol_, Theme::tone(tone_), size_, devicePixelRatioF()));
}

// --- PlainButton -----------------------------------------------------------------------------

PlainButton::PlainButton(const QString& text, QFont font, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setFont(font);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    followTheme(this);
}

void PlainButton::setFill(ColourFn fill, qreal radius) {
    fill_ = std::move(fill);
    radius_ = radius;
    update();
}

void PlainButton::setTrailingSymbol(const QString& symbol) {
    trailing_ = symbol;
    updateGeometry();
}

void PlainButton::setLeadingSymbol(const QString& symbol) {
    leading_ = symbol;
    updateGeometry();
}

void PlainButton::setTone(Tone tone) {
    tone_ = tone;
    update();
}

void PlainButton::setPadding(QMargins padding) {
    padding_ = padding;
    updateGeometry();
}

QSize PlainButton::sizeHint() const {
    const QFontMetrics fm(font());
    const int symbol = fm.height() - 4;
    int w = fm.horizontalAdvance(text());
    if (!leading_.isEmpty()) w += symbol + 5;
    if (!trailing_.isEmpty()) w += symbol + 4;
    return {w + padding_.left() + padding_.right() + 1, fm.height() + padding_.top() + padding_.bottom()};
}

void PlainButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(rect());
    if (fill_) {
        // A disabled button loses its own fill, so a prominent one no longer looks pressable.
        QColor fill = isEnabled() ? fill_() : Theme::colours().disabledFill;
        if (underMouse() && isEnabled()) fill = withAlpha(fill, 1.7);
        if (isDown()) fill = withAlpha(fill, 2.2);
        fillRounded(p, r, radius_ < 0 ? capsuleRadius(r) : radius_, fill);
    } else if (isDown()) {
        fillRounded(p, r, 5, withAlpha(Theme::colours().text, 0.08));
    }
    const QColor colour = isEnabled() ? Theme::tone(tone_) : Theme::colours().disabledText;
    const QFontMetrics fm(font());
    const int symbol = fm.height() - 4;
    int x = padding_.left();
    const int cy = padding_.top() + (height() - padding_.top() - padding_.bottom()) / 2;
    if (!leading_.isEmpty()) {
        p.drawPixmap(x, cy - symbol / 2, symbolPixmap(leading_, colour, symbol, devicePixelRatioF()));
        x += symbol + 5;
    }
    p.setPen(colour);
    p.setFont(font());
    const int tw = fm.horizontalAdvance(text());
    p.drawText(QRect(x, 0, tw + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    x += tw;
    if (!trailing_.isEmpty()) {
        x += 4;
        const int s = symbol - 2;
        p.drawPixmap(x, cy - s / 2, symbolPixmap(trailing_, withAlpha(colour, 0.8), s, devicePixelRatioF()));
    }
    if (showsFocusRing(this))
        drawFocusRing(p, r, radius_ < 0 ? capsuleRadius(r) : std::max<qreal>(radius_, 5));
}

// --- LevelMeter ------------------------------------------------------------------------------

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(6);
    followTheme(this);
}

void LevelMeter::setLevel(float level) {
    if (level == level_) return;
    level_ = level;
    update();
}

qreal LevelMeter::barFraction(float level) {
    if (!(level > 0)) return 0; // also NaN
    return std::min<qreal>(level, 1.0);
}

QColor LevelMeter::barColour() const {
    return isHot(level_) ? Theme::colours().red : Theme::colours().green;
}

void LevelMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track(rect());
    fillRounded(p, track, capsuleRadius(track), withAlpha(QColor(0x8E, 0x8E, 0x93), 0.25));
    const qreal w = track.width() * barFraction(level_);
    if (w > 0) fillRounded(p, QRectF(0, 0, w, track.height()), capsuleRadius(track), barColour());
}

// --- SectionTitle ----------------------------------------------------------------------------

SectionTitle::SectionTitle(const QString& text, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 10, 16, 4);
    row->setSpacing(6);
    row->addWidget(makeLabel(text, 12, Tone::secondary, QFont::DemiBold));
    count_ = new CapsuleLabel(tinted(Tone::primary, 0.08), QMargins(6, 1, 6, 1));
    count_->setFont(Theme::monoDigitFont(11, QFont::DemiBold));
    Theme::setTone(count_, Tone::secondary);
    row->addWidget(count_);
    row->addStretch(1);
    setCount(0);
}

void SectionTitle::setCount(int count) {
    count_->setText(QString::number(count));
}

QString SectionTitle::countText() const {
    return count_->text();
}

// --- FitScroll -------------------------------------------------------------------------------

FitScroll::FitScroll(int maxHeight, QWidget* parent) : QScrollArea(parent), maxHeight_(maxHeight) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    viewport()->setAutoFillBackground(false);
    setFocusPolicy(Qt::NoFocus); // the rows' controls take the focus and scroll into view
    setFixedHeight(h_);
}

void FitScroll::setContent(QWidget* content) {
    if (widget()) widget()->removeEventFilter(this);
    setWidget(content);
    content->setAutoFillBackground(
        false); // after setWidget, which turns it on: the list shows its host's background
    content->installEventFilter(this);
    fit();
}

int FitScroll::contentHeight() const {
    QWidget* content = widget();
    if (!content) return 0;
    const int width = viewport()->width() > 1 ? viewport()->width() : content->sizeHint().width();
    if (content->layout() && content->layout()->hasHeightForWidth())
        return content->layout()->totalHeightForWidth(width);
    return content->sizeHint().height();
}

void FitScroll::setGrowable(int minimum) {
    grow_ = std::max(0, minimum);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    setMinimumHeight(std::min(grow_, h_));
    setMaximumHeight(QWIDGETSIZE_MAX);
    updateGeometry();
}

void FitScroll::fit() {
    const int measured = contentHeight();
    if (measured <= 0) return;
    if (grow_ >= 0) {
        // The layout decides the height; only the hints change.
        const bool changed = measured != h_ || minimumHeight() != std::min(grow_, measured);
        h_ = measured;
        if (changed) {
            setMinimumHeight(std::min(grow_, h_));
            updateGeometry();
        }
        return;
    }
    h_ = measured;
    const int height = std::min(maxHeight_, h_);
    if (height != this->height() || minimumHeight() != height) {
        setFixedHeight(height);
        updateGeometry();
    }
}

QSize FitScroll::sizeHint() const {
    const QSize content = widget() ? widget()->sizeHint() : QSize(0, 0);
    return {content.width(), std::min(maxHeight_, h_)};
}

QSize FitScroll::minimumSizeHint() const {
    return {0, std::min(grow_ >= 0 ? grow_ : maxHeight_, h_)};
}

bool FitScroll::eventFilter(QObject* watched, QEvent* event) {
    if (watched == widget() && (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize))
        QMetaObject::invokeMethod(
            this, [this] { fit(); }, Qt::QueuedConnection);
    return QScrollArea::eventFilter(watched, event);
}

void FitScroll::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    if (event->oldSize().width() != event->size().width()) fit();
}

// --- AspectIcon ------------------------------------------------------------------------------

AspectIcon::AspectIcon(qreal w, qreal h, int box, QWidget* parent)
    : QWidget(parent), w_(w), h_(h), box_(box), tint_(tinted(Tone::secondary, 0.55)) {
    setFixedSize(box, box);
    followTheme(this);
}

void AspectIcon::setAspect(qreal w, qreal h) {
    w_ = w;
    h_ = h;
    update();
}

void AspectIcon::setTint(ColourFn tint) {
    tint_ = std::move(tint);
    update();
}

QSizeF AspectIcon::shapeSize() const {
    if (!(w_ > 0) || !(h_ > 0)) return {qreal(box_), qreal(box_)};
    if (w_ >= h_) return {qreal(box_), std::max<qreal>(2, box_ * h_ / w_)};
    return {std::max<qreal>(2, box_ * w_ / h_), qreal(box_)};
}

void AspectIcon::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QSizeF s = shapeSize();
    const QRectF r((box_ - s.width()) / 2, (box_ - s.height()) / 2, s.width(), s.height());
    fillRounded(p, r, std::min<qreal>(3, std::min(s.width(), s.height()) / 4), tint_());
}

// --- Popover ---------------------------------------------------------------------------------

Popover::Popover(QWidget* parent) : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFrameShape(QFrame::NoFrame);
    followTheme(this);
}

void Popover::showAt(QWidget* anchor) {
    adjustSize();
    const QSize size = sizeHint().expandedTo(minimumSize());
    resize(size);
    QPoint pos;
    QRect available;
    if (anchor) {
        const QPoint below = anchor->mapToGlobal(QPoint(anchor->width() / 2, anchor->height() + 4));
        pos = QPoint(below.x() - size.width() / 2, below.y());
        QScreen* screen = anchor->screen();
        available = screen ? screen->availableGeometry() : QRect();
        if (available.isValid() && pos.y() + size.height() > available.bottom()) {
            const QPoint above = anchor->mapToGlobal(QPoint(0, -4));
            pos.setY(above.y() - size.height());
        }
    }
    if (available.isValid()) {
        pos.setX(std::clamp(pos.x(), available.left() + 4,
                            std::max(available.left() + 4, available.right() - size.width() - 4)));
        pos.setY(std::clamp(pos.y(), available.top() + 4,
                            std::max(available.top() + 4, available.bottom() - size.height() - 4)));
    }
    move(pos);
    show();
    raise();
    activateWindow();
}

void Popover::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto& c = Theme::colours();
    p.fillRect(rect(), Theme::appearance() == Appearance::dark ? c.card : c.window.lighter(103));
    p.setPen(QPen(withAlpha(c.text, 0.2), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

void Popover::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 10, 10);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void Popover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

// --- ElidedLabel ----------------------------------------------------------------------------

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setTextFormat(Qt::PlainText);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {20, fontMetrics().height()};
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text()) + 2, fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.setFont(font());
    const QRect r = contentsRect();
    p.drawText(r, int(Qt::AlignVCenter | Qt::AlignLeft),
               fontMetrics().elidedText(text(), Qt::ElideRight, r.width()));
}

// --- Switch ----------------------------------------------------------------------------------

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    followTheme(this);
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto& c = Theme::colours();
    const QRectF track = QRectF(0, 0, 34, 20).translated((width() - 34) / 2.0, (height() - 20) / 2.0);
    // Disabled: a flat track and a knob that sinks into it, in both appearances.
    QColor fill = isChecked() ? c.accent : withAlpha(c.text, 0.22);
    if (!isEnabled()) fill = isChecked() ? withAlpha(c.accent, 0.3) : c.disabledFill;
    fillRounded(p, track, 10, fill);
    const qreal knob = 16;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    p.setBrush(isEnabled() ? QColor(Qt::white) : over(withAlpha(c.text, 0.18), c.card));
    p.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
    p.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    if (showsFocusRing(this)) drawFocusRing(p, track.adjusted(-2, -2, 2, 2), 12);
}

// --- Segmented -------------------------------------------------------------------------------

Segmented::Segmented(const QStringList& choices, QWidget* parent) : QWidget(parent), choices_(choices) {
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFont(Theme::font(12));
    followTheme(this);
}

void Segmented::setCurrent(int index) {
    if (index == current_) return;
    current_ = index;
    setAccessibleDescription(
        index >= 0 && index < choices_.size() ? choices_[index] + QStringLiteral(" selected") : QString());
    update();
}

void Segmented::choose(int index) {
    if (index < 0 || index >= choices_.size() || !isEnabled()) return;
    setCurrent(index);
    emit chosen(index);
}

QSize Segmented::sizeHint() const {
    const QFontMetrics fm(font());
    int widest = 0;
    for (const QString& c : choices_)
        widest = std::max(widest, fm.horizontalAdvance(c));
    return {int(choices_.size()) * (widest + 24) + 4, fm.height() + 10};
}

QRectF Segmented::segment(int index) const {
    const qreal w = (width() - 4.0) / std::max<qsizetype>(1, choices_.size());
    return {2 + index * w, 2, w, height() - 4.0};
}

void Segmented::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto& c = Theme::colours();
    fillRounded(p, QRectF(rect()), 7, withAlpha(c.text, 0.08));
    for (int i = 0; i < choices_.size(); ++i) {
        const QRectF r = segment(i);
        if (i == current_) {
            fillRounded(p, r, 5.5, Theme::appearance() == Appearance::dark ? c.card.lighter(150) : c.card);
            p.setPen(QPen(withAlpha(c.text, 0.1), 0.5));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(r, 5.5, 5.5);
        }
        const QColor text = isEnabled() ? c.text : c.disabledText;
        p.setPen(text);
        QFont f = font();
        if (i == current_) f.setWeight(QFont::DemiBold);
        p.setFont(f);
        p.drawText(r, Qt::AlignCenter, choices_[i]);
    }
    if (showsFocusRing(this)) drawFocusRing(p, QRectF(rect()), 7);
}

void Segmented::mousePressEvent(QMouseEvent* event) {
    for (int i = 0; i < choices_.size(); ++i) {
        if (segment(i).contains(event->position())) return choose(i);
    }
}

void Segmented::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Left) return choose(std::max(0, current_ - 1));
    if (event->key() == Qt::Key_Right) return choose(std::min(int(choices_.size()) - 1, current_ + 1));
    QWidget::keyPressEvent(event);
}

// --- Labels ----------------------------------------------------------------------------------

namespace {

class LabelClicks : public QObject {
public:
    LabelClicks(QLabel* label, QAbstractButton* target) : QObject(label), target_(target) {
        label->installEventFilter(this);
        label->setCursor(Qt::PointingHandCursor);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease && target_ && target_->isEnabled()) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            auto* label = static_cast<QWidget*>(watched);
            if (mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint())) {
                target_->click();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QAbstractButton> target_;
};

} // namespace

namespace {

void collectFocusable(QWidget* w, std::vector<QWidget*>& out);

void collectFromLayout(QLayout* layout, std::vector<QWidget*>& out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* child = item->widget())
            collectFocusable(child, out);
        else if (QLayout* inner = item->layout())
            collectFromLayout(inner, out);
    }
}

void collectFocusable(QWidget* w, std::vector<QWidget*>& out) {
    if (w->isWindow()) return; // popovers and dialogs keep their own chain
    if ((w->focusPolicy() & Qt::TabFocus) && !w->focusProxy()) out.push_back(w);
    if (auto* scroll = qobject_cast<QScrollArea*>(w)) {
        if (scroll->widget()) collectFocusable(scroll->widget(), out);
        return;
    }
    if (w->layout()) {
        collectFromLayout(w->layout(), out);
        return;
    }
    for (QObject* o : w->children())
        if (auto* child = qobject_cast<QWidget*>(o); child && !child->isWindow())
            collectFocusable(child, out);
}

} // namespace

std::vector<QWidget*> focusableInLayoutOrder(QWidget* root) {
    std::vector<QWidget*> out;
    if (!root) return out;
    if (root->layout())
        collectFromLayout(root->layout(), out);
    else
        for (QObject* o : root->children())
            if (auto* child = qobject_cast<QWidget*>(o); child && !child->isWindow())
                collectFocusable(child, out);
    return out;
}

void orderTabs(QWidget* root) {
    const std::vector<QWidget*> order = focusableInLayoutOrder(root);
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void linkLabel(QLabel* label, QWidget* control) {
    if (!label || !control) return;
    label->setBuddy(control);
    if (control->accessibleName().isEmpty()) control->setAccessibleName(label->text());
    if (auto* button = qobject_cast<QAbstractButton*>(control); button && button->isCheckable())
        new LabelClicks(label, button); // owned by the label
}

QLabel* makeLabel(const QString& text, qreal pixels, Tone tone, QFont::Weight weight, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(Theme::font(pixels, weight));
    Theme::setTone(label, tone);
    return label;
}

} // namespace lc::ui
