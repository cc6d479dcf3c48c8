#include "model/app/Microphone.h"

#include "common/Detached.h"
#include "model/app/Settings.h"

#include <QPointer>
#include <QtConcurrent/QtConcurrent>
#include <qcoro/qcorofuture.h>

namespace lc {

namespace {

const QString kMicAccessOff = QStringLiteral(
    "Microphone access is off. Start the sound server (PipeWire or PulseAudio) and try again.");
const QString kMicStartFailed = QStringLiteral("Could not start the microphone");

} // namespace

Microphone::Microphone(std::shared_ptr<AudioSystem> audio, MovieWriterFactory makeWriter, Settings& settings,
                       Notice notice, QObject* parent)
    : QObject(parent), settings_(settings), notice_(std::move(notice)),
      mic_(std::make_unique<MicMonitor>(std::move(audio), std::move(makeWriter))),
      gate_(std::make_shared<PostGate<Microphone>>(this)) {
    micAuth_ = mic_->authorization();
    // Levels and failures come from the microphone's thread.
    mic_->setOnLevel(
        [gate = gate_](float level) { gate->post([level](Microphone& m) { m.setMicLevel(level); }); });
    mic_->setOnFail([gate = gate_](const std::string& message) {
        gate->post([message](Microphone& m) {
            if (!m.settings_.micEnabled()) return;
            m.settings_.setMicEnabled(false);
            m.notice_(QStringLiteral("Microphone stopped: ") + QString::fromStdString(message));
        });
    });
    connect(&settings_, &Settings::micChoiceChanged, this, &Microphone::applyMic);
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

void Microphone::recheckAuthorization() {
    micAuth_ = mic_->authorization();
    emit micAuthChanged();
}

void Microphone::applyMic() {
    if (!settings_.loaded()) return;
    setMicAuth(mic_->authorization());
    if (!settings_.micEnabled()) {
        mic_->stop();
        setMicLevel(0);
        return;
    }
    switch (micAuth_) {
    case MicAuthorization::notDetermined:
        requestAccess(true);
        return;
    case MicAuthorization::authorized: {
        loadMicDevices();
        std::optional<std::string> device;
        if (const auto& id = settings_.micDeviceID()) device = id->toStdString();
        mic_->start(device, [gate = gate_](bool running) {
            if (running) return;
            gate->post([](Microphone& m) {
                m.notice_(kMicStartFailed);
                m.settings_.setMicEnabled(false);
            });
        });
        return;
    }
    case MicAuthorization::denied:
    case MicAuthorization::restricted:
        settings_.setMicEnabled(false);
        notice_(kMicAccessOff);
        return;
    }
}

void Microphone::requestAccess(bool reapply) {
    runDetached(requestMicAccess(reapply), QStringLiteral("Asking for the microphone"),
                [self = QPointer<Microphone>(this)](const QString& message) {
                    if (self) self->notice_(message);
                });
}

QCoro::Task<> Microphone::requestMicAccess(bool reapply) {
    // There is no prompt here: the answer is whether a sound server answers, asked off the
    // main thread since that may take a moment.
    QPointer<Microphone> self(this);
    MicMonitor* mic = mic_.get();
    auto answer = QtConcurrent::run([mic] { return mic->authorization(); });
    const MicAuthorization auth = co_await answer;
    if (!self) co_return;
    setMicAuth(auth);
    if (!reapply) co_return;
    if (auth == MicAuthorization::authorized) {
        applyMic();
    } else {
        settings_.setMicEnabled(false);
    }
}

void Microphone::loadMicDevices() {
    std::vector<MicDevice> list;
    std::optional<QString> defaultID;
    for (const AudioDevice& d : mic_->devices()) {
        list.push_back(MicDevice{QString::fromStdString(d.id), QString::fromStdString(d.name)});
        if (d.isDefault && !defaultID) defaultID = list.back().id;
    }
    if (micDevices_ != list) {
        micDevices_ = list;
        emit micDevicesChanged();
    }
    if (const auto& chosen = settings_.micDeviceID()) {
        for (const MicDevice& d : micDevices_) {
            if (d.id == *chosen) return;
        }
    }
    if (defaultID) {
        settings_.setMicDeviceID(defaultID);
    } else if (!micDevices_.empty()) {
        settings_.setMicDeviceID(micDevices_.front().id);
    } else {
        settings_.setMicDeviceID(std::nullopt);
    }
}

} // namespace lc
