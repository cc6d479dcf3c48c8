#pragma once
// Desktop notifications: a short message outside the window, with a few buttons. Main thread
// only: show() returns at once and never waits for the desktop; the answers come back later on
// the main thread through the handlers. A desktop without a notification service drops them.
#include <QString>
#include <functional>
#include <vector>

namespace lc {

struct Notification {
    // A button; the key "default" is a click on the notification itself (no button is drawn).
    struct Action {
        QString key;
        QString label;
        friend bool operator==(const Action&, const Action&) = default;
    };
    enum class Urgency { low, normal, critical };

    QString summary;
    QString body;
    std::vector<Action> actions; // in the order shown
    Urgency urgency = Urgency::normal;
    QString category; // a freedesktop category ("transfer.complete"); empty: none

    friend bool operator==(const Notification&, const Notification&) = default;
};

class Notifier {
public:
    struct Handlers {
        // The user chose the action with this key; at most once per notification.
        std::function<void(const QString& key)> action;
        // Whether the desktop took the notification (false: no service, or it refused).
        std::function<void(bool shown)> shown;
    };

    virtual ~Notifier() = default;
    virtual void show(Notification notification, Handlers handlers = {}) = 0;
};

} // namespace lc
