#include "ui/Style.h"

#include "ui/Icons.h"
#include "ui/Theme.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOption>
#include <algorithm>

namespace lc::ui {

namespace {

constexpr qreal kRadius = 6; // the rounding of buttons and the combo box

bool enabled(const QStyleOption* o) {
    return o->state & QStyle::State_Enabled;
}

// The ring shows for focus that came from the keyboard, as on the drawn controls.
bool keyboardFocus(const QStyleOption* o) {
    return (o->state & QStyle::State_HasFocus) && (o->state & QStyle::State_KeyboardFocusChange);
}

void fillRounded(QPainter* p, const QRectF& r, qreal radius, const QColor& colour) {
    p->setPen(Qt::NoPen);
    p->setBrush(colour);
    p->drawRoundedRect(r, radius, radius);
}

void ring(QPainter* p, const QRectF& r, qreal radius, const QColor& colour) {
    p->setPen(QPen(colour, 2));
    p->setBrush(Qt::NoBrush);
    p->drawRoundedRect(r.adjusted(1, 1, -1, -1), std::max<qreal>(0, radius - 1),
                       std::max<qreal>(0, radius - 1));
}

// The fill of a bordered control, stronger under the mouse and while pressed.
QColor borderedFill(const QStyleOption* o) {
    const Colours& c = Theme::colours();
    if (!enabled(o)) return c.disabledFill;
    if (o->state & (QStyle::State_Sunken | QStyle::State_On)) return withAlpha(c.text, 0.16);
    if (o->state & QStyle::State_MouseOver) return withAlpha(c.text, 0.12);
    return withAlpha(c.text, 0.08);
}

bool isDefault(const QStyleOptionButton* b) {
    return b->features & QStyleOptionButton::DefaultButton;
}

// The scroll bar handle: a capsule inset across the bar.
QColor handleColour(const QStyleOptionSlider* o) {
    const Colours& c = Theme::colours();
    if (!enabled(o)) return withAlpha(c.text, 0.15);
    const bool onHandle = o->activeSubControls & QStyle::SC_ScrollBarSlider;
    if (onHandle && (o->state & QStyle::State_Sunken)) return withAlpha(c.text, 0.72);
    if (onHandle && (o->state & QStyle::State_MouseOver)) return withAlpha(c.text, 0.62);
    return withAlpha(c.text, 0.5);
}

} // namespace

Style::Style() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {
    setObjectName(QStringLiteral("loomcast"));
}

void Style::polish(QWidget* widget) {
    QProxyStyle::polish(widget);
    if (qobject_cast<QPushButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
        qobject_cast<QScrollBar*>(widget))
        widget->setAttribute(Qt::WA_Hover, true);
}

void Style::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                          const QWidget* widget) const {
    if (element == PE_FrameFocusRect) {
        // Buttons draw their own ring; everything else gets the accent one, from the keyboard.
        if (qobject_cast<const QAbstractButton*>(widget)) return;
        if (!(option->state & State_KeyboardFocusChange)) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        ring(painter, QRectF(option->rect), 4, Theme::colours().accent);
        painter->restore();
        return;
    }
    if (element == PE_FrameDefaultButton) return; // the default button is filled instead
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void Style::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                        const QWidget* widget) const {
    const Colours& c = Theme::colours();
    switch (element) {
    case CE_PushButtonBevel:
        if (const auto* b = qstyleoption_cast<const QStyleOptionButton*>(option);
            b && !(b->features & QStyleOptionButton::Flat)) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            const QRectF r = QRectF(b->rect).adjusted(1, 1, -1, -1);
            const bool on = enabled(b);
            if (isDefault(b) && on) {
                // Like the prominent drawn buttons: the accent fill with white text.
                QColor fill = c.accentFill;
                if (b->state & (State_Sunken | State_On))
                    fill = fill.darker(115);
                else if (b->state & State_MouseOver)
                    fill = fill.lighter(108);
                fillRounded(painter, r, kRadius, fill);
                if (keyboardFocus(b)) ring(painter, r.adjusted(2, 2, -2, -2), kRadius - 2, c.onAccent);
            } else {
                fillRounded(painter, r, kRadius, borderedFill(b));
                if (keyboardFocus(b)) ring(painter, r, kRadius, c.accent);
            }
            painter->restore();
            return;
        }
        break;
    case CE_PushButtonLabel:
        // White on the filled default button; every other label keeps its palette (a style
        // sheet's colour too).
        if (const auto* b = qstyleoption_cast<const QStyleOptionButton*>(option);
            b && isDefault(b) && enabled(b) && !(b->features & QStyleOptionButton::Flat)) {
            QStyleOptionButton copy(*b);
            for (auto group : {QPalette::Active, QPalette::Inactive})
                copy.palette.setColor(group, QPalette::ButtonText, c.onAccent);
            QProxyStyle::drawControl(element, &copy, painter, widget);
            return;
        }
        break;
    case CE_ProgressBarGroove:
        if (option->state & State_Horizontal) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            const QRectF r(option->rect);
            fillRounded(painter, r, std::min(r.height(), r.width()) / 2,
                        enabled(option) ? withAlpha(c.text, 0.12) : c.disabledFill);
            painter->restore();
            return;
        }
        break;
    case CE_ProgressBarContents:
        if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
            bar && (bar->state & State_Horizontal) && bar->maximum > bar->minimum) {
            const double share = std::clamp(double(qint64(bar->progress) - bar->minimum) /
                                                double(qint64(bar->maximum) - bar->minimum),
                                            0.0, 1.0);
            const QRectF r(bar->rect);
            const qreal w = r.width() * share;
            if (w <= 0) return;
            const bool fromRight = (bar->direction == Qt::RightToLeft) != bar->invertedAppearance;
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            QPainterPath track;
            track.addRoundedRect(r, std::min(r.height(), r.width()) / 2, std::min(r.height(), r.width()) / 2);
            painter->setClipPath(track);
            // The accent while it runs; a flat grey when disabled.
            painter->fillRect(QRectF(fromRight ? r.right() - w : r.left(), r.top(), w, r.height()),
                              enabled(bar) ? c.accentFill : c.disabledText);
            painter->restore();
            return;
        }
        break;
    case CE_ProgressBarLabel:
        if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option)) {
            painter->save();
            painter->setPen(enabled(bar) ? c.text : c.disabledText);
            painter->drawText(bar->rect, Qt::AlignCenter, bar->text);
            painter->restore();
            return;
        }
        break;
    default:
        break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void Style::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                               const QWidget* widget) const {
    const Colours& c = Theme::colours();
    if (control == CC_ComboBox) {
        if (const auto* box = qstyleoption_cast<const QStyleOptionComboBox*>(option); box && !box->editable) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            const QRectF r = QRectF(box->rect).adjusted(1, 1, -1, -1);
            fillRounded(painter, r, kRadius, borderedFill(box));
            const QRect arrow = subControlRect(CC_ComboBox, box, SC_ComboBoxArrow, widget);
            const int s = 12;
            const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
            painter->drawPixmap(arrow.center().x() - s / 2, arrow.center().y() - s / 2 + 1,
                                symbolPixmap(QStringLiteral("chevron.down"),
                                             enabled(box) ? c.secondary : c.disabledText, s, dpr));
            if (keyboardFocus(box)) ring(painter, r, kRadius, c.accent);
            painter->restore();
            return;
        }
    }
    if (control == CC_ScrollBar) {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option)) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            const bool horizontal = bar->orientation == Qt::Horizontal;
            if (bar->state & State_MouseOver) {
                const QRectF groove(bar->rect);
                const qreal radius = (horizontal ? groove.height() : groove.width()) / 2;
                fillRounded(painter, groove, radius, withAlpha(c.text, 0.06));
            }
            QRectF handle(subControlRect(CC_ScrollBar, bar, SC_ScrollBarSlider, widget));
            handle = horizontal ? handle.adjusted(1, 2, -1, -2) : handle.adjusted(2, 1, -2, -1);
            if (!handle.isEmpty()) {
                const qreal radius = (horizontal ? handle.height() : handle.width()) / 2;
                fillRounded(painter, handle, radius, handleColour(bar));
            }
            painter->restore();
            return;
        }
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
}

