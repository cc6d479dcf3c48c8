#pragma once
// The desktop's look through the XDG desktop portal's settings (org.freedesktop.portal.Settings
// on the session bus: "org.freedesktop.appearance" "color-scheme" and "accent-color", and their
// SettingChanged signal). Main thread only, like the interface. Nothing waits on the bus: it is
// opened on a worker thread and every call is asynchronous, so a missing or hung portal leaves
// the look unknown ("no preference") and the window as it is.
#include "common/PostGate.h"
#include "platform/DesktopAppearance.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <functional>
#include <memory>
#include <optional>

namespace lc::dbus {

struct PortalAppearanceOptions {
    // Opens the bus; runs once, off the main thread. Empty: the session bus.
    std::function<QDBusConnection()> connect;
    // Where a line about a value the portal sent that makes no sense goes (empty: standard error).
    std::function<void(const QString& line)> log;
};

class PortalAppearance final : public QObject, public DesktopAppearance {
    Q_OBJECT
public:
    using Options = PortalAppearanceOptions;

    explicit PortalAppearance(Options options = {});
    ~PortalAppearance() override;

    DesktopLook current() const override { return look_; }
    void setChangeHandler(std::function<void()> changed) override { changed_ = std::move(changed); }

    // Both first readings came back (answered, refused or failed): the look is what the
    // desktop says, or stays unknown for good when there is no portal.
    bool settled() const { return pending_ == 0 && opened_; }

    // The portal's values as they come over the bus (a variant, possibly inside another);
    // nothing when the value is of the wrong type or out of range.
    static std::optional<DesktopLook::Scheme> schemeFrom(const QVariant& value);
    static std::optional<DesktopLook::Colour> accentFrom(const QVariant& value);

private slots:
    void onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value,
                          const QDBusMessage& message);

private:
    void busOpened(QDBusConnection bus);
    // Asks for one key with ReadOne, or with the older Read where the portal lacks ReadOne.
    void read(const QString& key, bool older = false);
    void take(const QString& key, const QVariant& value);
    void set(DesktopLook look);

    Options options_;
    std::optional<QDBusConnection> connection_;
    QString owner_; // the portal's unique name, once it answered
    DesktopLook look_;
    int pending_ = 0;
    bool opened_ = false;
    std::function<void()> changed_;
    std::shared_ptr<PostGate<PortalAppearance>> gate_;
};

} // namespace lc::dbus
