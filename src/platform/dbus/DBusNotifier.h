#pragma once
// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). Main thread only, like the interface.
// Nothing here waits on the bus: it is opened on a worker thread, and every call is
// asynchronous. A missing service (or bus) costs one log line; with a bus, each later show()
// asks again, since a notification daemon may start after us.
#include "common/PostGate.h"
#include "platform/Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace lc::dbus {

struct DBusNotifierOptions {
    // Opens the bus; runs once, off the main thread. Empty: the session bus.
    std::function<QDBusConnection()> connect;
    QString appName = QStringLiteral("Loomcast");
    QString icon = QStringLiteral("org.loomcast.Loomcast"); // also the desktop entry's name
    // Where the one line about a missing service goes (empty: standard error).
    std::function<void(const QString& line)> log;
};

class DBusNotifier final : public QObject, public Notifier {
    Q_OBJECT
public:
    using Options = DBusNotifierOptions;

    explicit DBusNotifier(Options options = {});
    ~DBusNotifier() override;

    void show(Notification notification, Handlers handlers = {}) override;

private slots:
    // The service's signals; `message` tells who sent them.
    void onActionInvoked(uint id, const QString& key, const QDBusMessage& message);
    void onClosed(uint id, uint reason, const QDBusMessage& message);

private:
    struct Waiting {
        Notification notification;
        Handlers handlers;
    };
    enum class Bus { opening, open, absent };

    void busOpened(QDBusConnection bus);
    // Asks for the service's capabilities: the answer says it is there, and whether the body
    // takes markup (which then has to be escaped).
    void probe();
    void flush();
    void send(Waiting waiting);
    // The service did not answer: what waits is dropped, and the first time it is logged.
    void unavailable(const QString& why);
    void later(std::function<void()> work);

    Options options_;
    Bus bus_ = Bus::opening;
    std::optional<QDBusConnection> connection_;
    QString owner_;                  // the service's unique name, once it answered
    std::optional<bool> bodyMarkup_; // known once the service answered
    bool probing_ = false;
    bool told_ = false; // the missing service was logged
    std::deque<Waiting> waiting_;
    std::map<uint, Handlers> shown_; // by the service's id, until closed or acted on
    std::shared_ptr<PostGate<DBusNotifier>> gate_;
};

} // namespace lc::dbus
