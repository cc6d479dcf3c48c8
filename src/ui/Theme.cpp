#include "ui/Theme.h"

#include "ui/Style.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <functional>

namespace lc::ui {

namespace {

// Chosen for legibility: every text tone reaches 4.5:1 on the window, the cards and the light
// tints the views put behind it (textPairs() lists them; the tests check them).
const Colours kLight{
    .window = QColor(0xEE, 0xEE, 0xF0),
    .card = QColor(0xFF, 0xFF, 0xFF),
    .cardStroke = QColor(0, 0, 0, 28),
    .text = QColor(0x1D, 0x1D, 0x1F),
    .secondary = QColor(0x5E, 0x5E, 0x63),
    .tertiary = QColor(0x68, 0x68, 0x6D),
    .red = QColor(0xAC, 0x21, 0x21),
    .green = QColor(0x12, 0x66, 0x2B),
    .orange = QColor(0x99, 0x4C, 0x00),
    .accent = QColor(0x00, 0x56, 0xC4),
    .redFill = QColor(0xCE, 0x2B, 0x2B),
    .accentFill = QColor(0x00, 0x60, 0xC8),
    .onAccent = QColor(0xFF, 0xFF, 0xFF),
    .separator = QColor(0, 0, 0, 30),
    .disabledText = QColor(0xA4, 0xA4, 0xA8),
    .disabledFill = QColor(0, 0, 0, 14),
};

const Colours kDark{
    .window = QColor(0x1E, 0x1E, 0x20),
    .card = QColor(0x2C, 0x2C, 0x2F),
    .cardStroke = QColor(255, 255, 255, 26),
    .text = QColor(0xF2, 0xF2, 0xF5),
    .secondary = QColor(0xAB, 0xAB, 0xB0),
    .tertiary = QColor(0x9E, 0x9E, 0xA3),
    .red = QColor(0xFF, 0x8F, 0x89),
    .green = QColor(0x3C, 0xCF, 0x64),
    .orange = QColor(0xFF, 0xA3, 0x1A),
    .accent = QColor(0x5A, 0xA6, 0xFF),
    .redFill = QColor(0xC4, 0x2B, 0x27),
    .accentFill = QColor(0x16, 0x6A, 0xD4),
    .onAccent = QColor(0xFF, 0xFF, 0xFF),
    .separator = QColor(255, 255, 255, 30),
    .disabledText = QColor(0x62, 0x62, 0x67),
    .disabledFill = QColor(255, 255, 255, 12),
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
    setBoth(QPalette::Highlight, c.accentFill);
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
        p.setColor(QPalette::Disabled, role, c.disabledText);
    p.setColor(QPalette::Disabled, QPalette::Highlight, c.disabledText);
    p.setColor(QPalette::Disabled, QPalette::HighlightedText, c.card);
    p.setColor(QPalette::Disabled, QPalette::PlaceholderText, c.disabledText);
    return p;
}

// `c` with its lightness moved by the least that makes `ok` hold, either way; the hue and
// saturation stay, so the desktop's accent is still recognisably its own. Nothing when no
// lightness does.
std::optional<QColor> nearestLegible(const QColor& c, const std::function<bool(const QColor&)>& ok) {
    if (ok(c)) return c;
    float h = 0, s = 0, l = 0, a = 1;
    c.toHsl().getHslF(&h, &s, &l, &a);
    const auto at = [&](float lightness) { return QColor::fromHslF(h, s, lightness).toRgb(); };
    for (float d = 0.004f; d <= 1.0f; d += 0.004f) {
        for (float lightness : {l - d, l + d}) {
            if (lightness < 0 || lightness > 1) continue;
            if (const QColor x = at(lightness); ok(x)) return x;
        }
    }
    return std::nullopt;
}

QColor popoverOf(const Colours& c, Appearance a) {
    return a == Appearance::dark ? c.card : c.window.lighter(103);
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
        p.setColor(QPalette::Disabled, QPalette::WindowText, Theme::colours().disabledText);
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

Theme::Theme() : colours_(kLight) {}

Colours Theme::coloursFor(Appearance appearance, std::optional<QColor> accent) {
    Colours c = appearance == Appearance::dark ? kDark : kLight;
    if (!accent || !accent->isValid()) return c;
    const QColor wanted = accent->toRgb();
    const QColor popover = popoverOf(c, appearance);
    const Colours own = c;
    // Accent text (links, the focus ring, switches) on every surface, and the selected size
    // card's tint of it under its text and symbol.
    const auto legibleAccent = [&](const QColor& x) {
        const QColor selected = over(withAlpha(x, 0.14), popover);
        return contrastRatio(x, c.window) >= 4.5 && contrastRatio(x, c.card) >= 4.5 &&
               contrastRatio(x, over(withAlpha(x, 0.14), c.window)) >= 4.5 &&
               contrastRatio(x, popover) >= 4.5 && contrastRatio(c.text, selected) >= 4.5 &&
               contrastRatio(c.secondary, selected) >= 4.5 && contrastRatio(x, selected) >= 3.0;
    };
    c.accent = nearestLegible(wanted, legibleAccent).value_or(own.accent);
    // The prominent fill carries white text in both appearances.
    c.onAccent = QColor(Qt::white);
    c.accentFill = nearestLegible(wanted, [&](const QColor& x) {
                       return contrastRatio(c.onAccent, x) >= 4.5;
                   }).value_or(own.accentFill);
    return c;
}

void Theme::setPalette(const QPalette& palette) {
    ++settingPalette_;
    QApplication::setPalette(palette);
    --settingPalette_;
    paletteSet_ = true;
}

void Theme::refresh() {
    if (!chosen_) appearance_ = desktopScheme_.value_or(systemAppearance());
    colours_ = coloursFor(appearance_, accent_);
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // One style over Fusion, drawn from the palette: both appearances look the same on
        // every desktop, and the standard widgets like the drawn ones.
        if (!qobject_cast<Style*>(QApplication::style()))
            QApplication::setStyle(new Style); // the application owns it
        setPalette(paletteFor(colours_));
    }
    emit changed();
    for (QWidget* w : QApplication::allWidgets())
        w->update();
}

void Theme::apply(Appearance appearance) {
    auto& self = instance();
    self.chosen_ = true;
    self.appearance_ = appearance;
    self.refresh();
}

void Theme::followDesktop() {
    auto& self = instance();
    self.chosen_ = false;
    self.refresh();
}

void Theme::setDesktop(std::optional<Appearance> scheme, std::optional<QColor> accent) {
    auto& self = instance();
    self.desktopScheme_ = scheme;
    self.accent_ = accent;
    self.refresh();
}

Appearance Theme::fromOption(const QString& value) {
    return value == QLatin1String("light") ? Appearance::light : Appearance::dark;
}

Appearance Theme::systemAppearance() {
    auto& self = instance();
    QColor window = QGuiApplication::palette().color(QPalette::Window);
    if (self.paletteSet_ && qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // The application palette is ours by now. A palette that sets no role resolves entirely
        // from the desktop's, which shows through for one look; then ours goes back.
        const QPalette ours = QApplication::palette();
        QPalette blank(Qt::black);
        blank.setResolveMask(0);
        self.setPalette(blank);
        window = QApplication::palette().color(QPalette::Window);
        self.setPalette(ours);
    }
    return window.lightness() < 128 ? Appearance::dark : Appearance::light;
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

QColor Theme::pillFill(bool recording) {
    return withAlpha(recording ? colours().red : colours().green, 0.12);
}

std::vector<TextPair> Theme::textPairs() {
    const Colours& c = colours();
    const QColor popover = popoverOf(c, Theme::appearance());
    const auto tint = [](const QColor& colour, qreal alpha, const QColor& base) {
        return over(withAlpha(colour, alpha), base);
    };
    std::vector<TextPair> pairs{
        {QStringLiteral("primary on window"), c.text, c.window},
        {QStringLiteral("primary on card"), c.text, c.card},
        {QStringLiteral("secondary on window"), c.secondary, c.window},
        {QStringLiteral("secondary on card"), c.secondary, c.card},
        {QStringLiteral("tertiary on card (file names)"), c.tertiary, c.card},
        {QStringLiteral("tertiary on window"), c.tertiary, c.window},
        {QStringLiteral("status pill, ready"), c.green, over(pillFill(false), c.window)},
        {QStringLiteral("status pill, recording"), c.red, over(pillFill(true), c.window)},
        {QStringLiteral("record button"), QColor(Qt::white), c.redFill},
        {QStringLiteral("prominent button"), c.onAccent, c.accentFill},
        {QStringLiteral("selection"), c.onAccent, c.accentFill},
        {QStringLiteral("warning on card"), c.orange, c.card},
        {QStringLiteral("failure on card"), c.red, c.card},
        {QStringLiteral("failure on window"), c.red, c.window},
        {QStringLiteral("done mark on window"), c.green, c.window, true},
        {QStringLiteral("Start button"), c.red, tint(c.red, 0.14, c.card)},
        {QStringLiteral("chip on card"), c.text, tint(c.text, 0.07, c.card)},
        {QStringLiteral("bordered button on window"), c.text, tint(c.text, 0.08, c.window)},
        {QStringLiteral("list count"), c.secondary, tint(c.text, 0.08, c.window)},
        {QStringLiteral("banner text"), c.text, tint(c.orange, 0.12, c.window)},
        {QStringLiteral("banner symbol"), c.orange, tint(c.orange, 0.12, c.window), true},
        {QStringLiteral("popover text"), c.text, popover},
        {QStringLiteral("popover secondary"), c.secondary, popover},
        {QStringLiteral("selected size card"), c.text, tint(c.accent, 0.14, popover)},
        {QStringLiteral("selected size card, usage line"), c.secondary, tint(c.accent, 0.14, popover)},
        {QStringLiteral("switch on card"), c.accent, c.card, true},
        {QStringLiteral("accent text on window"), c.accent, c.window},
        {QStringLiteral("accent text on card"), c.accent, c.card},
        {QStringLiteral("accent text on popover"), c.accent, popover},
        {QStringLiteral("update pill"), c.accent, tint(c.accent, 0.14, c.window)},
        {QStringLiteral("selected preset's symbol"), c.accent, tint(c.accent, 0.14, popover), true},
        {QStringLiteral("segmented choice"), c.text, tint(c.text, 0.08, c.card)},
    };
    return pairs;
}

QColor over(const QColor& top, const QColor& bottom) {
    const qreal a = top.alphaF();
    return QColor::fromRgbF(float(top.redF() * a + bottom.redF() * (1 - a)),
                            float(top.greenF() * a + bottom.greenF() * (1 - a)),
                            float(top.blueF() * a + bottom.blueF() * (1 - a)));
}

qreal luminance(const QColor& c) {
    const auto channel = [](qreal v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

qreal contrastRatio(const QColor& fg, const QColor& bg) {
    const qreal a = luminance(over(fg, bg)), b = luminance(bg);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor withAlpha(QColor c, qreal a) {
    c.setAlphaF(std::clamp(c.alphaF() * a, 0.0, 1.0));
    return c;
}

} // namespace lc::ui
