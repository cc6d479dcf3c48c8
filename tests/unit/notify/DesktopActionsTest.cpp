// Showing folders and files through the desktop's file manager on a private bus, and xdg-open
// whenever the file manager cannot answer: none on the bus, no bus, one that hangs.
#include "NotificationServer.h"
#include "TestSupport.h"

#include "platform/dbus/SystemDesktopActions.h"

#include <QDBusContext>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc;
using namespace lc::test;
using namespace std::chrono_literals;

namespace {

// The peer: answers ShowFolders and ShowItems, or holds every call unanswered.
class FileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    FileManager(const PrivateBus& bus, bool hang) : bus_(bus.connect(QStringLiteral("files"))), hang_(hang) {
        registered = bus_.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), this,
                                         QDBusConnection::ExportAllSlots) &&
                     bus_.registerService(QStringLiteral("org.freedesktop.FileManager1"));
    }
    ~FileManager() override { bus_.unregisterService(QStringLiteral("org.freedesktop.FileManager1")); }

    bool registered = false;
    QStringList calls; // method and first URI

public slots:
    void ShowFolders(const QStringList& uris, const QString&) {
        received(QStringLiteral("ShowFolders"), uris);
    }
    void ShowItems(const QStringList& uris, const QString&) { received(QStringLiteral("ShowItems"), uris); }

private:
    void received(const QString& method, const QStringList& uris) {
        calls << method + u' ' + uris.value(0);
        if (hang_) setDelayedReply(true); // and never answer
    }
    QDBusConnection bus_;
    bool hang_;
};

class DesktopActionsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bus = std::make_unique<PrivateBus>(); }
    static void TearDownTestSuite() { bus.reset(); }
    void SetUp() override { ASSERT_TRUE(bus->ok()) << bus->error().toStdString(); }

    std::shared_ptr<DesktopActions> actions(std::function<QDBusConnection()> connect = {}) {
        dbus::DesktopActionsOptions o;
        o.connect = connect ? connect : [] { return bus->connect(QStringLiteral("client")); };
        o.launch = [this](const QString& program, const QStringList& args) {
            launched << program + u' ' + args.join(u' ');
            return true;
        };
        o.answerTimeout = 500ms;
        return dbus::systemDesktopActions(std::move(o));
    }

    static inline std::unique_ptr<PrivateBus> bus;
    QStringList launched;
    QTemporaryDir dir;
};

TEST_F(DesktopActionsTest, TheFileManagerShowsFoldersAndSelectsFiles) {
    FileManager files(*bus, false);
    ASSERT_TRUE(files.registered);
    auto a = actions();
    const QString movie = dir.filePath(QStringLiteral("Loomcast Final.mp4"));
    a->openFolder(dir.path());
    a->revealFile(movie);
    ASSERT_TRUE(waitUntil([&] { return files.calls.size() == 2; }, 20s));
    EXPECT_EQ(files.calls[0], QStringLiteral("ShowFolders file://") + dir.path());
    EXPECT_EQ(files.calls[1],
              QStringLiteral("ShowItems file://") + QString(movie).replace(u' ', QStringLiteral("%20")));
    // Answered calls never fall back (a fault here could only hide, never fail at random).
    EXPECT_TRUE(launched.isEmpty()) << launched.join(u'\n').toStdString();
}

TEST_F(DesktopActionsTest, XdgOpenShowsWhatNoFileManagerCan) {
    // None on the bus: the folder itself, and a file's folder.
    {
        auto a = actions();
        a->openFolder(dir.path());
        a->revealFile(dir.filePath(QStringLiteral("a.mov")));
        ASSERT_TRUE(waitUntil([&] { return launched.size() == 2; }, 20s));
        EXPECT_EQ(launched[0], QStringLiteral("xdg-open ") + dir.path());
        EXPECT_EQ(launched[1], QStringLiteral("xdg-open ") + dir.path());
    }
    // No bus at all: at once.
    launched.clear();
    {
        auto a = actions([] {
            return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "none");
        });
        a->revealFile(dir.path()); // a folder is shown itself
        ASSERT_EQ(launched.size(), 1);
        EXPECT_EQ(launched[0], QStringLiteral("xdg-open ") + dir.path());
    }
    // One that never answers: after its time is up.
    launched.clear();
    {
        FileManager hung(*bus, true);
        ASSERT_TRUE(hung.registered);
        auto a = actions();
        a->openFolder(dir.path());
        ASSERT_TRUE(waitUntil([&] { return launched.size() == 1; }, 20s));
        EXPECT_EQ(hung.calls.size(), 1);
        EXPECT_EQ(launched[0], QStringLiteral("xdg-open ") + dir.path());
    }
}

} // namespace

#include "DesktopActionsTest.moc"
