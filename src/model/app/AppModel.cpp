#include "model/app/AppModel.h"

#include "model/Store.h"
#include "model/app/ModelGate.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrent>
#include <qcoro/qcorofuture.h>

namespace lc {

namespace {

AppModel* gShared = nullptr;

const QString kMicAccessOff = QStringLiteral(
    "Microphone access is off. Start the sound server (PipeWire or PulseAudio) and try again.");
const QString kMicStartFailed = QStringLiteral("Could not start the microphone");

} // namespace

QString sessionsRootDefault() {
    const QString env = qEnvironmentVariable("LOOMCAST_SESSIONS_DIR");
    if (!env.isEmpty()) return QDir::cleanPath(env);
    QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (videos.isEmpty()) videos = QDir::home().filePath(QStringLiteral("Videos"));
    return QDir(videos).filePath(QStringLiteral("Loomcast"));
}

AppModel* AppModel::shared() {
    return gShared;
}

void AppModel::setShared(AppModel* model) {
    gShared = model;
}

AppModel::AppModel(AppServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)), gate_(std::make_shared<Gate>(this)) {
    if (services_.sessionsRoot.isEmpty()) services_.sessionsRoot = sessionsRootDefault();
    ephemeral_ = services_.ephemeral;

    // 1. Initial values, permissions, owned helpers.
    screenOK_ = services_.capture && services_.capture->isCaptureAvailable();
    axOK_ = services_.control && services_.control->isTrusted();
    outlines_ = std::make_unique<OutlineManager>(services_.server);
    exporter_ = std::make_unique<ExportController>();
    mic_ = std::make_unique<MicMonitor>(services_.audio, services_.makeWriter);
    micAuth_ = mic_->authorization();
    tickTimer_.setInterval(int(kTickSeconds * 1000));
    tickTimer_.setTimerType(Qt::PreciseTimer);
    connect(&tickTimer_, &QTimer::timeout, this, &AppModel::tick);

    // 2.-3. The saved settings, through their setters; nothing saves yet.
    const AppState state = Store::load();
    setLastPreset(Preset::canonical(state.lastPreset));
    setFps(state.fps);
    setHevc(state.hevc);
    setContainer(state.container);
    setLastAppAudio(state.lastAppAudio);
    setMicDeviceID(state.micDeviceID);
    setMicInEach(state.micInEach);
    setShowOutline(state.showOutline);
    setOutlineIdle(state.outlineIdle);
    setStartAtLogin(state.startAtLogin);

    // 4. Entries, unlinked until the first refresh.
    for (const SavedEntry& saved : state.entries)
        entries_.push_back(Entry::fromSaved(saved));

    // 5. Levels come from the microphone's thread.
    mic_->setOnLevel(
        [gate = gate_](float level) { gate->post([level](AppModel& m) { m.setMicLevel(level); }); });
    mic_->setOnFail([gate = gate_](const std::string& message) {
        gate->post([message](AppModel& m) {
            if (!m.micEnabled_) return;
            m.setMicEnabled(false);
            m.setNotice(QStringLiteral("Microphone stopped: ") + QString::fromStdString(message));
        });
    });

    // 6.-8.
    loadMicDevices();
    loaded_ = true;
    if (state.micEnabled) setMicEnabled(true);

    // 9.
    if (services_.refreshOnLaunch) {
        QTimer::singleShot(0, this, [this] { launchRefresh(); });
    }
}

AppModel::~AppModel() {
    gate_->close();
    tickTimer_.stop();
    activationObserver_.reset();
    if (gShared == this) gShared = nullptr;
}

QCoro::Task<> AppModel::launchRefresh() {
    try {
        co_await refresh(true);
    } catch (...) {
    }
}

