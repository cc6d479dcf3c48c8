// The D-Bus notifier against a stand-in notification service on a private bus, and what the
// model tells through it: a saved session, an ended export, the first close to the tray.
#include "Fakes.h"
#include "NotificationServer.h"
#include "TestSupport.h"

#include "model/Store.h"
#include "model/app/Notifications.h"
#include "platform/dbus/DBusNotifier.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc;
using namespace lc::test;
using namespace std::chrono_literals;

namespace {

class NotificationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bus = std::make_unique<PrivateBus>(); }
    static void TearDownTestSuite() { bus.reset(); }

    void SetUp() override {
        ASSERT_TRUE(bus->ok()) << bus->error().toStdString();
        ASSERT_TRUE(state.isValid() && movies.isValid());
        Store::setBaseDirOverride(state.path());
    }
    void TearDown() override {
        model.reset();
        Store::setBaseDirOverride(std::nullopt);
    }

    std::shared_ptr<dbus::DBusNotifier> notifier(std::function<QDBusConnection()> connect = {}) {
        dbus::DBusNotifier::Options o;
        o.connect = connect ? connect : [] { return bus->connect(QStringLiteral("client")); };
        o.log = [this](const QString& line) { logs << line; };
        return std::make_shared<dbus::DBusNotifier>(std::move(o));
    }

    static Notification sample(const QString& body = QStringLiteral("No space <left> & more")) {
        return Notification{QStringLiteral("Export failed"),
                            body,
                            {{QStringLiteral("default"), QStringLiteral("Show")},
                             {QStringLiteral("retry"), QStringLiteral("Try Again")}},
                            Notification::Urgency::critical,
                            QStringLiteral("transfer.error")};
    }

    // Shows `n` and waits for the desktop's answer.
    static bool showAndWait(Notifier& notifier, Notification n,
                            std::function<void(const QString&)> action = {}) {
        std::optional<bool> shown;
        notifier.show(std::move(n), {std::move(action), [&](bool s) { shown = s; }});
        EXPECT_TRUE(waitUntil([&] { return shown.has_value(); }, 20s));
        return shown.value_or(false);
    }

    AppModel& makeModel(std::shared_ptr<Notifier> through) {
        AppServices s = fake::services(desktop, audio, actions, QDir(movies.path()).filePath("Loomcast"));
        s.notifier = std::move(through);
        s.makeRecorder = [this]() -> std::shared_ptr<SessionRecorder> {
            return std::make_shared<fake::Recorder>(model.get(), &plans);
        };
        model = std::make_unique<AppModel>(std::move(s));
        return *model;
    }

    static inline std::unique_ptr<PrivateBus> bus;
    QTemporaryDir state, movies;
    QStringList logs;
    std::shared_ptr<fake::Desktop> desktop = std::make_shared<fake::Desktop>();
    std::shared_ptr<fake::Audio> audio = std::make_shared<fake::Audio>();
    std::shared_ptr<fake::Actions> actions = std::make_shared<fake::Actions>();
    std::map<std::uint32_t, fake::RecorderPlan> plans;
    std::unique_ptr<AppModel> model;
};

const NotificationServer::Received* waitForNotification(const NotificationServer& server, std::size_t count) {
    if (!waitUntil([&] { return server.received().size() >= count; }, 20s)) return nullptr;
    return &server.received()[count - 1];
}

} // namespace

// --- The notifier ----------------------------------------------------------------------------

TEST_F(NotificationsTest, NotifyCarriesTheTextButtonsAndHints) {
    NotificationServer server(*bus);
    ASSERT_TRUE(server.registered());
    auto n = notifier();
    ASSERT_TRUE(showAndWait(*n, sample()));
    ASSERT_EQ(server.received().size(), 1u);
    const auto& r = server.received()[0];
    EXPECT_EQ(r.appName, "Loomcast");
    EXPECT_EQ(r.icon, "org.loomcast.Loomcast");
    EXPECT_EQ(r.summary, "Export failed");
    EXPECT_EQ(r.body, "No space <left> & more") << "a service without markup gets the plain text";
    EXPECT_EQ(r.actions, QStringList({"default", "Show", "retry", "Try Again"}));
    EXPECT_EQ(r.hints.value("urgency").toInt(), 2);
    EXPECT_EQ(r.hints.value("category").toString(), "transfer.error");
    EXPECT_EQ(r.hints.value("desktop-entry").toString(), "org.loomcast.Loomcast");
    EXPECT_EQ(r.timeout, -1) << "the service decides how long";
    EXPECT_TRUE(logs.isEmpty());
}

TEST_F(NotificationsTest, TheBodyIsEscapedForAServiceThatReadsMarkup) {
    NotificationServer server(*bus, {"actions", "body", "body-markup"});
    ASSERT_TRUE(server.registered());
    auto n = notifier();
    ASSERT_TRUE(showAndWait(*n, sample()));
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0].body, "No space &lt;left&gt; &amp; more");
}

