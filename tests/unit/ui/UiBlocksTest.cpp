// The drawn building blocks and the pure texts and rules behind the views.
#include "ui/ExportBar.h"
#include "ui/Icons.h"
#include "ui/PresetPicker.h"
#include "ui/SettingsView.h"
#include "ui/Snapshot.h"
#include "ui/Theme.h"
#include "ui/Widgets.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>

using namespace lc;
using namespace lc::ui;

namespace {

// Share of a pixmap's pixels that are not transparent.
double coverage(const QPixmap& pixmap) {
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int painted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            painted += qAlpha(image.pixel(x, y)) > 0;
    return double(painted) / (image.width() * image.height());
}

QColor pixelAt(QWidget& w, QPoint p) {
    return w.grab().toImage().pixelColor(p);
}

} // namespace

TEST(UiSymbols, EverySymbolTheViewsUseIsDrawn) {
    const QStringList used{"clock.arrow.circlepath",
                           "gearshape",
                           "stop.fill",
                           "record.circle",
                           "record.circle.fill",
                           "arrow.clockwise",
                           "exclamationmark.triangle.fill",
                           "folder",
                           "arrow.up.forward.square",
                           "macwindow",
                           "chevron.down",
                           "speaker.wave.2.fill",
                           "speaker.slash",
                           "xmark",
                           "xmark.octagon.fill",
                           "square.on.square",
                           "info.circle",
                           "checkmark.circle.fill",
                           "circle",
                           "square.and.arrow.up",
                           "film.stack",
                           "mic"};
    for (const QString& name : used) {
        ASSERT_TRUE(hasSymbol(name)) << name.toStdString();
        const double c = coverage(symbolPixmap(name, Qt::black, 24, 2.0));
        // Something is drawn, and the symbol is not a filled square.
        EXPECT_GT(c, 0.05) << name.toStdString();
        EXPECT_LT(c, 0.8) << name.toStdString();
    }
    EXPECT_TRUE(symbolPixmap("no.such.symbol", Qt::black, 24).isNull());
    // Knocked-out parts are holes, not painted in another colour.
    const QImage check = symbolPixmap("checkmark.circle.fill", Qt::red, 48).toImage();
    EXPECT_EQ(qAlpha(check.pixel(21, 30)), 0) << "the check mark is cut out of the disk";
}

TEST(UiBlocks, RecordButtonIsFadedAndDisabledOnlyWhenNothingCanStartOrStop) {
    Theme::apply(Appearance::light);
    RecordButton b;
    b.resize(300, 38);
    b.setState(false, 0);
    EXPECT_FALSE(b.isEnabled());
    EXPECT_DOUBLE_EQ(b.fillOpacity(), 0.4);
    EXPECT_EQ(b.text(), "Start Recording");
    const QColor faded = pixelAt(b, QPoint(8, 19));

    b.setState(false, 1);
    EXPECT_TRUE(b.isEnabled());
    EXPECT_DOUBLE_EQ(b.fillOpacity(), 1.0);
    const QColor full = pixelAt(b, QPoint(8, 19));
    EXPECT_GT(full.red(), 200);
    EXPECT_LT(full.green(), 90) << "full red";
    EXPECT_GT(faded.green(), full.green() + 60) << "the faded button lets the window colour through";

    // A running session can always be stopped, even with every window gone.
    b.setState(true, 0);
    EXPECT_TRUE(b.isEnabled());
    EXPECT_DOUBLE_EQ(b.fillOpacity(), 1.0);
    EXPECT_EQ(b.text(), "Stop Recording");
}

TEST(UiBlocks, StatusPillShowsReadyOrTheRunningTime) {
    StatusPill pill;
    EXPECT_EQ(pill.text(), "Ready");
    EXPECT_FALSE(pill.isRed());
    pill.setState(true, 65.9);
    EXPECT_EQ(pill.text(), "Recording 01:05");
    EXPECT_TRUE(pill.isRed());
    pill.setState(false, 65.9);
    EXPECT_EQ(pill.text(), "Ready");
}

