#include "platform/dbus/DBusNotifier.h"

#include "platform/dbus/BusOpening.h"

#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace lc::dbus {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

uchar urgencyByte(Notification::Urgency urgency) {
    switch (urgency) {
    case Notification::Urgency::low:
        return 0;
    case Notification::Urgency::normal:
        return 1;
    case Notification::Urgency::critical:
        return 2;
    }
    return 1;
}

} // namespace

DBusNotifier::DBusNotifier(Options options)
    : options_(std::move(options)), gate_(std::make_shared<PostGate<DBusNotifier>>(this)) {
    if (!options_.log) options_.log = logToStandardError();
    openBusOffThread(options_.connect, gate_, &DBusNotifier::busOpened);
}

DBusNotifier::~DBusNotifier() {
    gate_->close();
}

void DBusNotifier::show(Notification notification, Handlers handlers) {
    if (bus_ == Bus::absent) {
        if (handlers.shown) later([shown = std::move(handlers.shown)] { shown(false); });
        return;
    }
    waiting_.push_back({std::move(notification), std::move(handlers)});
    if (bus_ == Bus::open) bodyMarkup_ ? flush() : probe();
}

void DBusNotifier::later(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void DBusNotifier::busOpened(QDBusConnection bus) {
    if (!bus.isConnected()) {
        bus_ = Bus::absent;
        unavailable(QStringLiteral("no session bus (") + bus.lastError().message() + u')');
        return;
    }
    connection_ = bus;
    bus_ = Bus::open;
    // Any sender: naming the service would make Qt look up its owner with a blocking call. The
    // slots keep to the owner that answered.
    bus.connect(QString(), kPath, kService, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    bus.connect(QString(), kPath, kService, QStringLiteral("NotificationClosed"), this,
                SLOT(onClosed(uint, uint, QDBusMessage)));
    if (!waiting_.empty()) probe();
}

void DBusNotifier::probe() {
    if (probing_ || !connection_) return;
    probing_ = true;
    const QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        probing_ = false;
        const QDBusPendingReply<QStringList> reply = *w;
        if (reply.isError()) return unavailable(reply.error().message());
        owner_ = reply.reply().service();
        bodyMarkup_ = reply.value().contains(QStringLiteral("body-markup"));
        told_ = false; // should it go away again, that is worth a line too
        flush();
    });
}

void DBusNotifier::flush() {
    while (!waiting_.empty()) {
        Waiting next = std::move(waiting_.front());
        waiting_.pop_front();
        send(std::move(next));
    }
}

void DBusNotifier::send(Waiting waiting) {
    const Notification& n = waiting.notification;
    QStringList actions;
    for (const Notification::Action& a : n.actions)
        actions << a.key << a.label;
    QVariantMap hints{{QStringLiteral("desktop-entry"), options_.icon},
                      {QStringLiteral("urgency"), QVariant::fromValue(urgencyByte(n.urgency))}};
    if (!n.category.isEmpty()) hints.insert(QStringLiteral("category"), n.category);
    // A service that reads markup would take "<" or "&" in a file name for it.
    const QString body = bodyMarkup_.value_or(false) ? n.body.toHtmlEscaped() : n.body;

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    call << options_.appName << uint(0) << options_.icon << n.summary << body << actions << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, handlers = std::move(waiting.handlers)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    // Gone since it last answered: the next show() asks again.
                    bodyMarkup_.reset();
                    owner_.clear();
                    unavailable(reply.error().message());
                    if (handlers.shown) handlers.shown(false);
                    return;
                }
                if (handlers.action) shown_[reply.value()] = handlers;
                if (handlers.shown) handlers.shown(true);
            });
}

void DBusNotifier::unavailable(const QString& why) {
    std::deque<Waiting> dropped;
    dropped.swap(waiting_);
    if (!told_) {
        told_ = true;
        options_.log(QStringLiteral("Desktop notifications are off: ") + why);
    }
    for (Waiting& w : dropped) {
        if (w.handlers.shown) w.handlers.shown(false);
    }
}

void DBusNotifier::onActionInvoked(uint id, const QString& key, const QDBusMessage& message) {
    if (message.service() != owner_) return;
    const auto it = shown_.find(id);
    if (it == shown_.end()) return;
    const std::function<void(const QString&)> action = std::move(it->second.action);
    shown_.erase(it);
    action(key);
}

void DBusNotifier::onClosed(uint id, uint, const QDBusMessage& message) {
    if (message.service() == owner_) shown_.erase(id);
}

} // namespace lc::dbus
