#pragma once
// The look of the application: a light and a dark palette, the few named colours the views use,
// and fonts given in the sizes the layout is drawn for (one point = one pixel here).
#include <QColor>
#include <QFont>
#include <QObject>
#include <QString>
#include <optional>
#include <vector>

class QWidget;
class QLabel;

namespace lc::ui {

enum class Appearance { light, dark };

struct Colours {
    QColor window;     // window background
    QColor card;       // rounded cards and row backgrounds
    QColor cardStroke; // card borders
    QColor text;       // primary text and the "primary colour" of tinted fills
    QColor secondary;  // secondary text
    QColor tertiary;   // tertiary text
    // Text-safe tones: at least 4.5:1 on the window, the cards and their own light tints.
    QColor red;
    QColor green;
    QColor orange;
    QColor accent;     // selection, switches, links
    QColor redFill;    // the record button; carries white text
    QColor accentFill; // prominent buttons; carries onAccent text
    QColor onAccent;   // text on accentFill
    QColor separator;
    QColor disabledText;
    QColor disabledFill; // the fill of a disabled filled button, over the card or window
};

// One text (or symbol) colour the views draw on one background, for checking legibility.
struct TextPair {
    QString what;
    QColor text;
    QColor background;  // opaque
    bool large = false; // large text and symbols need 3:1, other text 4.5:1
};

// Text roles a label can take; the colour follows the appearance.
enum class Tone { primary, secondary, tertiary, red, green, orange, accent, onAccent };

class Theme : public QObject {
    Q_OBJECT
public:
    static Theme& instance();

    static Appearance appearance() { return instance().appearance_; }
    // Chooses the appearance over the desktop's (a saved choice, the snapshot's
    // "--appearance"): sets the application palette and style colours; views repaint.
    static void apply(Appearance appearance);
    // Follows the desktop again: the scheme it said, else what its own palette looks like.
    static void followDesktop();
    static bool followsDesktop() { return !instance().chosen_; }
    // What the desktop says: its scheme (none: no preference) and its accent colour (none: the
    // theme's own blue). The appearance follows unless one was chosen; the accent always.
    // Views repaint, also when nothing changed (the desktop's icon theme may have).
    static void setDesktop(std::optional<Appearance> scheme, std::optional<QColor> accent);
    static std::optional<QColor> desktopAccent() { return instance().accent_; }
    // "light" gives the light appearance; any other value the dark one.
    static Appearance fromOption(const QString& value);
    // What the desktop's own palette looks like (a dark window colour means dark).
    static Appearance systemAppearance();

    static const Colours& colours() { return instance().colours_; }
    // The colours of an appearance with an accent colour, its lightness moved as far as the
    // legibility rules need (accent text 4.5:1 on the window, cards and popovers; white text
    // 4.5:1 on the accent fill).
    static Colours coloursFor(Appearance appearance, std::optional<QColor> accent = std::nullopt);
    static QColor tone(Tone tone);

    // The system font at `pixels` size.
    static QFont font(qreal pixels, QFont::Weight weight = QFont::Normal);
    // Digits of equal width (the running time must not jitter).
    static QFont monoDigitFont(qreal pixels, QFont::Weight weight = QFont::Normal);

    // The capsule behind the status pill's text.
    static QColor pillFill(bool recording);
    // Every text colour the views draw with the background it sits on, in this appearance.
    static std::vector<TextPair> textPairs();

    // Keeps a label's colour in its tone across appearance changes.
    static void setTone(QLabel* label, Tone tone);

    // True while the theme itself sets the application palette (its palette events are not the
    // desktop's).
    static bool settingPalette() { return instance().settingPalette_ > 0; }

signals:
    void changed();

private:
    Theme();
    void refresh();
    void setPalette(const QPalette& palette);

    Appearance appearance_ = Appearance::light;
    bool chosen_ = false;
    std::optional<Appearance> desktopScheme_;
    std::optional<QColor> accent_;
    Colours colours_;
    bool paletteSet_ = false;
    int settingPalette_ = 0;
};

// Colour `c` at opacity `a` (0…1).
QColor withAlpha(QColor c, qreal a);
// `top` painted over the opaque `bottom`.
QColor over(const QColor& top, const QColor& bottom);
// Relative luminance (sRGB, 0…1) and the contrast ratio of two colours (1…21); a translucent
// `fg` is first painted over `bg`.
qreal luminance(const QColor& c);
qreal contrastRatio(const QColor& fg, const QColor& bg);

} // namespace lc::ui