TEST(UiBlocks, LevelMeterBarWidthAndColour) {
    Theme::apply(Appearance::light);
    LevelMeter meter;
    meter.resize(200, 6);
    const QColor red = Theme::colours().red, green = Theme::colours().green;

    meter.setLevel(0.5f);
    EXPECT_DOUBLE_EQ(LevelMeter::barFraction(0.5f), 0.5);
    EXPECT_EQ(meter.barColour(), green);
    QImage img = meter.grab().toImage();
    EXPECT_EQ(img.pixelColor(50, 3), green);
    EXPECT_NE(img.pixelColor(150, 3), green) << "half the width only";

    meter.setLevel(0.9f);
    EXPECT_EQ(meter.barColour(), red);
    meter.setLevel(1.4f);
    EXPECT_DOUBLE_EQ(LevelMeter::barFraction(1.4f), 1.0);
    img = meter.grab().toImage();
    EXPECT_EQ(img.pixelColor(190, 3), red) << "a full-width red bar";

    EXPECT_FLOAT_EQ(float(LevelMeter::barFraction(0.85f)), 0.85f);
    EXPECT_FALSE(LevelMeter::isHot(0.85f)) << "red only above 0.85";
    EXPECT_DOUBLE_EQ(LevelMeter::barFraction(-0.2f), 0);
    EXPECT_DOUBLE_EQ(LevelMeter::barFraction(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(UiBlocks, ChipTextsFollowTheCardTableBySize) {
    EXPECT_EQ(PresetCard::chip(Preset::builtIn()[0]), "16:9 \u00B7 YouTube");
    EXPECT_EQ(PresetCard::chip(Preset::builtIn()[1]), "9:16 \u00B7 Shorts \u00B7 Reels \u00B7 TikTok");
    EXPECT_EQ(PresetCard::chip(Preset{"16:9 4K", 3840, 2160}), "16:9 \u00B7 Ultra HD");
    EXPECT_EQ(PresetCard::chip(Preset{"An old name", 1080, 1350}), "4:5 \u00B7 Instagram feed")
        << "names are not compared";
    EXPECT_EQ(PresetCard::chip(Preset{"Custom", 1280, 720}), "Custom \u00B7 1280\u00D7720");
    EXPECT_EQ(PresetCard::chip(Preset{"Custom", 1920, 1080}), "Custom \u00B7 1920\u00D71080")
        << "custom wins over the table";
    EXPECT_EQ(PresetCard::chip(Preset{"Odd", 1000, 500}), "Odd (1000\u00D7500)");
    // The table's first card is the tall one; its order is the picker's, not the preset table's.
    EXPECT_EQ(PresetCard::table()[0].preset.height, 1920);
}

TEST(UiBlocks, CustomSizesAreEvenAndAtLeast64) {
    EXPECT_EQ(CustomSize::withWidth(1921, 720), (Preset{"Custom", 1920, 720}));
    EXPECT_EQ(CustomSize::withWidth(10, 720), (Preset{"Custom", 64, 720}));
    EXPECT_EQ(CustomSize::withHeight(1280, 0), (Preset{"Custom", 1280, 64}));
    EXPECT_EQ(CustomSize::withHeight(1280, 65), (Preset{"Custom", 1280, 64}));
    EXPECT_EQ(CustomSize::withHeight(1280, 67), (Preset{"Custom", 1280, 66}));
    EXPECT_EQ(CustomSize::withWidth(-7, 721), (Preset{"Custom", 64, 720})) << "the other side is cleaned too";
    EXPECT_EQ(CustomSize::withWidth(100001, 720).width, 100000) << "no upper limit";
    EXPECT_EQ(CustomSize::initial(), (Preset{"Custom", 1280, 720}));
}

TEST(UiBlocks, ExportPercentIsTruncated) {
    EXPECT_EQ(ExportBar::percentText(0.426), "42%");
    EXPECT_EQ(ExportBar::percentText(0.999), "99%");
    EXPECT_EQ(ExportBar::percentText(1.0), "100%");
    EXPECT_EQ(ExportBar::percentText(0), "0%");
    EXPECT_EQ(ExportBar::percentText(std::numeric_limits<double>::quiet_NaN()), "0%");
}

TEST(UiBlocks, HevcExplanationKeepsBoldRunsAndLines) {
    const QString html = SettingsView::hevcInfoHtml();
    EXPECT_TRUE(html.startsWith("<b>HEVC</b>, also called H.265"));
    EXPECT_TRUE(html.contains("<b>H.264 (the default):</b>"));
    EXPECT_TRUE(html.contains("older computers"));
    EXPECT_EQ(html.count("<br>"), 5);
    EXPECT_FALSE(html.contains("**"));
}

TEST(UiBlocks, AppearanceFromTheCommandLine) {
    EXPECT_EQ(Theme::fromOption("light"), Appearance::light);
    EXPECT_EQ(Theme::fromOption("Light"), Appearance::dark);
    EXPECT_EQ(Theme::fromOption("dark"), Appearance::dark);
    Theme::apply(Appearance::dark);
    EXPECT_LT(QApplication::palette().color(QPalette::Window).lightness(), 80);
    Theme::apply(Appearance::light);
    EXPECT_GT(QApplication::palette().color(QPalette::Window).lightness(), 200);
}

TEST(UiSnapshotOptions, ValuesAndIndexLists) {
    const QStringList args{"loomcast", "--snapshot", "/tmp/a.png", "--probe", "A,B", "--open"};
    EXPECT_EQ(optionValue(args, "--snapshot"), QString("/tmp/a.png"));
    EXPECT_EQ(optionValue(args, "--probe"), QString("A,B"));
    EXPECT_EQ(optionValue(args, "--open"), std::nullopt) << "an option given last has no value";
    EXPECT_EQ(optionValue(args, "--only"), std::nullopt);
    EXPECT_EQ(optionValue({"x", "--only", "--snapshot", "p"}, "--only"), QString("--snapshot"));
    EXPECT_EQ(indexList("2,,x,0"), (std::vector<int>{2, 0}));
    EXPECT_EQ(indexList("+3,-1,+-2, 4,5 "), (std::vector<int>{3, -1}));
    EXPECT_TRUE(indexList("").empty());
}

TEST(UiBlocks, LabelsFollowTheAppearance) {
    Theme::apply(Appearance::light);
    QLabel* label = makeLabel("x", 12, Tone::secondary);
    const std::unique_ptr<QLabel> owner(label);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), Theme::colours().secondary);
    Theme::apply(Appearance::dark);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), Theme::colours().secondary);
    EXPECT_LT(label->palette().color(QPalette::WindowText).lightness(), 180);
    Theme::setTone(label, Tone::red);
    Theme::apply(Appearance::light);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), Theme::colours().red) << "the newest tone wins";
    EXPECT_EQ(withAlpha(QColor(10, 20, 30, 200), 3.0).alpha(), 255) << "never beyond opaque";
}

TEST(UiSnapshot, MainWindowPictureAndItsFailures) {
    const QString missing = QDir::temp().filePath("lc-no-such-folder/x/shot.png");
    QWidget small;
    small.setWindowTitle("Small");
    small.resize(200, 120);
    small.show();
    const QString none = snapshotMainWindow(missing);
    EXPECT_TRUE(none.startsWith("no window; windows=")) << none.toStdString();
    EXPECT_TRUE(none.contains("[Small|vis=true|200x120]")) << none.toStdString();

    QWidget big;
    big.setObjectName("main");
    big.resize(420, 360);
    big.show();
    EXPECT_TRUE(snapshotMainWindow(missing).startsWith("write failed: "))
        << snapshotMainWindow(missing).toStdString();
    QTemporaryDir dir;
    const QString path = dir.filePath("main.png");
    EXPECT_EQ(snapshotMainWindow(path), "ok 420x360");
    EXPECT_EQ(QImage(path).size(), QSize(420, 360));
}
