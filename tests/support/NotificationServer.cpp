#include "NotificationServer.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QUuid>

namespace lc::test {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

} // namespace

PrivateBus::PrivateBus() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        error_ = QStringLiteral("cannot write ") + config;
        return;
    }
    file.write(
        QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
            .arg(dir_.path())
            .toUtf8());
    file.close();
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config, QStringLiteral("--print-address=1"),
                   QStringLiteral("--nofork"), QStringLiteral("--nopidfile")});
    if (!daemon_.waitForStarted(10000)) {
        error_ = QStringLiteral("dbus-daemon did not start: ") + daemon_.errorString();
        return;
    }
    // The daemon prints its address once it listens.
    QByteArray out;
    while (!out.contains('\n') && daemon_.waitForReadyRead(30000))
        out += daemon_.readAllStandardOutput();
    if (!out.contains('\n')) {
        error_ = QStringLiteral("dbus-daemon printed no address: ") +
                 QString::fromUtf8(daemon_.readAllStandardError());
        return;
    }
    address_ = QString::fromUtf8(out.left(out.indexOf('\n'))).trimmed();
}

PrivateBus::~PrivateBus() {
    if (daemon_.state() == QProcess::NotRunning) return;
    daemon_.terminate();
    if (!daemon_.waitForFinished(10000)) {
        daemon_.kill();
        daemon_.waitForFinished();
    }
}

QDBusConnection PrivateBus::connect(const QString& purpose) const {
    return QDBusConnection::connectToBus(address_,
                                         purpose + u'-' + QUuid::createUuid().toString(QUuid::Id128));
}

NotificationServer::NotificationServer(const PrivateBus& bus, QStringList capabilities)
    : bus_(bus.connect(QStringLiteral("notification-server"))), capabilities_(std::move(capabilities)) {
    registered_ = bus_.isConnected() && bus_.registerObject(kPath, this, QDBusConnection::ExportAllSlots) &&
                  bus_.registerService(kService);
}

NotificationServer::~NotificationServer() {
    if (registered_) {
        bus_.unregisterService(kService);
        bus_.unregisterObject(kPath);
    }
    QDBusConnection::disconnectFromBus(bus_.name());
}

QStringList NotificationServer::actionKeys(const Received& r) {
    QStringList keys;
    for (qsizetype i = 0; i + 1 < r.actions.size(); i += 2)
        keys << r.actions[i];
    return keys;
}

QStringList NotificationServer::GetCapabilities() {
    ++queries_;
    return capabilities_;
}

uint NotificationServer::Notify(const QString& appName, uint, const QString& icon, const QString& summary,
                                const QString& body, const QStringList& actions, const QVariantMap& hints,
                                int timeout) {
    received_.push_back({appName, icon, summary, body, actions, hints, timeout, next_});
    return next_++;
}

void NotificationServer::CloseNotification(uint id) {
    close(id);
}

void NotificationServer::invokeAction(uint id, const QString& key) {
    emitSignal(QStringLiteral("ActionInvoked"), {id, key});
}

void NotificationServer::close(uint id) {
    emitSignal(QStringLiteral("NotificationClosed"), {id, uint(2)});
}

void NotificationServer::emitSignal(const QString& name, const QVariantList& arguments) {
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, name);
    signal.setArguments(arguments);
    bus_.send(signal);
}

} // namespace lc::test
