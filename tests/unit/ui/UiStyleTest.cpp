// The desktop's look: any accent colour kept legible in both appearances, the standard widgets
// drawn like the custom ones (disabled states, focus, the thin scroll bar), symbols from the
// desktop's icon theme with the drawn ones as fallback, and a tray icon that does not look
// disabled.
#include "UiFixture.h"

#include "app/update/UpdateControls.h"
#include "app/update/UpdateManager.h"
#include "ui/Icons.h"
#include "ui/Shell.h"
#include "ui/Style.h"
#include "ui/TrayItem.h"
#include "ui/Widgets.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>

using namespace lc;
using namespace lc::ui;
using lc::test::UiFixture;

namespace {

const char* nameOf(Appearance a) {
    return a == Appearance::dark ? "dark" : "light";
}

// A widget drawn on the window colour, as it sits in the window.
QImage drawn(QWidget& w) {
    QImage image(w.size(), QImage::Format_ARGB32);
    image.fill(Theme::colours().window);
    w.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

TEST(UiStyle, AnyDesktopAccentKeepsTheContrastRulesAndItsHue) {
    const std::vector<QColor> accents{
        QColor(0xFF, 0xD7, 0x00), QColor(0x7F, 0xFF, 0xD4), QColor(0x00, 0x00, 0xFF),
        QColor(0x10, 0x10, 0x40), QColor(Qt::white),        QColor(Qt::black),
        QColor(0x80, 0x80, 0x80), QColor(0x00, 0xFF, 0x00), QColor(0xE0, 0x1B, 0x24),
        QColor(0x91, 0x41, 0xAC), QColor(0x35, 0x84, 0xE4)};
    for (const QColor& wanted : accents) {
        for (Appearance a : {Appearance::light, Appearance::dark}) {
            Theme::setDesktop(std::nullopt, wanted);
            Theme::apply(a);
            const std::string what = std::string(nameOf(a)) + " " + wanted.name().toStdString();
            for (const TextPair& pair : Theme::textPairs())
                EXPECT_GE(contrastRatio(pair.text, pair.background), pair.large ? 3.0 : 4.5)
                    << what << ": " << pair.what.toStdString();
            const QPalette p = QApplication::palette();
            EXPECT_GE(contrastRatio(p.color(QPalette::HighlightedText), p.color(QPalette::Highlight)), 4.5)
                << what;
            EXPECT_GE(contrastRatio(p.color(QPalette::Link), p.color(QPalette::Base)), 4.5) << what;
            // Only the lightness moves: a coloured accent is still its own colour.
            const QColor got = Theme::colours().accent;
            if (wanted.hslSaturation() > 60 && got.hslSaturation() > 60)
                EXPECT_LT(std::abs(got.hslHue() - wanted.hslHue()), 10) << what;
        }
    }
    // An accent that already reads well is kept as it is.
    const QColor fine(0x1A, 0x4F, 0x9A);
    EXPECT_EQ(Theme::coloursFor(Appearance::light, fine).accent, fine);
    EXPECT_EQ(Theme::coloursFor(Appearance::light, fine).accentFill, fine);
    Theme::setDesktop(std::nullopt, std::nullopt);
    Theme::apply(Appearance::light);
}

TEST(UiStyle, StandardWidgetsLookLikeTheDrawnOnesAndFadeWhenDisabled) {
    for (Appearance a : {Appearance::light, Appearance::dark}) {
        Theme::apply(a);
        ASSERT_NE(qobject_cast<Style*>(QApplication::style()), nullptr);
        const Colours& c = Theme::colours();

        QComboBox box;
        box.addItems({QStringLiteral("Default microphone"), QStringLiteral("USB headset")});
        box.resize(200, 28);
        const QImage boxOn = drawn(box);
        box.setEnabled(false);
        EXPECT_GT(lc::test::meanDifference(boxOn, drawn(box)), 6) << nameOf(a) << " combo box";

        // The progress bar: a rounded track filled with the accent up to its value.
        QProgressBar bar;
        bar.setRange(0, 100);
        bar.setValue(50);
        bar.setTextVisible(false);
        bar.resize(160, 8);
        const QImage barOn = drawn(bar);
        EXPECT_LT(contrastRatio(barOn.pixelColor(40, 4), c.accentFill), 1.1) << nameOf(a) << " accent fill";
        EXPECT_GT(contrastRatio(barOn.pixelColor(120, 4), c.accentFill), 1.5)
            << nameOf(a) << " the rest is track";
        EXPECT_LT(contrastRatio(barOn.pixelColor(0, 0), c.window), 1.2) << nameOf(a) << " rounded ends";
        bar.setEnabled(false);
        const QImage barOff = drawn(bar);
        EXPECT_GT(barOn.pixelColor(40, 4).hsvSaturation(), 100) << nameOf(a);
        EXPECT_LT(barOff.pixelColor(40, 4).hsvSaturation(), 40)
            << nameOf(a) << " grey, no accent, when disabled";
        EXPECT_GT(lc::test::meanDifference(barOn, barOff), 6) << nameOf(a);

        // Dialog buttons: the default one filled like the prominent buttons, the others bordered.
        QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        buttons.resize(240, 40);
        buttons.show();
        buttons.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&buttons));
        QPushButton* ok = buttons.button(QDialogButtonBox::Ok);
        QPushButton* cancel = buttons.button(QDialogButtonBox::Cancel);
        ok->setDefault(true);
        const QImage okOn = drawn(*ok);
        EXPECT_LT(contrastRatio(okOn.pixelColor(10, ok->height() / 2), c.accentFill),
                  1.2) // also under the mouse
            << nameOf(a) << " OK filled";
        EXPECT_GT(contrastRatio(drawn(*cancel).pixelColor(10, cancel->height() / 2), c.accentFill), 1.5)
            << nameOf(a);
        ok->setEnabled(false);
        const QImage okOff = drawn(*ok);
        EXPECT_GT(contrastRatio(okOff.pixelColor(10, ok->height() / 2), c.accentFill), 1.5)
            << nameOf(a) << " a disabled default button loses its fill";
        EXPECT_GT(lc::test::meanDifference(okOn, okOff), 6) << nameOf(a);
        ok->setEnabled(true);

        // The keyboard focus draws the ring; a click's focus does not.
        const QImage cancelPlain = drawn(*cancel);
        cancel->setFocus(Qt::MouseFocusReason);
        EXPECT_EQ(drawn(*cancel), cancelPlain) << nameOf(a);
        ok->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(ok, Qt::Key_Tab); // as the user moves on: the window now shows keyboard focus
        ASSERT_TRUE(cancel->hasFocus());
        const QImage ringed = drawn(*cancel);
        EXPECT_NE(ringed, cancelPlain) << nameOf(a) << " focus ring";
        EXPECT_LT(contrastRatio(ringed.pixelColor(cancel->width() / 2, 2), c.accent), 1.3) << nameOf(a);
    }
    Theme::apply(Appearance::light);
}

