#pragma once
// What the D-Bus back ends share: the session bus opened off the main thread and handed back to
// the object that asked, and a log line's default destination.
#include "common/BlockingCalls.h"
#include "common/PostGate.h"

#include <QDBusConnection>
#include <QString>
#include <cstdio>
#include <functional>
#include <memory>

namespace lc::dbus {

// Opening a bus waits for its daemon's answer: on the blocking-call pool, where a daemon that
// hangs holds up nobody. `opened` runs on the main thread, unless the object is gone by then.
// An empty `connect` opens the session bus.
template <class T>
void openBusOffThread(std::function<QDBusConnection()> connect, std::shared_ptr<PostGate<T>> gate,
                      void (T::*opened)(QDBusConnection)) {
    if (!connect) connect = [] { return QDBusConnection::sessionBus(); };
    runBlocking([connect = std::move(connect), gate = std::move(gate), opened] {
        QDBusConnection bus = connect();
        gate->post([bus, opened](T& self) { (self.*opened)(bus); });
    });
}

// A back end's log when its owner gives none: standard error.
inline std::function<void(const QString&)> logToStandardError() {
    return [](const QString& line) { std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData()); };
}

} // namespace lc::dbus
