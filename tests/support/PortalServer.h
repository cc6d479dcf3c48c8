#pragma once
// A stand-in for the desktop portal's settings (org.freedesktop.portal.Settings on
// org.freedesktop.portal.Desktop) on a private bus: the peer the appearance back end talks to,
// not code under test. Main thread only; it answers while the test's event loop runs.
#include "NotificationServer.h"

#include <QDBusContext>
#include <QDBusVariant>
#include <QObject>
#include <map>
#include <optional>

namespace lc::test {

class PortalSettingsServer : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    // `readOne` false: an older portal that knows only Read.
    explicit PortalSettingsServer(const PrivateBus& bus, bool readOne = true);
    ~PortalSettingsServer() override;

    bool registered() const { return registered_; }
    // The value answered for a key of "org.freedesktop.appearance"; an invalid one: not set.
    void set(const QString& key, const QVariant& value);
    // As the desktop does when the user changes it: set, and the SettingChanged signal.
    void change(const QString& key, const QVariant& value);
    // The portal's accent colour value: a (ddd) structure.
    static QVariant accent(double red, double green, double blue);
    // How many reads reached the service.
    int reads() const { return reads_; }

public slots:
    QDBusVariant ReadOne(const QString& group, const QString& key);
    QDBusVariant Read(const QString& group, const QString& key);

private:
    std::optional<QVariant> lookUp(const QString& group, const QString& key);
    QDBusConnection bus_;
    bool readOne_;
    bool registered_ = false;
    std::map<QString, QVariant> values_;
    int reads_ = 0;
};

} // namespace lc::test
