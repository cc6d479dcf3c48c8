#include "PortalServer.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>

namespace lc::test {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");

} // namespace

PortalSettingsServer::PortalSettingsServer(const PrivateBus& bus, bool readOne)
    : bus_(bus.connect(QStringLiteral("portal"))), readOne_(readOne) {
    registered_ = bus_.isConnected() && bus_.registerObject(kPath, this, QDBusConnection::ExportAllSlots) &&
                  bus_.registerService(kService);
}

PortalSettingsServer::~PortalSettingsServer() {
    if (registered_) {
        bus_.unregisterService(kService);
        bus_.unregisterObject(kPath);
    }
    QDBusConnection::disconnectFromBus(bus_.name());
}

QVariant PortalSettingsServer::accent(double red, double green, double blue) {
    QDBusArgument argument;
    argument.beginStructure();
    argument << red << green << blue;
    argument.endStructure();
    return QVariant::fromValue(argument);
}

void PortalSettingsServer::set(const QString& key, const QVariant& value) {
    if (value.isValid())
        values_[key] = value;
    else
        values_.erase(key);
}

void PortalSettingsServer::change(const QString& key, const QVariant& value) {
    set(key, value);
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("SettingChanged"));
    signal << kGroup << key << QVariant::fromValue(QDBusVariant(value));
    bus_.send(signal);
}

std::optional<QVariant> PortalSettingsServer::lookUp(const QString& group, const QString& key) {
    ++reads_;
    const auto it = values_.find(key);
    if (group != kGroup || it == values_.end()) {
        sendErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                       QStringLiteral("Requested setting not found"));
        return std::nullopt;
    }
    return it->second;
}

QDBusVariant PortalSettingsServer::ReadOne(const QString& group, const QString& key) {
    if (!readOne_) {
        sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("No such method ReadOne"));
        return {};
    }
    const auto value = lookUp(group, key);
    return value ? QDBusVariant(*value) : QDBusVariant();
}

QDBusVariant PortalSettingsServer::Read(const QString& group, const QString& key) {
    // Read answers a variant inside a variant.
    const auto value = lookUp(group, key);
    return value ? QDBusVariant(QVariant::fromValue(QDBusVariant(*value))) : QDBusVariant();
}

} // namespace lc::test