TEST_F(NotificationsTest, AnActionReachesItsOwnNotificationOnceAndOnlyFromTheService) {
    NotificationServer server(*bus);
    ASSERT_TRUE(server.registered());
    auto n = notifier();
    std::vector<std::pair<char, QString>> got;
    auto record = [&](char which) {
        return [&got, which](const QString& key) { got.push_back({which, key}); };
    };
    ASSERT_TRUE(showAndWait(*n, sample(), record('a')));
    ASSERT_TRUE(showAndWait(*n, sample(), record('b')));
    ASSERT_TRUE(showAndWait(*n, sample(), record('c')));
    ASSERT_TRUE(showAndWait(*n, sample(), record('d')));
    const uint a = server.received()[0].id, b = server.received()[1].id, c = server.received()[2].id,
               d = server.received()[3].id;

    server.invokeAction(b, "retry");
    ASSERT_TRUE(waitUntil([&] { return !got.empty(); }, 20s));
    EXPECT_EQ(got, (std::vector<std::pair<char, QString>>{{'b', "retry"}}));

    // Another peer on the bus claiming to be the service is not listened to. Its round trip to
    // the daemon puts its signal ahead of what the service sends next.
    QDBusConnection impostor = bus->connect("impostor");
    QDBusMessage fake = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                   "org.freedesktop.Notifications", "ActionInvoked");
    fake << a << QString("retry");
    ASSERT_TRUE(impostor.send(fake));
    ASSERT_TRUE(impostor
                    .call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                         "org.freedesktop.DBus", "GetId"))
                    .type() == QDBusMessage::ReplyMessage);
    // Once chosen, an action is not chosen again; a closed notification has no actions left.
    server.invokeAction(b, "retry");
    server.close(c);
    server.invokeAction(c, "retry");
    server.invokeAction(d, "default");
    ASSERT_TRUE(waitUntil([&] { return got.size() >= 2; }, 20s));
    QCoreApplication::processEvents();
    EXPECT_EQ(got, (std::vector<std::pair<char, QString>>{{'b', "retry"}, {'d', "default"}}));
    QDBusConnection::disconnectFromBus(impostor.name());
}

TEST_F(NotificationsTest, WithoutAServiceNothingWaitsAndOneLineIsLogged) {
    auto n = notifier();
    int answered = 0, refused = 0;
    for (int i = 0; i < 3; ++i)
        n->show(sample(), {{}, [&](bool shown) {
                               ++answered;
                               refused += shown ? 0 : 1;
                           }});
    ASSERT_TRUE(waitUntil([&] { return answered == 3; }, 20s));
    EXPECT_EQ(refused, 3);
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs[0].startsWith("Desktop notifications are off: ")) << logs[0].toStdString();
    EXPECT_FALSE(showAndWait(*n, sample()));
    EXPECT_EQ(logs.size(), 1) << "one line, however often it is tried";

    {
        // A notification daemon that starts later is used from then on.
        NotificationServer server(*bus);
        ASSERT_TRUE(server.registered());
        EXPECT_TRUE(showAndWait(*n, sample()));
        EXPECT_EQ(server.received().size(), 1u);
    }
    // Gone again: that is worth one more line.
    EXPECT_FALSE(showAndWait(*n, sample()));
    EXPECT_EQ(logs.size(), 2);
}

TEST_F(NotificationsTest, WithoutABusNothingIsShown) {
    QTemporaryDir nowhere;
    auto n = notifier([path = nowhere.filePath("no-bus")] {
        return QDBusConnection::connectToBus("unix:path=" + path, "no-bus");
    });
    EXPECT_FALSE(showAndWait(*n, sample()));
    EXPECT_FALSE(showAndWait(*n, sample()));
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs[0].contains("no session bus")) << logs[0].toStdString();
}

// --- What the model tells ---------------------------------------------------------------------

