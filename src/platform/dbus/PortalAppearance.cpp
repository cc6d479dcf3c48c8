#include "platform/dbus/PortalAppearance.h"

#include "platform/dbus/BusOpening.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <cmath>

namespace lc::dbus {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kScheme = QStringLiteral("color-scheme");
const QString kAccent = QStringLiteral("accent-color");

// The older Read wraps the value in a second variant; a signal's value comes in one.
QVariant unwrapped(QVariant value) {
    for (int depth = 0; depth < 4 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace

std::optional<DesktopLook::Scheme> PortalAppearance::schemeFrom(const QVariant& raw) {
    const QVariant value = unwrapped(raw);
    switch (value.userType()) {
    case QMetaType::UInt:
    case QMetaType::Int:
    case QMetaType::UShort:
    case QMetaType::Short:
    case QMetaType::UChar:
        break;
    default:
        return std::nullopt;
    }
    switch (value.toLongLong()) {
    case 0:
        return DesktopLook::Scheme::noPreference;
    case 1:
        return DesktopLook::Scheme::dark;
    case 2:
        return DesktopLook::Scheme::light;
    default:
        return std::nullopt;
    }
}

namespace {

// The three channels of a (ddd) structure, as they are; nothing for any other value. A structure
// is read once: reading moves through it.
std::optional<DesktopLook::Colour> channelsOf(const QVariant& value) {
    if (value.userType() != qMetaTypeId<QDBusArgument>()) return std::nullopt;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("(ddd)")) return std::nullopt;
    DesktopLook::Colour c;
    argument.beginStructure();
    argument >> c.red >> c.green >> c.blue;
    argument.endStructure();
    return c;
}

bool finite(const DesktopLook::Colour& c) {
    return std::isfinite(c.red) && std::isfinite(c.green) && std::isfinite(c.blue);
}

// Out of range is how the portal says "no accent colour".
bool inRange(const DesktopLook::Colour& c) {
    for (double channel : {c.red, c.green, c.blue})
        if (channel < 0 || channel > 1) return false;
    return true;
}

} // namespace

std::optional<DesktopLook::Colour> PortalAppearance::accentFrom(const QVariant& raw) {
    const auto c = channelsOf(unwrapped(raw));
    if (!c || !finite(*c) || !inRange(*c)) return std::nullopt;
    return c;
}

PortalAppearance::PortalAppearance(Options options)
    : options_(std::move(options)), gate_(std::make_shared<PostGate<PortalAppearance>>(this)) {
    if (!options_.log) options_.log = logToStandardError();
    openBusOffThread(options_.connect, gate_, &PortalAppearance::busOpened);
}

PortalAppearance::~PortalAppearance() {
    gate_->close();
}

void PortalAppearance::busOpened(QDBusConnection bus) {
    opened_ = true;
    if (!bus.isConnected()) return; // no session bus: the look stays unknown
    connection_ = bus;
    // Any sender: naming the service would make Qt look up its owner with a blocking call. The
    // slot keeps to the portal that answered.
    // The slot's variant argument must be a known type before Qt matches the slot to the signal.
    qRegisterMetaType<QDBusVariant>();
    bus.connect(QString(), kPath, kInterface, QStringLiteral("SettingChanged"), this,
                SLOT(onSettingChanged(QString, QString, QDBusVariant, QDBusMessage)));
    read(kScheme);
    read(kAccent);
}

void PortalAppearance::read(const QString& key, bool older) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, kInterface, older ? QStringLiteral("Read") : QStringLiteral("ReadOne"));
    call << kGroup << key;
    ++pending_;
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key, older](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                --pending_;
                const QDBusPendingReply<QDBusVariant> reply = *w;
                if (reply.isError()) {
                    // A portal before version 2 knows only Read.
                    if (!older && reply.error().type() == QDBusError::UnknownMethod) return read(key, true);
                    // Not set on this desktop (the portal answered, and may tell a change
                    // later), or no portal at all (the bus answered): the fallbacks hold.
                    const QString from = reply.reply().service();
                    if (!from.isEmpty() && from != QLatin1String("org.freedesktop.DBus")) owner_ = from;
                    return;
                }
                owner_ = reply.reply().service();
                take(key, reply.value().variant());
            });
}

void PortalAppearance::onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value,
                                        const QDBusMessage& message) {
    if (owner_.isEmpty() || message.service() != owner_ || group != kGroup) return;
    take(key, value.variant());
}

void PortalAppearance::take(const QString& key, const QVariant& value) {
    DesktopLook look = look_;
    const QVariant inner = unwrapped(value);
    if (key == kScheme) {
        const bool integer = inner.userType() == QMetaType::UInt || inner.userType() == QMetaType::Int;
        if (!integer) {
            // Not what the portal sends: ignored, what was known stays.
            options_.log(QStringLiteral("The desktop's colour scheme is not a number; ignored"));
            return;
        }
        // A value this version does not know means no preference, as the portal documents.
        look.scheme = schemeFrom(inner).value_or(DesktopLook::Scheme::noPreference);
    } else if (key == kAccent) {
        const auto channels = channelsOf(inner);
        if (!channels || !finite(*channels)) {
            options_.log(QStringLiteral("The desktop's accent colour is not a colour; ignored"));
            return;
        }
        look.accent = inRange(*channels) ? channels : std::nullopt;
    } else {
        return;
    }
    set(look);
}

void PortalAppearance::set(DesktopLook look) {
    if (look == look_) return;
    look_ = look;
    if (changed_) changed_();
}

} // namespace lc::dbus