TEST(UiStyle, TheScrollBarIsThinWithoutArrows) {
    Theme::apply(Appearance::light);
    QScrollBar bar(Qt::Vertical);
    bar.setRange(0, 300);
    bar.setPageStep(100);
    bar.resize(bar.sizeHint().width(), 200);
    EXPECT_LE(bar.sizeHint().width(), 10);
    QStyleOptionSlider option;
    option.initFrom(&bar);
    option.orientation = Qt::Vertical;
    option.minimum = 0;
    option.maximum = 300;
    option.pageStep = 100;
    option.sliderPosition = 0;
    QStyle* style = bar.style();
    EXPECT_TRUE(
        style->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarAddLine, &bar).isEmpty());
    EXPECT_TRUE(
        style->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSubLine, &bar).isEmpty());
    const QRect handle =
        style->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, &bar);
    EXPECT_EQ(handle.top(), 0) << "the handle starts at the very top";
    EXPECT_EQ(handle.height(), 50) << "a quarter of the bar for a quarter of the range";
    option.sliderPosition = 300;
    EXPECT_EQ(style->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, &bar).bottom(),
              199);
    // A click above the handle pages, where arrows were.
    EXPECT_EQ(style->hitTestComplexControl(QStyle::CC_ScrollBar, &option, QPoint(4, 2), &bar),
              QStyle::SC_ScrollBarSubPage);

    // The handle reads against the window (3:1), faded when disabled.
    const QImage on = drawn(bar);
    EXPECT_GE(contrastRatio(on.pixelColor(bar.width() / 2, 25), Theme::colours().window), 3.0);
    bar.setEnabled(false);
    EXPECT_LT(contrastRatio(drawn(bar).pixelColor(bar.width() / 2, 25), Theme::colours().window), 2.0);
}

