#pragma once
// The style of the standard widgets left in the window, over Fusion and drawn from the theme's
// colours, so that they look like the drawn controls beside them: push buttons (dialog and
// message-box buttons too) like the rounded plain and filled buttons, a combo box like a
// bordered button with a chevron, a thin scroll bar with a rounded handle and no arrows, a
// rounded progress bar with the accent fill. Disabled states fade fill and text; the keyboard
// focus gets the accent ring.
#include <QProxyStyle>

namespace lc::ui {

class Style : public QProxyStyle {
    Q_OBJECT
public:
    Style();

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget = nullptr) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;
    int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                  QStyleHintReturn* returnData = nullptr) const override;
    void polish(QWidget* widget) override;
};

} // namespace lc::ui