TEST_F(NotificationsTest, AStoppedSessionOffersItsExportAndItsFolder) {
    NotificationServer server(*bus);
    ASSERT_TRUE(server.registered());
    AppModel& m = makeModel(notifier());
    int windowShown = 0;
    m.notifications().setShowWindow([&] { ++windowShown; });
    desktop->setWindows({fake::window(11, "Editor", "Notes", 101), fake::window(22, "Browser", "Docs", 202)});
    QCoro::waitFor(m.windows().refresh(false));
    for (const LiveWindow& w : m.windows().live())
        m.add(w);

    QCoro::waitFor(m.session().start());
    QCoro::waitFor(m.session().stop());
    const auto* saved = waitForNotification(server, 1);
    ASSERT_TRUE(saved);
    // Each file starts half a second in and lasts four.
    EXPECT_EQ(saved->summary, "Recording saved: 2 windows, 00:04");
    const QString first = *m.session().lastFolder();
    EXPECT_TRUE(saved->body.endsWith(QFileInfo(first).fileName())) << saved->body.toStdString();
    EXPECT_EQ(NotificationServer::actionKeys(*saved), QStringList({"default", "export", "folder"}));
    EXPECT_TRUE(saved->actions.contains("Show in Folder") && saved->actions.contains("Export"));
    server.invokeAction(saved->id, "folder");
    ASSERT_TRUE(waitUntil([&] { return actions->opened.contains(first); }, 20s));

    // The next session; while it runs, its predecessor's Export does nothing.
    QCoro::waitFor(m.session().start());
    QCoro::waitFor(m.session().stop());
    const auto* second = waitForNotification(server, 2);
    ASSERT_TRUE(second);
    const uint secondID = second->id;
    QCoro::waitFor(m.session().start());
    server.invokeAction(secondID, "export");
    m.notifications().closedToTray(true);
    const auto* note = waitForNotification(server, 3);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->summary, "Loomcast is still running");
    EXPECT_TRUE(note->body.startsWith("The recording goes on.")) << note->body.toStdString();
    server.invokeAction(note->id, "default");
    ASSERT_TRUE(waitUntil([&] { return windowShown == 1; }, 20s));
    EXPECT_EQ(m.exporter().state().kind, ExportState::Kind::idle) << "no export during a session";
    ASSERT_TRUE(waitUntil([&] { return Store::load().trayNoteShown; }, 20s))
        << "remembered in the saved state";

    // Once ever: not again in this run, nor in the next.
    m.notifications().closedToTray(false);
    QCoro::waitFor(m.session().stop());
    const auto* third = waitForNotification(server, 4);
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->summary.startsWith("Recording saved")) << third->summary.toStdString();

    // Export from the notification: with no back ends here it fails, which is told in turn.
    server.invokeAction(third->id, "export");
    const auto* failed = waitForNotification(server, 5);
    ASSERT_TRUE(failed);
    EXPECT_EQ(m.exporter().folder(), *m.session().lastFolder());
    EXPECT_EQ(failed->summary, "Export failed");
    EXPECT_EQ(failed->body, m.exporter().state().message);
    EXPECT_EQ(failed->hints.value("urgency").toInt(), 2);
    EXPECT_EQ(NotificationServer::actionKeys(*failed), QStringList({"default", "retry"}));
    server.invokeAction(failed->id, "retry");
    const auto* again = waitForNotification(server, 6);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->summary, "Export failed");

    model.reset();
    AppModel& next = makeModel(notifier());
    next.notifications().closedToTray(false);
    next.notifications().sessionEnded({first, 1, 65, std::nullopt});
    const auto* last = waitForNotification(server, 7);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->summary, "Recording saved: 1 window, 01:05") << "and no tray note before it";
}

TEST_F(NotificationsTest, AnExportThatEndsIsToldUnlessTheUserCancelledIt) {
    NotificationServer server(*bus);
    ASSERT_TRUE(server.registered());
    Result<QString> outcome = QString("/videos/Loomcast/2024-05-02 14-05-10/Loomcast Final.mp4");
    bool cancel = false;
    ExportController exporter([&](QString, std::function<void(double)>,
                                  std::function<void(std::shared_ptr<ExportSession>)> registerSession)
                                  -> QCoro::Task<Result<QString>> {
        auto session = std::make_shared<ExportSession>();
        registerSession(session);
        // The user pressed Cancel while it ran.
        if (cancel) session->cancelExport();
        co_return cancel ? Result<QString>(makeError("Export cancelled")) : outcome;
    });
    Settings settings({}, true);
    Notifications notifications(notifier(), actions, settings, exporter, [] { return false; });

    exporter.start("/videos/Loomcast/2024-05-02 14-05-10");
    const auto* done = waitForNotification(server, 1);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->summary, "Final video exported");
    EXPECT_TRUE(done->body.startsWith("Loomcast Final.mp4\n")) << done->body.toStdString();
    EXPECT_EQ(done->hints.value("category").toString(), "transfer.complete");
    EXPECT_EQ(NotificationServer::actionKeys(*done), QStringList({"default", "reveal"}));
    server.invokeAction(done->id, "reveal");
    ASSERT_TRUE(waitUntil([&] { return !actions->revealed.isEmpty(); }, 20s));
    EXPECT_EQ(actions->revealed, QStringList({*outcome}));

    cancel = true;
    exporter.start("/videos/Loomcast/2024-05-02 14-05-10");
    ASSERT_TRUE(waitUntil([&] { return exporter.state().kind == ExportState::Kind::failed; }, 20s));
    cancel = false;
    outcome = makeError("The disk is full");
    exporter.start("/videos/Loomcast/2024-05-02 14-05-10");
    const auto* failed = waitForNotification(server, 2);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->body, "The disk is full") << "the cancelled export was not told";
}

TEST_F(NotificationsTest, ATrayNoteTheDesktopCouldNotShowIsTriedAgain) {
    Settings settings({}, true);
    ExportController exporter;
    Notifications notifications(notifier(), actions, settings, exporter, [] { return false; });
    notifications.closedToTray(false);
    ASSERT_TRUE(waitUntil([&] { return !logs.isEmpty(); }, 20s));
    QCoreApplication::processEvents();
    EXPECT_FALSE(settings.trayNoteShown());

    NotificationServer server(*bus);
    ASSERT_TRUE(server.registered());
    notifications.closedToTray(false);
    const auto* note = waitForNotification(server, 1);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->body, "Open Loomcast again or quit it from its icon in the tray.");
    ASSERT_TRUE(waitUntil([&] { return settings.trayNoteShown(); }, 20s));
}