namespace {

// A tiny icon theme: a coloured "view-refresh" and a one-grey "open-menu-symbolic", nothing else.
class TinyIconTheme {
public:
    TinyIconTheme() : paths_(QIcon::themeSearchPaths()), name_(QIcon::themeName()) {
        const QString root = dir_.filePath(QStringLiteral("lctiny"));
        QDir().mkpath(root + QStringLiteral("/16x16/actions"));
        QFile index(root + QStringLiteral("/index.theme"));
        if (index.open(QIODevice::WriteOnly))
            index.write("[Icon Theme]\nName=lctiny\nDirectories=16x16/actions\n\n"
                        "[16x16/actions]\nSize=16\nType=Scalable\nMinSize=8\nMaxSize=256\n");
        index.close();
        icon(root + QStringLiteral("/16x16/actions/view-refresh.png"), QColor(0x10, 0xB0, 0x30));
        icon(root + QStringLiteral("/16x16/actions/open-menu-symbolic.png"), QColor(0x2E, 0x34, 0x36));
        QIcon::setThemeSearchPaths({dir_.path()});
        QIcon::setThemeName(QStringLiteral("lctiny"));
    }
    ~TinyIconTheme() {
        QIcon::setThemeSearchPaths(paths_);
        QIcon::setThemeName(name_);
    }

private:
    static void icon(const QString& path, const QColor& colour) {
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        for (int y = 3; y < 13; ++y)
            for (int x = 3; x < 13; ++x)
                image.setPixelColor(x, y, colour);
        image.save(path);
    }
    QTemporaryDir dir_;
    QStringList paths_;
    QString name_;
};

QColor centre(const QPixmap& p) {
    const QImage image = p.toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

TEST(UiStyle, SymbolsComeFromTheDesktopsIconThemeWhereItHasThem) {
    Theme::apply(Appearance::light);
    TinyIconTheme theme;
    const QColor tone(0xAA, 0x11, 0x11);
    // A coloured theme icon is used as the theme gives it.
    EXPECT_TRUE(symbolFromDesktop(QStringLiteral("arrow.clockwise")));
    EXPECT_EQ(centre(desktopSymbolPixmap(QStringLiteral("arrow.clockwise"), tone, 16)),
              QColor(0x10, 0xB0, 0x30));
    // A one-grey (symbolic) one takes the view's tone.
    EXPECT_TRUE(symbolFromDesktop(QStringLiteral("line.3.horizontal")));
    EXPECT_EQ(centre(desktopSymbolPixmap(QStringLiteral("line.3.horizontal"), tone, 16)), tone);
    // What the theme lacks is drawn, and a symbol without a theme name always is.
    for (const QString& name :
         {QStringLiteral("clock.arrow.circlepath"), QStringLiteral("exclamationmark.triangle.fill")}) {
        EXPECT_FALSE(symbolFromDesktop(name)) << name.toStdString();
        EXPECT_EQ(desktopSymbolPixmap(name, tone, 16).toImage(), symbolPixmap(name, tone, 16).toImage())
            << name.toStdString();
    }
    EXPECT_EQ(themeIconName(QStringLiteral("folder")), "folder");
    EXPECT_EQ(themeIconName(QStringLiteral("record.circle")), "media-record");
    EXPECT_EQ(themeIconName(QStringLiteral("chevron.left")), "go-previous");

    // The buttons take them, and keep a faded disabled look.
    SymbolButton refresh(QStringLiteral("arrow.clockwise"), 16, Tone::secondary);
    EXPECT_EQ(centre(refresh.icon().pixmap(16)), QColor(0x10, 0xB0, 0x30));
    EXPECT_LT(centre(refresh.icon().pixmap(QSize(16, 16), QIcon::Disabled)).alphaF(), 0.6);
    SymbolButton history(QStringLiteral("clock.arrow.circlepath"), 16, Tone::secondary);
    EXPECT_EQ(
        history.icon().pixmap(16).toImage(),
        symbolPixmap(QStringLiteral("clock.arrow.circlepath"), Theme::tone(Tone::secondary), 16).toImage());
}

TEST_F(UiFixture, TheTraysIdleIconDoesNotLookDisabled) {
    make();
    TrayItem tray(
        *model, [] {}, [] {});
    const QImage idle = tray.icon().pixmap(22).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(idle.isNull());
    // On light, mid-grey and dark panels, a good part of the icon stands out at 3:1.
    for (const QColor panel :
         {QColor(0xF6, 0xF5, 0xF4), QColor(0x80, 0x80, 0x80), QColor(0x24, 0x24, 0x24)}) {
        int visible = 0, standing = 0;
        for (int y = 0; y < idle.height(); ++y)
            for (int x = 0; x < idle.width(); ++x) {
                const QColor p = idle.pixelColor(x, y);
                if (p.alphaF() < 0.5f) continue;
                ++visible;
                if (contrastRatio(p, panel) >= 3.0) ++standing;
            }
        ASSERT_GT(visible, 100) << "a visible mark";
        EXPECT_GE(standing, visible / 4) << "on " << panel.name().toStdString();
    }
    // Recording and paused look different from idle and from each other.
    offer({fake::window(11, "Editor", "Notes", 1011)}, 1);
    run(model->session().start());
    const QImage recording = tray.icon().pixmap(22).toImage().convertToFormat(QImage::Format_ARGB32);
    model->togglePause();
    ASSERT_TRUE(lc::test::waitUntil([&] { return model->session().isPaused(); }, std::chrono::seconds(20)));
    const QImage paused = tray.icon().pixmap(22).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_GT(lc::test::meanDifference(idle, recording), 10);
    EXPECT_GT(lc::test::meanDifference(recording, paused), 5);
    run(model->session().stop());
}

TEST_F(UiFixture, TheUpdatePillTakesTheLegibleAccentAlsoAfterAChange) {
    make();
    Shell shell(*model, *exporter, &update::UpdateManager::shared(), [] {});
    Theme::apply(Appearance::light);
    auto* pill = shell.window().findChild<update::UpdatePill*>();
    ASSERT_NE(pill, nullptr);
    for (Appearance a : {Appearance::dark, Appearance::light}) {
        Theme::apply(a);
        // The text colour: the accent made legible as text (once the highlight fill, about 3:1 in dark).
        EXPECT_TRUE(pill->styleSheet().contains(QStringLiteral("color: ") + Theme::colours().accent.name()))
            << nameOf(a) << " " << pill->styleSheet().toStdString();
    }
}
