// The portal back end against a stand-in portal on a private bus, and the theme following it:
// the scheme and accent read at start, a change while running, an older portal, no portal, and
// values that make no sense.
#include "NotificationServer.h"
#include "PortalServer.h"
#include "TestSupport.h"

#include "platform/dbus/PortalAppearance.h"
#include "ui/DesktopTheme.h"
#include "ui/Theme.h"
#include "ui/Widgets.h"

#include <QApplication>
#include <QDBusMessage>
#include <QPalette>
#include <gtest/gtest.h>

using namespace lc;
using namespace lc::test;
using namespace std::chrono_literals;

namespace {

const QString kScheme = QStringLiteral("color-scheme");
const QString kAccent = QStringLiteral("accent-color");

class AppearanceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bus = std::make_unique<PrivateBus>(); }
    static void TearDownTestSuite() { bus.reset(); }

    void SetUp() override { ASSERT_TRUE(bus->ok()) << bus->error().toStdString(); }
    void TearDown() override {
        follower.reset();
        portal.reset();
        ui::Theme::setDesktop(std::nullopt, std::nullopt);
        ui::Theme::apply(ui::Appearance::light);
    }

    dbus::PortalAppearance& open(std::function<QDBusConnection()> connect = {}) {
        dbus::PortalAppearance::Options o;
        o.connect = connect ? connect : [] { return bus->connect(QStringLiteral("client")); };
        o.log = [this](const QString& line) { logs << line; };
        portal = std::make_shared<dbus::PortalAppearance>(std::move(o));
        EXPECT_TRUE(waitUntil([&] { return portal->settled(); }, 20s))
            << "the first readings never came back";
        return *portal;
    }

    static QColor colour(const DesktopLook::Colour& c) {
        return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue));
    }

    static inline std::unique_ptr<PrivateBus> bus;
    std::shared_ptr<dbus::PortalAppearance> portal;
    std::unique_ptr<ui::DesktopTheme> follower;
    QStringList logs;
};

QColor pixelAt(QWidget& w, QPoint p) {
    return w.grab().toImage().pixelColor(p);
}

} // namespace

TEST_F(AppearanceTest, SchemeAndAccentAtStartThenADarkChangeWhileRunning) {
    PortalSettingsServer server(*bus);
    ASSERT_TRUE(server.registered());
    server.set(kScheme, uint(2));
    server.set(kAccent, PortalSettingsServer::accent(0.90, 0.35, 0.05)); // an orange
    auto& look = open();
    EXPECT_EQ(look.current().scheme, DesktopLook::Scheme::light);
    ASSERT_TRUE(look.current().accent.has_value());
    EXPECT_NEAR(look.current().accent->red, 0.90, 1e-9);
    EXPECT_NEAR(look.current().accent->blue, 0.05, 1e-9);

    follower = std::make_unique<ui::DesktopTheme>(portal);
    EXPECT_TRUE(ui::Theme::followsDesktop()) << "following the desktop undoes an earlier choice";
    EXPECT_EQ(ui::Theme::appearance(), ui::Appearance::light);
    // The accent keeps the desktop's hue; the switch, the selection and prominent fills take it.
    const QColor accent = ui::Theme::colours().accent;
    EXPECT_NEAR(accent.hslHue(), colour(*look.current().accent).hslHue(), 6);
    EXPECT_EQ(QApplication::palette().color(QPalette::Highlight), ui::Theme::colours().accentFill);

    ui::Switch on;
    on.setChecked(true);
    on.resize(on.sizeHint());
    const QPoint inTrack(6, on.height() / 2);
    const QColor lightTrack = pixelAt(on, inTrack);
    EXPECT_LT(std::abs(lightTrack.hslHue() - accent.hslHue()), 8) << "the switch is drawn in the accent";

    int changes = 0;
    QObject::connect(&ui::Theme::instance(), &ui::Theme::changed, &on, [&] { ++changes; });

    // Another peer on the bus claiming a dark desktop is not the portal. Its round trip to the
    // daemon puts its signal ahead of what the portal sends next.
    QDBusConnection impostor = bus->connect(QStringLiteral("impostor"));
    QDBusMessage fake = QDBusMessage::createSignal("/org/freedesktop/portal/desktop",
                                                   "org.freedesktop.portal.Settings", "SettingChanged");
    fake << QStringLiteral("org.freedesktop.appearance") << kScheme
         << QVariant::fromValue(QDBusVariant(uint(1)));
    impostor.send(fake);
    impostor.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "GetId"));
    // A new accent while running.
    server.change(kAccent, PortalSettingsServer::accent(0.1, 0.6, 0.2));
    ASSERT_TRUE(waitUntil([&] { return look.current().accent && look.current().accent->green > 0.5; }, 20s));
    EXPECT_EQ(look.current().scheme, DesktopLook::Scheme::light) << "the impostor changed nothing";
    EXPECT_NEAR(ui::Theme::colours().accent.hslHue(), QColor::fromRgbF(0.1f, 0.6f, 0.2f).hslHue(), 8);
    EXPECT_GE(changes, 1) << "views hear of the change";
    QDBusConnection::disconnectFromBus(impostor.name());

    changes = 0;
    server.change(kScheme, uint(1));
    ASSERT_TRUE(waitUntil([] { return ui::Theme::appearance() == ui::Appearance::dark; }, 20s));
    EXPECT_EQ(look.current().scheme, DesktopLook::Scheme::dark);
    EXPECT_GE(changes, 1) << "views hear of the change";
    EXPECT_LT(QApplication::palette().color(QPalette::Window).lightness(), 128);
    EXPECT_NE(pixelAt(on, inTrack), lightTrack) << "the switch repaints";

    // The desktop has no accent any more (out of range): the theme's own blue again.
    server.change(kAccent, PortalSettingsServer::accent(-1, -1, -1));
    ASSERT_TRUE(waitUntil([&] { return !look.current().accent; }, 20s));
    EXPECT_EQ(ui::Theme::colours().accent, ui::Theme::coloursFor(ui::Appearance::dark).accent);

    // A chosen appearance wins over the desktop's; following again takes the desktop's.
    ui::Theme::apply(ui::Appearance::light);
    server.change(kScheme, uint(1));
    server.change(kAccent, PortalSettingsServer::accent(0.5, 0.2, 0.8));
    ASSERT_TRUE(waitUntil([&] { return look.current().accent.has_value(); }, 20s));
    EXPECT_EQ(ui::Theme::appearance(), ui::Appearance::light);
    ui::Theme::followDesktop();
    EXPECT_EQ(ui::Theme::appearance(), ui::Appearance::dark);
    EXPECT_TRUE(logs.isEmpty()) << logs.join('\n').toStdString();
}

