#pragma once
// The live microphone: its devices, whether it may be used, its level, and keeping the monitor
// running as the settings ask. Main thread only; the monitor's callbacks reach it through a gate.
// Nothing here waits for the sound server: its answers (authorization, devices, whether the
// capture started) come from other threads and are posted back.
#include "capture/MicMonitor.h"
#include "common/PostGate.h"
#include "platform/Audio.h"
#include "platform/MovieWriter.h"

#include <QObject>
#include <QString>
#include <QTimer>
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
    // While the switch is on and the microphone does not run: how often it is started again.
    static constexpr int kRetryMs = 1000;

    // Follows `settings` (which must outlive it); `notice` shows a one-line message.
    Microphone(std::shared_ptr<AudioSystem> audio, MovieWriterFactory makeWriter, Settings& settings,
               Notice notice, QObject* parent = nullptr);
    ~Microphone() override;

    MicMonitor& monitor() { return *mic_; }
    float micLevel() const { return micLevel_; }
    const std::vector<MicDevice>& micDevices() const { return micDevices_; }
    // notDetermined until the sound server's first answer.
    MicAuthorization micAuth() const { return micAuth_; }
    // The chosen device's name, "default" when it is not known.
    QString deviceName() const;

    // Starts or stops the monitor as the settings say. A microphone that cannot run says why in
    // the notice and is started again every kRetryMs while the switch is on; the switch itself
    // only ever changes when the user changes it.
    void applyMic();
    // Re-reads the devices (answer posted later); a chosen device that went away falls back to
    // the default one. Without a sound server nothing changes.
    void loadMicDevices();
    // Asks whether a sound server answers; `reapply`: then applyMic.
    void requestAccess(bool reapply);
    // Re-reads the authorization, telling even when it did not change.
    void recheckAuthorization();

    // A session runs from `uptime` on (absent: none): a microphone that stops then says when.
    void setSessionStart(std::optional<double> uptime) { sessionStart_ = uptime; }
    // True once the microphone runs; waits up to `seconds` for a start still under way.
    QCoro::Task<bool> waitUntilRunning(double seconds);

signals:
    void micLevelChanged(float level);
    void micDevicesChanged();
    void micAuthChanged();
    // A start left the microphone running (at launch, or again after it was absent or failed).
    void started();

private:
    void setMicLevel(float level);
    void setMicAuth(MicAuthorization auth);
    void startMonitor();
    void startAnswered(bool running, std::optional<std::string> why);
    void stoppedByItself(const std::string& reason);
    void devicesListed(Result<std::vector<AudioDevice>> list);
    void askAuthorization(std::function<void(Microphone&, MicAuthorization)> then);
    void retry();

    std::shared_ptr<AudioSystem> audio_;
    Settings& settings_;
    Notice notice_;
    std::unique_ptr<MicMonitor> mic_;
    std::shared_ptr<PostGate<Microphone>> gate_;
    QTimer retry_;
    float micLevel_ = 0;
    std::vector<MicDevice> micDevices_;
    MicAuthorization micAuth_ = MicAuthorization::notDetermined;
    std::optional<double> sessionStart_;
    bool failing_ = false;   // the notice already tells why the microphone does not run
    bool listing_ = false;   // a device list is being asked for
    bool listAgain_ = false; // … and another one was wanted meanwhile
    bool firstList_ = true;  // no device list has been answered yet
    bool checking_ = false;  // a recheck of the authorization is under way
};

} // namespace lc
