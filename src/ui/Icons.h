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

} // namespace lc::ui
