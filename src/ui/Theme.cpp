#include "ui/Theme.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>
#include <algorithm>

namespace lc::ui {

namespace {

const Colours kLight{
    .window = QColor(0xEE, 0xEE, 0xF0),
    .card = QColor(0xFF, 0xFF, 0xFF),
    .cardStroke = QColor(0, 0, 0, 28),
    .text = QColor(0x1D, 0x1D, 0x1F),
    .secondary = QColor(0x6E, 0x6E, 0x73),
    .tertiary = QColor(0xA8, 0xA8, 0xAD),
    .red = QColor(0xE5, 0x39, 0x35),
    .green = QColor(0x24, 0xA1, 0x48),
    .orange = QColor(0xE8, 0x86, 0x00),
    .accent = QColor(0x00, 0x7A, 0xFF),
    .onAccent = QColor(0xFF, 0xFF, 0xFF),
    .separator = QColor(0, 0, 0, 30),
};

const Colours kDark{
    .window = QColor(0x1E, 0x1E, 0x20),
    .card = QColor(0x2C, 0x2C, 0x2F),
    .cardStroke = QColor(255, 255, 255, 26),
    .text = QColor(0xF2, 0xF2, 0xF5),
    .secondary = QColor(0x9A, 0x9A, 0xA0),
    .tertiary = QColor(0x66, 0x66, 0x6B),
    .red = QColor(0xFF, 0x45, 0x3A),
    .green = QColor(0x32, 0xC8, 0x5A),
    .orange = QColor(0xFF, 0x9F, 0x0A),
    .accent = QColor(0x0A, 0x84, 0xFF),
    .onAccent = QColor(0xFF, 0xFF, 0xFF),
    .separator = QColor(255, 255, 255, 30),
};

QPalette paletteFor(const Colours& c) {
    QPalette p;
    const auto setBoth = [&p](QPalette::ColorRole role, const QColor& colour) {
        p.setColor(QPalette::Active, role, colour);
        p.setColor(QPalette::Inactive, role, colour);
    };
    setBoth(QPalette::Window, c.window);
    setBoth(QPalette::WindowText, c.text);
    setBoth(QPalette::Base, c.card);
    setBoth(QPalette::AlternateBase, c.window);
    setBoth(QPalette::Text, c.text);
    setBoth(QPalette::Button, c.card);
    setBoth(QPalette::ButtonText, c.text);
    setBoth(QPalette::ToolTipBase, c.card);
    setBoth(QPalette::ToolTipText, c.text);
    setBoth(QPalette::Highlight, c.accent);
    setBoth(QPalette::HighlightedText, c.onAccent);
    setBoth(QPalette::PlaceholderText, c.secondary);
    setBoth(QPalette::Link, c.accent);
    setBoth(QPalette::BrightText, c.onAccent);
    setBoth(QPalette::Light, c.card.lighter(110));
    setBoth(QPalette::Midlight, c.card);
    setBoth(QPalette::Mid, c.tertiary);
    setBoth(QPalette::Dark, c.secondary);
    setBoth(QPalette::Shadow, QColor(0, 0, 0, 80));
    // Disabled controls keep their layout but fade.
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button, QPalette::AlternateBase})
        p.setColor(QPalette::Disabled, role, p.color(QPalette::Active, role));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, c.tertiary);
    p.setColor(QPalette::Disabled, QPalette::Highlight, c.tertiary);
    p.setColor(QPalette::Disabled, QPalette::HighlightedText, c.card);
    p.setColor(QPalette::Disabled, QPalette::PlaceholderText, c.tertiary);
    return p;
}

class ToneKeeper : public QObject {
public:
    explicit ToneKeeper(QLabel* label) : QObject(label), label_(label) {
        setObjectName(QStringLiteral("lcToneKeeper"));
        connect(&Theme::instance(), &Theme::changed, this, [this] { paint(); });
    }
    void set(Tone tone) {
        tone_ = tone;
        paint();
    }

private:
    void paint() {
        QPalette p = label_->palette();
        const QColor colour = Theme::tone(tone_);
        p.setColor(QPalette::Active, QPalette::WindowText, colour);
        p.setColor(QPalette::Inactive, QPalette::WindowText, colour);
        p.setColor(QPalette::Disabled, QPalette::WindowText, withAlpha(colour, 0.45));
        label_->setPalette(p);
    }
    QLabel* label_;
    Tone tone_ = Tone::primary;
};

} // namespace

Theme& Theme::instance() {
    static Theme theme;
    return theme;
}

void Theme::apply(Appearance appearance) {
    auto& self = instance();
    self.appearance_ = appearance;
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // Fusion follows the palette everywhere, so both appearances look the same on every desktop.
        if (QApplication::style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0)
            QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setPalette(paletteFor(colours()));
        Q_UNUSED(app);
    }
    emit self.changed();
    for (QWidget* w : QApplication::allWidgets())
        w->update();
}

Appearance Theme::fromOption(const QString& value) {
    return value == QLatin1String("light") ? Appearance::light : Appearance::dark;
}

Appearance Theme::systemAppearance() {
    const QColor window = QGuiApplication::palette().color(QPalette::Window);
    return window.lightness() < 128 ? Appearance::dark : Appearance::light;
}

const Colours& Theme::colours() {
    return instance().appearance_ == Appearance::dark ? kDark : kLight;
}

QColor Theme::tone(Tone tone) {
    const auto& c = colours();
    switch (tone) {
    case Tone::primary:
        return c.text;
    case Tone::secondary:
        return c.secondary;
    case Tone::tertiary:
        return c.tertiary;
    case Tone::red:
        return c.red;
    case Tone::green:
        return c.green;
    case Tone::orange:
        return c.orange;
    case Tone::accent:
        return c.accent;
    case Tone::onAccent:
        return c.onAccent;
    }
    return c.text;
}

QFont Theme::font(qreal pixels, QFont::Weight weight) {
    QFont f = QApplication::font();
    f.setPixelSize(qRound(pixels));
    f.setWeight(weight);
    return f;
}

QFont Theme::monoDigitFont(qreal pixels, QFont::Weight weight) {
    // DejaVu Sans, the default face here, has tabular digits; prefer it when present.
    QFont f = font(pixels, weight);
    f.setFamilies({QStringLiteral("DejaVu Sans"), f.family()});
    return f;
}

void Theme::setTone(QLabel* label, Tone tone) {
    // One keeper per label holds the tone and re-applies it on every appearance change.
    auto* keeper = static_cast<ToneKeeper*>(
        label->findChild<QObject*>(QStringLiteral("lcToneKeeper"), Qt::FindDirectChildrenOnly));
    if (!keeper) keeper = new ToneKeeper(label); // owned by the label
    keeper->set(tone);
}

QColor withAlpha(QColor c, qreal a) {
    c.setAlphaF(std::clamp(c.alphaF() * a, 0.0, 1.0));
    return c;
}

} // namespace lc::ui
