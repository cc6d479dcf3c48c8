#pragma once
// The look of the application: a light and a dark palette, the few named colours the views use,
// and fonts given in the sizes the layout is drawn for (one point = one pixel here).
#include <QColor>
#include <QFont>
#include <QObject>
#include <QString>

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
    QColor red;
    QColor green;
    QColor orange;
    QColor accent;   // selection, prominent buttons
    QColor onAccent; // text on accent
    QColor separator;
};

// Text roles a label can take; the colour follows the appearance.
enum class Tone { primary, secondary, tertiary, red, green, orange, accent, onAccent };

class Theme : public QObject {
    Q_OBJECT
public:
    static Theme& instance();

    static Appearance appearance() { return instance().appearance_; }
    // Sets the application palette and style colours; views repaint.
    static void apply(Appearance appearance);
    // "light" gives the light appearance; any other value the dark one.
    static Appearance fromOption(const QString& value);
    // What the desktop seems to use (a dark window colour means dark).
    static Appearance systemAppearance();

    static const Colours& colours();
    static QColor tone(Tone tone);

    // The system font at `pixels` size.
    static QFont font(qreal pixels, QFont::Weight weight = QFont::Normal);
    // Digits of equal width (the running time must not jitter).
    static QFont monoDigitFont(qreal pixels, QFont::Weight weight = QFont::Normal);

    // Keeps a label's colour in its tone across appearance changes.
    static void setTone(QLabel* label, Tone tone);

signals:
    void changed();

private:
    Theme() = default;
    Appearance appearance_ = Appearance::light;
};

// Colour `c` at opacity `a` (0…1).
QColor withAlpha(QColor c, qreal a);

} // namespace lc::ui
