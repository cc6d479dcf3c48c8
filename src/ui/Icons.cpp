#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QtMath>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>

namespace lc::ui {

namespace {

constexpr qreal kLine = 1.8; // stroke width on the 24-unit grid

// A symbol as one filled area: strokes are turned into areas, so knock-outs are subtractions.
using Drawing = std::function<QPainterPath()>;

QPainterPath strokeArea(const QPainterPath& path, qreal width = kLine) {
    QPainterPathStroker s;
    s.setWidth(width);
    s.setCapStyle(Qt::RoundCap);
    s.setJoinStyle(Qt::RoundJoin);
    return s.createStroke(path).simplified();
}

QPainterPath disk(qreal cx, qreal cy, qreal r) {
    QPainterPath p;
    p.addEllipse(QPointF(cx, cy), r, r);
    return p;
}

QPainterPath ring(qreal cx, qreal cy, qreal r) {
    return strokeArea(disk(cx, cy, r));
}

QPainterPath line(std::initializer_list<QPointF> points) {
    QPainterPath p;
    bool first = true;
    for (const QPointF& pt : points) {
        if (first)
            p.moveTo(pt);
        else
            p.lineTo(pt);
        first = false;
    }
    return p;
}

QPainterPath roundRect(qreal x, qreal y, qreal w, qreal h, qreal r) {
    QPainterPath p;
    p.addRoundedRect(QRectF(x, y, w, h), r, r);
    return p;
}

// A solid polygon with softly rounded corners.
QPainterPath softPolygon(const QPolygonF& polygon, qreal rounding = 1.6) {
    QPainterPath p;
    p.addPolygon(polygon);
    p.closeSubpath();
    return p.united(strokeArea(p, rounding));
}

// An arc of a circle with an arrow head at its end pointing along the motion. Angles in
// degrees, counter-clockwise positive (Qt's convention).
QPainterPath arcArrow(QPointF c, qreal r, qreal start, qreal sweep) {
    const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
    QPainterPath arc;
    arc.arcMoveTo(box, start);
    arc.arcTo(box, start, sweep);
    const qreal end = qDegreesToRadians(start + sweep);
    const QPointF endPoint(c.x() + r * qCos(end), c.y() - r * qSin(end));
    const qreal sign = sweep >= 0 ? 1 : -1;
    const QPointF dir(sign * -qSin(end), sign * -qCos(end));
    const QPointF perp(-dir.y(), dir.x());
    const QPointF tip = endPoint + dir * 1.2;
    const QPainterPath head = line({tip - dir * 3.4 + perp * 3.4, tip, tip - dir * 3.4 - perp * 3.4});
    return strokeArea(arc).united(strokeArea(head));
}

QPolygonF speakerShape() {
    return QPolygonF({QPointF(3.5, 9.3), QPointF(7, 9.3), QPointF(11.5, 5.2), QPointF(11.5, 18.8),
                      QPointF(7, 14.7), QPointF(3.5, 14.7)});
}

QPainterPath wave(qreal r) {
    const QRectF box(11.5 - r, 12 - r, 2 * r, 2 * r);
    QPainterPath p;
    p.arcMoveTo(box, -48);
    p.arcTo(box, -48, 96);
    return strokeArea(p);
}

QPainterPath gear() {
    QPolygonF outline;
    for (int k = 0; k < 8; ++k) {
        const qreal a = k * 45.0;
        for (auto [r, da] : {std::pair{7.3, -15.0}, {9.6, -8.0}, {9.6, 8.0}, {7.3, 15.0}}) {
            const qreal t = qDegreesToRadians(a + da);
            outline << QPointF(12 + r * qCos(t), 12 + r * qSin(t));
        }
    }
    QPainterPath p;
    p.addPolygon(outline);
    p.closeSubpath();
    return strokeArea(p).united(ring(12, 12, 3.1));
}

QPainterPath octagon(qreal r) {
    QPolygonF poly;
    for (int k = 0; k < 8; ++k) {
        const qreal t = qDegreesToRadians(22.5 + 45.0 * k);
        poly << QPointF(12 + r * qCos(t), 12 + r * qSin(t));
    }
    return softPolygon(poly);
}

const std::map<QString, Drawing>& drawings() {
    static const std::map<QString, Drawing> table{
        {"circle", [] { return ring(12, 12, 9); }},
        {"record.circle", [] { return ring(12, 12, 9).united(disk(12, 12, 5)); }},
        {"record.circle.fill",
         [] { return disk(12, 12, 10).subtracted(disk(12, 12, 6.6)).united(disk(12, 12, 4.8)); }},
        {"pause.circle.fill",
         [] {
             return disk(12, 12, 10)
                 .subtracted(disk(12, 12, 6.6))
                 .united(roundRect(8.7, 8.2, 2.4, 7.6, 0.9))
                 .united(roundRect(12.9, 8.2, 2.4, 7.6, 0.9));
         }},
        {"stop.fill", [] { return roundRect(5.5, 5.5, 13, 13, 3); }},
        {"pause.fill", [] { return roundRect(6, 5, 4.2, 14, 1.4).united(roundRect(13.8, 5, 4.2, 14, 1.4)); }},
        {"play.fill",
         [] {
             return softPolygon(QPolygonF({QPointF(7, 4.5), QPointF(19.5, 12), QPointF(7, 19.5)}), 2);
         }},
        {"clock.arrow.circlepath",
         [] {
             return arcArrow(QPointF(12.5, 12), 8.3, -110, 305)
                 .united(strokeArea(line({QPointF(12.5, 7.5), QPointF(12.5, 12.3), QPointF(15.6, 14.2)})));
         }},
        {"gearshape", [] { return gear(); }},
        {"arrow.clockwise", [] { return arcArrow(QPointF(12, 12.6), 7.6, 55, -300); }},
        {"exclamationmark.triangle.fill",
         [] {
             const QPainterPath body =
                 softPolygon(QPolygonF({QPointF(12, 3), QPointF(22, 20.5), QPointF(2, 20.5)}), 2.4);
             const QPainterPath mark =
                 strokeArea(line({QPointF(12, 9), QPointF(12, 13.8)}), 2.3).united(disk(12, 17.2, 1.35));
             return body.subtracted(mark);
         }},
        {"folder",
         [] {
             QPainterPath p;
             p.moveTo(3, 17.5);
             p.lineTo(3, 6.5);
             p.quadTo(3, 5, 4.5, 5);
             p.lineTo(9, 5);
             p.lineTo(11, 7);
             p.lineTo(19.5, 7);
             p.quadTo(21, 7, 21, 8.5);
             p.lineTo(21, 17.5);
             p.quadTo(21, 19, 19.5, 19);
             p.lineTo(4.5, 19);
             p.quadTo(3, 19, 3, 17.5);
             p.closeSubpath();
             return strokeArea(p).united(strokeArea(line({QPointF(3, 10), QPointF(21, 10)})));
         }},
        {"arrow.up.forward.square",
         [] {
             return strokeArea(roundRect(4, 4, 16, 16, 3.5))
                 .united(strokeArea(line({QPointF(9, 15), QPointF(15, 9)})))
                 .united(strokeArea(line({QPointF(10.2, 9), QPointF(15, 9), QPointF(15, 13.8)})));
         }},
        {"macwindow",
         [] {
             return strokeArea(roundRect(3, 5, 18, 14, 2.5))
                 .united(strokeArea(line({QPointF(3, 9), QPointF(21, 9)})))
                 .united(disk(5.9, 7, 0.75))
                 .united(disk(8.1, 7, 0.75))
                 .united(disk(10.3, 7, 0.75));
         }},
        {"chevron.down",
         [] {
             return strokeArea(line({QPointF(6, 9.5), QPointF(12, 15.5), QPointF(18, 9.5)}), 2.1);
         }},
        {"chevron.left",
         [] {
             return strokeArea(line({QPointF(14.5, 6), QPointF(8.5, 12), QPointF(14.5, 18)}), 2.1);
         }},
        {"speaker.wave.2.fill",
         [] { return softPolygon(speakerShape(), 1.4).united(wave(4.2)).united(wave(7.8)); }},
        {"speaker.slash",
         [] {
             QPainterPath s;
             s.addPolygon(speakerShape());
             s.closeSubpath();
             const QPainterPath slash = line({QPointF(3.5, 3.5), QPointF(20.5, 20.5)});
             // A gap either side of the slash keeps it readable over the speaker.
             return strokeArea(s).subtracted(strokeArea(slash, 4.6)).united(strokeArea(slash));
         }},
        {"line.3.horizontal",
         [] {
             return strokeArea(line({QPointF(5, 7), QPointF(19, 7)}), 2)
                 .united(strokeArea(line({QPointF(5, 12), QPointF(19, 12)}), 2))
                 .united(strokeArea(line({QPointF(5, 17), QPointF(19, 17)}), 2));
         }},
        {"xmark",
         [] {
             return strokeArea(line({QPointF(6.5, 6.5), QPointF(17.5, 17.5)}), 2)
                 .united(strokeArea(line({QPointF(17.5, 6.5), QPointF(6.5, 17.5)}), 2));
         }},
        {"xmark.octagon.fill",
         [] {
             const QPainterPath x =
                 strokeArea(line({QPointF(8.8, 8.8), QPointF(15.2, 15.2)}), 2.2)
                     .united(strokeArea(line({QPointF(15.2, 8.8), QPointF(8.8, 15.2)}), 2.2));
             return octagon(10).subtracted(x);
         }},
        {"square.on.square",
         [] {
             const QPainterPath front = roundRect(8.5, 8.5, 12.5, 12.5, 2.5);
             QPainterPath cover;
             cover.addRect(QRectF(6.5, 6.5, 16.5, 16.5));
             return strokeArea(roundRect(3, 3, 12.5, 12.5, 2.5)).subtracted(cover).united(strokeArea(front));
         }},
        {"info.circle",
         [] {
             return ring(12, 12, 9)
                 .united(strokeArea(line({QPointF(12, 11), QPointF(12, 16.5)}), 2))
                 .united(disk(12, 7.9, 1.25));
         }},
        {"checkmark.circle.fill",
         [] {
             return disk(12, 12, 10)
                 .subtracted(
                     strokeArea(line({QPointF(7.4, 12.4), QPointF(10.6, 15.5), QPointF(16.6, 8.9)}), 2.3));
         }},
        {"square.and.arrow.up",
         [] {
             QPainterPath box;
             box.moveTo(8.8, 10);
             box.lineTo(6.5, 10);
             box.quadTo(5, 10, 5, 11.5);
             box.lineTo(5, 18.5);
             box.quadTo(5, 20, 6.5, 20);
             box.lineTo(17.5, 20);
             box.quadTo(19, 20, 19, 18.5);
             box.lineTo(19, 11.5);
             box.quadTo(19, 10, 17.5, 10);
             box.lineTo(15.2, 10);
             return strokeArea(box)
                 .united(strokeArea(line({QPointF(12, 3.6), QPointF(12, 14.5)})))
                 .united(strokeArea(line({QPointF(8.6, 7), QPointF(12, 3.6), QPointF(15.4, 7)})));
         }},
        {"film.stack",
         [] {
             QPainterPath p = strokeArea(roundRect(3, 9, 18, 12, 2));
             p = p.united(strokeArea(line({QPointF(5.5, 6.3), QPointF(18.5, 6.3)})));
             p = p.united(strokeArea(line({QPointF(8, 3.6), QPointF(16, 3.6)})));
             for (qreal x : {7.0, 17.0})
                 p = p.united(strokeArea(line({QPointF(x, 9), QPointF(x, 21)}), 1.4));
             for (qreal y : {13.0, 17.0}) {
                 p = p.united(strokeArea(line({QPointF(3, y), QPointF(7, y)}), 1.4));
                 p = p.united(strokeArea(line({QPointF(17, y), QPointF(21, y)}), 1.4));
             }
             return p;
         }},
        {"mic",
         [] {
             QPainterPath cradle;
             const QRectF box(6, 5.5, 12, 11.5);
             cradle.arcMoveTo(box, 180);
             cradle.arcTo(box, 180, 180);
             return strokeArea(roundRect(9, 2.8, 6, 11.2, 3))
                 .united(strokeArea(cradle))
                 .united(strokeArea(line({QPointF(12, 17), QPointF(12, 20.6)})))
                 .united(strokeArea(line({QPointF(9, 20.6), QPointF(15, 20.6)})));
         }},
        {"mic.fill",
         [] {
             QPainterPath cradle;
             const QRectF box(6, 5.5, 12, 11.5);
             cradle.arcMoveTo(box, 180);
             cradle.arcTo(box, 180, 180);
             return roundRect(8.6, 2.4, 6.8, 12, 3.4)
                 .united(strokeArea(cradle))
                 .united(strokeArea(line({QPointF(12, 17), QPointF(12, 20.6)})))
                 .united(strokeArea(line({QPointF(9, 20.6), QPointF(15, 20.6)})));
         }},
    };
    return table;
}

} // namespace

QStringList symbolNames() {
    QStringList names;
    for (const auto& [name, drawing] : drawings())
        names << name;
    return names;
}

bool hasSymbol(const QString& name) {
    return drawings().count(name) > 0;
}

QPixmap symbolPixmap(const QString& name, const QColor& colour, int size, qreal devicePixelRatio) {
    const auto it = drawings().find(name);
    if (it == drawings().end() || size <= 0) return {};
    // Areas are cached per name; drawing them again is cheap.
    static std::map<QString, QPainterPath> cache;
    auto cached = cache.find(name);
    if (cached == cache.end()) cached = cache.emplace(name, it->second()).first;

    const int px = qCeil(size * devicePixelRatio);
    QPixmap pixmap(px, px);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(px / 24.0, px / 24.0);
    p.fillPath(cached->second, colour);
    p.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon symbolIcon(const QString& name, const QColor& colour, int size) {
    QIcon icon;
    for (qreal dpr : {1.0, 2.0}) {
        icon.addPixmap(symbolPixmap(name, colour, size, dpr), QIcon::Normal);
        QColor faded = colour;
        faded.setAlphaF(colour.alphaF() * 0.38);
        icon.addPixmap(symbolPixmap(name, faded, size, dpr), QIcon::Disabled);
    }
    return icon;
}

QString themeIconName(const QString& symbol) {
    // Only neutral symbols: the warning and failure marks keep their own tones.
    static const std::map<QString, QString> names{
        {"record.circle", "media-record"},
        {"record.circle.fill", "media-record"},
        {"stop.fill", "media-playback-stop"},
        {"pause.fill", "media-playback-pause"},
        {"play.fill", "media-playback-start"},
        {"arrow.clockwise", "view-refresh"},
        {"clock.arrow.circlepath", "document-open-recent"},
        {"folder", "folder"},
        {"line.3.horizontal", "open-menu"},
        {"gearshape", "preferences-system"},
        {"chevron.left", "go-previous"},
        {"xmark", "window-close"},
        {"mic", "audio-input-microphone"},
        {"mic.fill", "audio-input-microphone"},
        {"speaker.wave.2.fill", "audio-volume-high"},
        {"speaker.slash", "audio-volume-muted"},
    };
    const auto it = names.find(symbol);
    return it == names.end() ? QString() : it->second;
}

namespace {

// The theme's icon for a symbol: its symbolic (one-colour) form first, then its own.
QIcon themeIcon(const QString& symbol) {
    const QString name = themeIconName(symbol);
    if (name.isEmpty() || QIcon::themeName().isEmpty()) return {};
    for (const QString& candidate : {name + QStringLiteral("-symbolic"), name}) {
        QIcon icon = QIcon::fromTheme(candidate);
        if (!icon.isNull() && !icon.availableSizes().isEmpty()) return icon;
        if (!icon.isNull() && !icon.pixmap(16).isNull()) return icon;
    }
    return {};
}

// A symbolic icon: every visible pixel the same grey. Those take the view's tone.
bool isOneGrey(const QImage& image) {
    std::optional<QColor> first;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alphaF() < 0.25f) continue;
            if (c.hsvSaturation() > 40) return false;
            if (!first) first = c;
            if (std::abs(c.red() - first->red()) > 24 || std::abs(c.green() - first->green()) > 24 ||
                std::abs(c.blue() - first->blue()) > 24)
                return false;
        }
    return first.has_value();
}

QPixmap tint(const QPixmap& source, const QColor& colour) {
    QPixmap out = source;
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(out.rect(), colour);
    return out;
}

QPixmap themePixmap(const QIcon& icon, const QColor& colour, int size, qreal devicePixelRatio) {
    QPixmap pixmap = icon.pixmap(QSize(size, size), devicePixelRatio);
    if (pixmap.isNull()) return pixmap;
    if (isOneGrey(pixmap.toImage().convertToFormat(QImage::Format_ARGB32))) pixmap = tint(pixmap, colour);
    return pixmap;
}

} // namespace