const Entry* AppModel::entry(const QUuid& id) const {
    for (const Entry& e : entries_) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

Entry* AppModel::findEntry(const QUuid& id) {
    for (Entry& e : entries_) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

std::optional<ShareableWindow> AppModel::windowObject(std::uint32_t id) const {
    const auto it = scByID_.constFind(id);
    if (it == scByID_.constEnd()) return std::nullopt;
    return *it;
}

// --- Setters -------------------------------------------------------------------------------

void AppModel::setLastPreset(const Preset& preset) {
    if (!(lastPreset_ == preset)) {
        lastPreset_ = preset;
        emit lastPresetChanged();
    }
    persist();
}

void AppModel::setFps(int fps) {
    if (fps_ != fps) {
        fps_ = fps;
        emit fpsChanged(fps);
    }
    persist();
}

void AppModel::setHevc(bool on) {
    if (hevc_ != on) {
        hevc_ = on;
        emit hevcChanged(on);
    }
    persist();
}

void AppModel::setContainer(const QString& container) {
    if (container_ != container) {
        container_ = container;
        emit containerChanged();
    }
    persist();
}

void AppModel::setLastAppAudio(bool on) {
    if (lastAppAudio_ != on) {
        lastAppAudio_ = on;
        emit lastAppAudioChanged(on);
    }
    persist();
}

void AppModel::setMicInEach(bool on) {
    if (micInEach_ != on) {
        micInEach_ = on;
        emit micInEachChanged(on);
    }
    persist();
}

void AppModel::setShowOutline(bool on) {
    if (showOutline_ != on) {
        showOutline_ = on;
        emit showOutlineChanged(on);
    }
    persist();
    refreshOutlines();
}

void AppModel::setOutlineIdle(bool on) {
    if (outlineIdle_ != on) {
        outlineIdle_ = on;
        emit outlineIdleChanged(on);
    }
    persist();
    refreshOutlines();
}

void AppModel::setStartAtLogin(bool on) {
    if (startAtLogin_ != on) {
        startAtLogin_ = on;
        emit startAtLoginChanged(on);
    }
    persist();
}

void AppModel::setMicEnabled(bool on) {
    if (micEnabled_ == on) return;
    micEnabled_ = on;
    emit micEnabledChanged(on);
    persist();
    applyMic();
}

void AppModel::setMicDeviceID(const std::optional<QString>& id) {
    if (micDeviceID_ == id) return;
    micDeviceID_ = id;
    emit micDeviceIDChanged();
    persist();
    if (micEnabled_) applyMic();
}

void AppModel::setNotice(const std::optional<QString>& text) {
    if (notice_ == text) return;
    notice_ = text;
    emit noticeChanged();
}

void AppModel::setShowSettings(bool on) {
    if (showSettings_ == on) return;
    showSettings_ = on;
    emit showSettingsChanged(on);
}

void AppModel::setSettingsFocus(const std::optional<QString>& section) {
    if (settingsFocus_ == section) return;
    settingsFocus_ = section;
    emit settingsFocusChanged();
}

void AppModel::setShowHistory(bool on) {
    if (showHistory_ == on) return;
    showHistory_ = on;
    emit showHistoryChanged(on);
}

void AppModel::setPresetPopoverFor(const std::optional<QUuid>& id) {
    if (presetPopoverFor_ == id) return;
    presetPopoverFor_ = id;
    emit presetPopoverForChanged();
}

void AppModel::setIsRecording(bool on) {
    if (isRecording_ == on) return;
    isRecording_ = on;
    emit isRecordingChanged(on);
}

void AppModel::setElapsed(double seconds) {
    elapsed_ = seconds;
    emit elapsedChanged(seconds);
}

void AppModel::setMicLevel(float level) {
    if (micLevel_ == level) return;
    micLevel_ = level;
    emit micLevelChanged(level);
}

void AppModel::setMicAuth(MicAuthorization auth) {
    if (micAuth_ == auth) return;
    micAuth_ = auth;
    emit micAuthChanged();
}

void AppModel::setPermissions() {
    const bool screen = services_.capture && services_.capture->isCaptureAvailable();
    const bool ax = services_.control && services_.control->isTrusted();
    screenOK_ = screen;
    emit screenOKChanged(screen);
    axOK_ = ax;
    emit axOKChanged(ax);
    micAuth_ = mic_->authorization();
    emit micAuthChanged();
}

void AppModel::clearEntries() {
    std::vector<QUuid> ids;
    for (const Entry& e : entries_)
        ids.push_back(e.id);
    for (const QUuid& id : ids)
        remove(id);
    persist();
}

// --- Saving --------------------------------------------------------------------------------

void AppModel::persist() {
    if (!loaded_ || ephemeral_) return;
    AppState state;
    for (const Entry& e : entries_)
        state.entries.push_back(e.toSaved());
    state.lastPreset = lastPreset_;
    state.fps = fps_;
    state.hevc = hevc_;
    state.lastAppAudio = lastAppAudio_;
    state.micEnabled = micEnabled_;
    state.micDeviceID = micDeviceID_;
    state.micInEach = micInEach_;
    state.showOutline = showOutline_;
    state.outlineIdle = outlineIdle_;
    state.startAtLogin = startAtLogin_;
    state.container = container_;
    Store::save(state);
}

void AppModel::setPreset(const QUuid& id, const Preset& preset) {
    Entry* e = findEntry(id);
    if (!e || e->isRecording) return;
    e->preset = preset;
    e->note.reset();
    touchEntries();
    setLastPreset(preset);
    persist();
    probe(id);
}

void AppModel::setAppAudio(const QUuid& id, bool on) {
    Entry* e = findEntry(id);
    if (!e || e->isRecording) return;
    e->appAudio = on;
    touchEntries();
    setLastAppAudio(on);
    persist();
}

// --- Microphone ----------------------------------------------------------------------------

void AppModel::applyMic() {
    if (!loaded_) return;
    setMicAuth(mic_->authorization());
    if (!micEnabled_) {
        mic_->stop();
        setMicLevel(0);
        return;
    }
    switch (micAuth_) {
    case MicAuthorization::notDetermined:
        requestMicAccess(true);
        return;
    case MicAuthorization::authorized: {
        loadMicDevices();
        std::optional<std::string> device;
        if (micDeviceID_) device = micDeviceID_->toStdString();
        mic_->start(device, [gate = gate_](bool running) {
            if (running) return;
            gate->post([](AppModel& m) {
                m.setNotice(kMicStartFailed);
                m.setMicEnabled(false);
            });
        });
        return;
    }
    case MicAuthorization::denied:
    case MicAuthorization::restricted:
        setMicEnabled(false);
        setNotice(kMicAccessOff);
        return;
    }
}

QCoro::Task<> AppModel::requestMicAccess(bool reapply) {
    // There is no prompt here: the answer is whether a sound server answers, asked off the
    // main thread since that may take a moment.
    try {
        QPointer<AppModel> self(this);
        MicMonitor* mic = mic_.get();
        auto answer = QtConcurrent::run([mic] { return mic->authorization(); });
        const MicAuthorization auth = co_await answer;
        if (!self) co_return;
        setMicAuth(auth);
        if (!reapply) co_return;
        if (auth == MicAuthorization::authorized) {
            applyMic();
        } else {
            setMicEnabled(false);
        }
    } catch (...) {
    }
}

void AppModel::loadMicDevices() {
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
    if (micDeviceID_) {
        for (const MicDevice& d : micDevices_) {
            if (d.id == *micDeviceID_) return;
        }
    }
    if (defaultID) {
        setMicDeviceID(defaultID);
    } else if (!micDevices_.empty()) {
        setMicDeviceID(micDevices_.front().id);
    } else {
        setMicDeviceID(std::nullopt);
    }
}

void AppModel::requestMic() {
    if (micAuth_ != MicAuthorization::notDetermined) {
        openSettings(QStringLiteral("Privacy_Microphone"));
        return;
    }
    requestMicAccess(false);
}

void AppModel::openOutputFolder() {
    const QString root = QDir::cleanPath(services_.sessionsRoot);
    QString target = root;
    if (lastFolder_) {
        const QFileInfo info(*lastFolder_);
        const QString parent = QDir::cleanPath(info.absolutePath());
        if (parent == root || QFileInfo(parent).fileName() == QLatin1String("Loomcast"))
            target = *lastFolder_;
    }
    QDir().mkpath(target);
    if (services_.desktop) services_.desktop->openFolder(target);
}

void AppModel::openSettings(const QString& anchor) {
    if (services_.desktop) services_.desktop->openSettings(anchor);
}

} // namespace lc
