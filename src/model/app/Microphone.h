#pragma once
// The live microphone: its devices, whether it may be used, its level, and keeping the monitor
// running as the settings ask. Main thread only; the monitor's callbacks reach it through a gate.
#include "capture/MicMonitor.h"
#include "common/PostGate.h"
#include "platform/Audio.h"
#include "platform/MovieWriter.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

namespace lc {

class Settings;

struct MicDevice {
    QString id;
    QString name;
    friend bool operator==(const MicDevice&, const MicDevice&) = default;
};

class Microphone : public QObject {
    Q_OBJECT
public:
    using Notice = std::function<void(const std::optional<QString>& text)>;

    // Follows `settings` (which must outlive it); `notice` shows a one-line message.
    Microphone(std::shared_ptr<AudioSystem> audio, MovieWriterFactory makeWriter, Settings& settings,
               Notice notice, QObject* parent = nullptr);
    ~Microphone() override;

    MicMonitor& monitor() { return *mic_; }
    float micLevel() const { return micLevel_; }
    const std::vector<MicDevice>& micDevices() const { return micDevices_; }
    MicAuthorization micAuth() const { return micAuth_; }
    // The chosen device's name, "default" when it is not known.
    QString deviceName() const;

    // Starts or stops the monitor as the settings say; turns the switch off when it may not run.
    void applyMic();
    // Re-reads the devices; a chosen device that went away falls back to the default one.
    void loadMicDevices();
    // Asks (off the main thread) whether a sound server answers; `reapply`: then applyMic.
    void requestAccess(bool reapply);
    // Re-reads the authorization, telling even when it did not change.
    void recheckAuthorization();

signals:
    void micLevelChanged(float level);
    void micDevicesChanged();
    void micAuthChanged();

private:
    void setMicLevel(float level);
    void setMicAuth(MicAuthorization auth);
    QCoro::Task<> requestMicAccess(bool reapply);

    Settings& settings_;
    Notice notice_;
    std::unique_ptr<MicMonitor> mic_;
    std::shared_ptr<PostGate<Microphone>> gate_;
    float micLevel_ = 0;
    std::vector<MicDevice> micDevices_;
    MicAuthorization micAuth_ = MicAuthorization::notDetermined;
};

} // namespace lc