bool symbolFromDesktop(const QString& name) {
    return !themeIcon(name).isNull();
}

QPixmap desktopSymbolPixmap(const QString& name, const QColor& colour, int size, qreal devicePixelRatio) {
    if (const QIcon icon = themeIcon(name); !icon.isNull()) {
        QPixmap pixmap = themePixmap(icon, colour, size, devicePixelRatio);
        if (!pixmap.isNull()) return pixmap;
    }
    return symbolPixmap(name, colour, size, devicePixelRatio);
}

QIcon desktopSymbolIcon(const QString& name, const QColor& colour, int size) {
    const QIcon theme = themeIcon(name);
    if (theme.isNull()) return symbolIcon(name, colour, size);
    QIcon icon;
    for (qreal dpr : {1.0, 2.0}) {
        const QPixmap normal = themePixmap(theme, colour, size, dpr);
        if (normal.isNull()) return symbolIcon(name, colour, size);
        icon.addPixmap(normal, QIcon::Normal);
        // Disabled: faded, as the drawn symbols.
        QPixmap faded(normal.size());
        faded.setDevicePixelRatio(normal.devicePixelRatio());
        faded.fill(Qt::transparent);
        QPainter p(&faded);
        p.setOpacity(0.38);
        p.drawPixmap(0, 0, normal);
        p.end();
        icon.addPixmap(faded, QIcon::Disabled);
    }
    return icon;
}

} // namespace lc::ui
