#include "model/app/Microphone.h"

#include "capture/Timecode.h"
#include "common/BlockingCalls.h"
#include "common/Clock.h"
#include "model/app/Settings.h"

#include <QPointer>
#include <qcoro/qcorotimer.h>

namespace lc {

namespace {

const QString kMicAccessOff = QStringLiteral(
    "Microphone access is off. Start the sound server (PipeWire or PulseAudio) and try again.");
const QString kMicStartFailed = QStringLiteral("Could not start the microphone");

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

Microphone::Microphone(std::shared_ptr<AudioSystem> audio, MovieWriterFactory makeWriter, Settings& settings,
                       Notice notice, QObject* parent)
    : QObject(parent), audio_(audio), settings_(settings), notice_(std::move(notice)),
      mic_(std::make_unique<MicMonitor>(std::move(audio), std::move(makeWriter))),
      gate_(std::make_shared<PostGate<Microphone>>(this)) {
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &Microphone::retry);
    // Levels and failures come from the microphone's threads.
    mic_->setOnLevel(
        [gate = gate_](float level) { gate->post([level](Microphone& m) { m.setMicLevel(level); }); });
    mic_->setOnFail([gate = gate_](const std::string& message) {
        gate->post([message](Microphone& m) { m.stoppedByItself(message); });
    });
    mic_->setOnFileError([gate = gate_](const std::string& message) {
        gate->post([message](Microphone& m) {
            m.notice_(QStringLiteral("The microphone file failed: ") + text(message));
        });
    });
    connect(&settings_, &Settings::micChoiceChanged, this, &Microphone::applyMic);
    recheckAuthorization();
}

Microphone::~Microphone() {
    gate_->close();
}

QString Microphone::deviceName() const {
    QString name = QStringLiteral("default");
    if (const auto& id = settings_.micDeviceID()) {
        for (const MicDevice& d : micDevices_) {
            if (d.id == *id) name = d.name;
        }
    }
    return name;
}

void Microphone::setMicLevel(float level) {
    if (micLevel_ == level) return;
    micLevel_ = level;
    emit micLevelChanged(level);
}

void Microphone::setMicAuth(MicAuthorization auth) {
    if (micAuth_ == auth) return;
    micAuth_ = auth;
    emit micAuthChanged();
}

void Microphone::askAuthorization(std::function<void(Microphone&, MicAuthorization)> then) {
    runBlocking([audio = audio_, gate = gate_, then = std::move(then)] {
        const MicAuthorization auth = audio->micAuthorization();
        gate->post([auth, then](Microphone& m) { then(m, auth); });
    });
}

void Microphone::recheckAuthorization() {
    // Asked on every refresh: while a server is slow to answer, one question at a time.
    if (std::exchange(checking_, true)) return;
    askAuthorization([](Microphone& m, MicAuthorization auth) {
        m.checking_ = false;
        m.micAuth_ = auth;
        emit m.micAuthChanged();
    });
}

void Microphone::requestAccess(bool reapply) {
    askAuthorization([reapply](Microphone& m, MicAuthorization auth) {
        m.setMicAuth(auth);
        if (reapply) m.applyMic();
    });
}

void Microphone::applyMic() {
    if (!settings_.loaded()) return;
    if (!settings_.micEnabled()) {
        retry_.stop();
        failing_ = false;
        mic_->stop();
        setMicLevel(0);
        return;
    }
    loadMicDevices();
    startMonitor();
}

void Microphone::startMonitor() {
    std::optional<std::string> device;
    if (const auto& id = settings_.micDeviceID()) device = id->toStdString();
    // The monitor starts on its own thread; its answer comes back here.
    mic_->start(device, [gate = gate_, mic = mic_.get()](bool running) {
        gate->post([running, why = mic->startError()](Microphone& m) { m.startAnswered(running, why); });
    });
}

void Microphone::startAnswered(bool running, std::optional<std::string> why) {
    if (!settings_.micEnabled()) return; // switched off meanwhile: its stop is queued after
    if (running) {
        setMicAuth(MicAuthorization::authorized);
        retry_.stop();
        if (std::exchange(failing_, false)) loadMicDevices();
        emit started();
        return;
    }
    if (!retry_.isActive()) retry_.start();
    if (failing_) return; // told already; the next start will tell when it runs
    failing_ = true;
    // Whether a sound server answers at all decides which reason the user needs.
    askAuthorization([why = why.value_or(std::string())](Microphone& m, MicAuthorization auth) {
        m.setMicAuth(auth);
        if (!m.settings_.micEnabled() || m.mic_->isRunning()) return;
        if (auth != MicAuthorization::authorized) return m.notice_(kMicAccessOff);
        m.notice_(why.empty() ? kMicStartFailed : kMicStartFailed + QStringLiteral(": ") + text(why));
    });
}

void Microphone::stoppedByItself(const std::string& reason) {
    if (!settings_.micEnabled()) return;
    setMicLevel(0);
    failing_ = true;
    if (sessionStart_) {
        notice_(QStringLiteral("Sound stopped at ") + formatTime(std::max(0.0, uptime() - *sessionStart_)) +
                QStringLiteral(": ") + text(reason));
    } else {
        notice_(QStringLiteral("Microphone stopped: ") + text(reason));
    }
    retry_.start();
}

void Microphone::retry() {
    if (!settings_.micEnabled() || mic_->isRunning()) return retry_.stop();
    if (mic_->isStarting()) return;
    startMonitor();
}

QCoro::Task<bool> Microphone::waitUntilRunning(double seconds) {
    QPointer<Microphone> self(this);
    const double until = uptime() + seconds;
    while (self && settings_.micEnabled() && !mic_->isRunning() && mic_->isStarting() && uptime() < until)
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
    co_return self&& settings_.micEnabled() && mic_->isRunning();
}

void Microphone::loadMicDevices() {
    if (listing_) {
        listAgain_ = true;
        return;
    }
    listing_ = true;
    runBlocking([audio = audio_, gate = gate_] {
        auto list = audio->microphones();
        gate->post([list = std::move(list)](Microphone& m) mutable { m.devicesListed(std::move(list)); });
    });
}

void Microphone::devicesListed(Result<std::vector<AudioDevice>> answer) {
    listing_ = false;
    if (std::exchange(listAgain_, false)) loadMicDevices();
    // Without an answer the list and the saved choice stay as they are.
    if (!answer) return;
    std::vector<MicDevice> list;
    std::optional<QString> defaultID;
    for (const AudioDevice& d : *answer) {
        list.push_back(MicDevice{text(d.id), text(d.name)});
        if (d.isDefault && !defaultID) defaultID = list.back().id;
    }
    if (micDevices_ != list) {
        micDevices_ = list;
        emit micDevicesChanged();
    }
    const bool first = std::exchange(firstList_, false);
    if (const auto& chosen = settings_.micDeviceID()) {
        for (const MicDevice& d : micDevices_) {
            if (d.id == *chosen) return;
        }
    }
    std::optional<QString> fallback;
    if (defaultID) {
        fallback = defaultID;
    } else if (!micDevices_.empty()) {
        fallback = micDevices_.front().id;
    }
    // The launch's own answer only fills in the choice, as loading does; later ones save it.
    if (first) {
        settings_.adoptMicDeviceID(fallback);
    } else {
        settings_.setMicDeviceID(fallback);
    }
}

} // namespace lc