QRect Style::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                            const QWidget* widget) const {
    if (control == CC_ScrollBar) {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option)) {
            // No arrow buttons: the handle runs along the whole bar.
            const QRect r = bar->rect;
            const bool horizontal = bar->orientation == Qt::Horizontal;
            const int length = horizontal ? r.width() : r.height();
            int handle = length;
            if (bar->maximum != bar->minimum) {
                const qint64 range = qint64(bar->maximum) - bar->minimum;
                handle = int(qint64(bar->pageStep) * length / std::max<qint64>(1, range + bar->pageStep));
                handle = std::clamp(handle, std::min(length, pixelMetric(PM_ScrollBarSliderMin, bar, widget)),
                                    length);
            }
            const int start = sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition,
                                                      length - handle, bar->upsideDown);
            QRect out;
            const auto span = [&](int from, int size) {
                return horizontal ? QRect(r.left() + from, r.top(), size, r.height())
                                  : QRect(r.left(), r.top() + from, r.width(), size);
            };
            switch (sub) {
            case SC_ScrollBarSubLine:
            case SC_ScrollBarAddLine:
                return {};
            case SC_ScrollBarSubPage:
                out = span(0, start);
                break;
            case SC_ScrollBarAddPage:
                out = span(start + handle, length - start - handle);
                break;
            case SC_ScrollBarSlider:
                out = span(start, handle);
                break;
            case SC_ScrollBarGroove:
                out = r;
                break;
            default:
                return QProxyStyle::subControlRect(control, option, sub, widget);
            }
            return visualRect(bar->direction, r, out);
        }
    }
    return QProxyStyle::subControlRect(control, option, sub, widget);
}

int Style::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const {
    switch (metric) {
    case PM_ScrollBarExtent:
        return 10;
    case PM_ScrollBarSliderMin:
        return 28;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

int Style::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                     QStyleHintReturn* returnData) const {
    switch (hint) {
    case SH_DialogButtonBox_ButtonsHaveIcons:
        return 0; // plain text buttons, as the desktops' own dialogs
    case SH_ScrollBar_ContextMenu:
        return 0; // a menu of arrow commands for a bar without arrows would puzzle
    default:
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
}

} // namespace lc::ui
