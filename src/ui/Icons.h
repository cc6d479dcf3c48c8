#pragma once
// The application's symbols, drawn in code in one line style (1.8 units wide on a 24-unit grid,
// round ends) with solid ".fill" variants, so every symbol exists on every desktop.
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace lc::ui {

// Every symbol name the views use.
QStringList symbolNames();
bool hasSymbol(const QString& name);

// The symbol drawn in `colour` into a square of `size` logical pixels; an empty pixmap for an
// unknown name.
QPixmap symbolPixmap(const QString& name, const QColor& colour, int size, qreal devicePixelRatio = 1.0);

// The same as an icon with normal and disabled modes.
QIcon symbolIcon(const QString& name, const QColor& colour, int size = 16);

// The desktop icon theme's name for a symbol where there is an obvious one ("arrow.clockwise" is
// "view-refresh"); empty otherwise.
QString themeIconName(const QString& symbol);
// The symbol as the desktop's icon theme has it, else drawn: a one-colour grey theme icon (a
// symbolic one) is tinted in `colour`, a coloured one used as the theme gives it. For symbols
// on neutral ground; a symbol on a coloured fill keeps the drawn one.
QPixmap desktopSymbolPixmap(const QString& name, const QColor& colour, int size,
                            qreal devicePixelRatio = 1.0);
QIcon desktopSymbolIcon(const QString& name, const QColor& colour, int size = 16);
// Whether the desktop's icon theme supplies the symbol now.
bool symbolFromDesktop(const QString& name);

} // namespace lc::ui
