#pragma once
// A private D-Bus daemon for one test binary, and a stand-in for the desktop's notification
// service on it: the peer the notifier talks to, not code under test. Main thread only; the
// service answers while the test's event loop runs (waitUntil spins it).
#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <vector>

namespace lc::test {

// dbus-daemon with a configuration of its own: no service can be started on demand, so a
// missing service stays missing whatever is installed here.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return !address_.isEmpty(); }
    const QString& error() const { return error_; }
    const QString& address() const { return address_; }
    // A new connection of this process to the bus, under a name unique in the process.
    QDBusConnection connect(const QString& purpose) const;

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QString error_;
};

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Received {
        QString appName;
        QString icon;
        QString summary;
        QString body;
        QStringList actions; // key, label, key, label …
        QVariantMap hints;
        int timeout = 0;
        uint id = 0;
    };

    // Takes org.freedesktop.Notifications on the bus; `capabilities` is what it says it can do.
    explicit NotificationServer(const PrivateBus& bus, QStringList capabilities = {QStringLiteral("actions"),
                                                                                   QStringLiteral("body")});
    ~NotificationServer() override;

    bool registered() const { return registered_; }
    const std::vector<Received>& received() const { return received_; }
    // How often a client asked what the service can do (a notifier does before it notifies).
    int queries() const { return queries_; }
    // The keys of a notification's actions, in order.
    static QStringList actionKeys(const Received& r);

    // As a user would: a button of notification `id` chosen, or the notification closed.
    void invokeAction(uint id, const QString& key);
    void close(uint id);

public slots:
    QStringList GetCapabilities();
    uint Notify(const QString& appName, uint replacesId, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout);
    void CloseNotification(uint id);

private:
    void emitSignal(const QString& name, const QVariantList& arguments);
    QDBusConnection bus_;
    QStringList capabilities_;
    bool registered_ = false;
    std::vector<Received> received_;
    uint next_ = 1;
    int queries_ = 0;
};

} // namespace lc::test