TEST_F(AppearanceTest, AnOlderPortalAnswersThroughReadAndAnUnsetKeyIsNoAnswer) {
    PortalSettingsServer server(*bus, /*readOne=*/false);
    ASSERT_TRUE(server.registered());
    server.set(kScheme, uint(1));
    auto& look = open();
    EXPECT_EQ(look.current().scheme, DesktopLook::Scheme::dark);
    EXPECT_FALSE(look.current().accent.has_value()) << "the portal has no accent colour set";
    EXPECT_GE(server.reads(), 2);
    follower = std::make_unique<ui::DesktopTheme>(portal);
    EXPECT_EQ(ui::Theme::appearance(), ui::Appearance::dark);
    EXPECT_EQ(ui::Theme::colours().accent, ui::Theme::coloursFor(ui::Appearance::dark).accent);
    // The portal that said "not set" is listened to when the user sets one later.
    server.change(kAccent, PortalSettingsServer::accent(0.2, 0.5, 0.8));
    ASSERT_TRUE(waitUntil([&] { return look.current().accent.has_value(); }, 20s));
    EXPECT_NE(ui::Theme::colours().accent, ui::Theme::coloursFor(ui::Appearance::dark).accent);
}

TEST_F(AppearanceTest, WithoutPortalOrBusTheDesktopPaletteDecidesAtOnce) {
    // No portal on the bus: both readings fail fast, nothing hangs, the palette decides.
    auto& look = open();
    EXPECT_EQ(look.current(), DesktopLook{});
    follower = std::make_unique<ui::DesktopTheme>(portal);
    EXPECT_EQ(ui::Theme::appearance(), ui::Theme::systemAppearance());

    // No bus at all.
    follower.reset();
    auto& none = open([] {
        return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                             QStringLiteral("nobus"));
    });
    EXPECT_EQ(none.current(), DesktopLook{});
    follower = std::make_unique<ui::DesktopTheme>(portal);
    EXPECT_EQ(ui::Theme::appearance(), ui::Theme::systemAppearance());

    // Without a desktop interface at all (the command-line modes).
    follower = std::make_unique<ui::DesktopTheme>(nullptr);
    EXPECT_EQ(ui::Theme::appearance(), ui::Theme::systemAppearance());
    // The theme's own palette changes are not mistaken for the desktop's: no loop of changes.
    int changes = 0;
    auto counter = QObject::connect(&ui::Theme::instance(), &ui::Theme::changed, [&] { ++changes; });
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QObject::disconnect(counter);
    EXPECT_LE(changes, 1);
    EXPECT_TRUE(logs.isEmpty()) << "a desktop without a portal is not a fault";
}

TEST_F(AppearanceTest, ValuesThatMakeNoSenseAreIgnored) {
    PortalSettingsServer server(*bus);
    ASSERT_TRUE(server.registered());
    server.set(kScheme, QStringLiteral("dark"));
    server.set(kAccent, QStringLiteral("#ff0000"));
    auto& look = open();
    EXPECT_EQ(look.current(), DesktopLook{});
    EXPECT_EQ(logs.size(), 2) << logs.join('\n').toStdString();

    // A good accent, then a malformed one while running: the good one stays.
    server.change(kAccent, PortalSettingsServer::accent(0.2, 0.4, 0.9));
    ASSERT_TRUE(waitUntil([&] { return look.current().accent.has_value(); }, 20s));
    server.change(kAccent, QVariant::fromValue(QStringList{"red"}));
    server.change(kAccent, PortalSettingsServer::accent(0.2, 0.4, std::nan("")));
    server.change(kScheme, uint(2));
    ASSERT_TRUE(waitUntil([&] { return look.current().scheme == DesktopLook::Scheme::light; }, 20s));
    ASSERT_TRUE(look.current().accent.has_value()) << "the malformed value did not replace the colour";
    EXPECT_NEAR(look.current().accent->blue, 0.9, 1e-9);
    // A scheme this version does not know is no preference.
    server.change(kScheme, uint(7));
    ASSERT_TRUE(waitUntil([&] { return look.current().scheme == DesktopLook::Scheme::noPreference; }, 20s));

    // The parsers on their own.
    EXPECT_FALSE(dbus::PortalAppearance::schemeFrom(QVariant(2.0)).has_value());
    EXPECT_EQ(dbus::PortalAppearance::schemeFrom(QVariant::fromValue(QDBusVariant(uint(1)))),
              DesktopLook::Scheme::dark);
}
