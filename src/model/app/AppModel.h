#pragma once
// The one application model: settings, chosen windows, the window catalogue, the microphone,
// and while a session runs its recorders, session record and focus history. Main thread only;
// every observed field has a change signal. Platform services come in through AppServices so
// that tests can run the model on small fakes.
#include "capture/MicMonitor.h"
#include "export/ExportController.h"
#include "model/AppState.h"
#include "model/WindowCatalogue.h"
#include "model/app/DesktopActions.h"
#include "model/app/SessionRecorder.h"
#include "platform/Audio.h"
#include "platform/MovieWriter.h"
#include "platform/ScreenCapture.h"
#include "platform/WindowControl.h"
#include "platform/WindowServer.h"
#include "session/FocusTracker.h"
#include "session/SessionRecord.h"
#include "windows/OutlineManager.h"

#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QUuid>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

namespace lc {

struct AppServices {
    std::shared_ptr<ScreenCapture> capture;
    std::shared_ptr<WindowServer> server;
    std::shared_ptr<WindowControl> control;
    std::shared_ptr<AudioSystem> audio;
    MovieWriterFactory makeWriter; // the microphone file's writer
    std::shared_ptr<DesktopActions> desktop;
    RecorderFactory makeRecorder;
    // This application, whose own windows are never offered.
    Catalogue::Self self;
    // Root under which session folders are made; empty: sessionsRootDefault().
    QString sessionsRoot;
    // Start the first catalogue refresh when the model is created.
    bool refreshOnLaunch = true;
    // How the window resizer waits (tests pass a no-op).
    std::function<void(double)> resizerSleep;
    // The wait before a recorder starts, letting a resized window settle.
    double settleSeconds = 0.3;
    // Never save (the command-line self-tests), from the start.
    bool ephemeral = false;
};

// $LOOMCAST_SESSIONS_DIR when set, else the videos folder + "/Loomcast".
QString sessionsRootDefault();

struct MicDevice {
    QString id;
    QString name;
    friend bool operator==(const MicDevice&, const MicDevice&) = default;
};

class AppModel : public QObject {
    Q_OBJECT
public:
    static constexpr double kTickSeconds = 0.25;
    static constexpr int kMaxThumbsPerRefresh = 16;
    static constexpr int kThumbWidth = 320;

    explicit AppModel(AppServices services, QObject* parent = nullptr);
    ~AppModel() override;

    // The process-wide model (set by main); null before.
    static AppModel* shared();
    static void setShared(AppModel* model);

    // --- Observed fields -------------------------------------------------------------------
    const std::vector<Entry>& entries() const { return entries_; }
    const Entry* entry(const QUuid& id) const;
    const std::vector<LiveWindow>& live() const { return live_; }
    const QHash<std::uint32_t, QImage>& thumbs() const { return thumbs_; }
    bool isRecording() const { return isRecording_; }
    double elapsed() const { return elapsed_; }
    bool screenOK() const { return screenOK_; }
    bool axOK() const { return axOK_; }
    const std::optional<QString>& lastFolder() const { return lastFolder_; }
    const std::optional<QString>& notice() const { return notice_; }
    const Preset& lastPreset() const { return lastPreset_; }
    int fps() const { return fps_; }
    bool hevc() const { return hevc_; }
    const QString& container() const { return container_; }
    bool lastAppAudio() const { return lastAppAudio_; }
    bool micEnabled() const { return micEnabled_; }
    const std::optional<QString>& micDeviceID() const { return micDeviceID_; }
    bool micInEach() const { return micInEach_; }
    bool showOutline() const { return showOutline_; }
    bool outlineIdle() const { return outlineIdle_; }
    bool startAtLogin() const { return startAtLogin_; }
    bool showSettings() const { return showSettings_; }
    const std::optional<QString>& settingsFocus() const { return settingsFocus_; }
    bool showHistory() const { return showHistory_; }
    const std::optional<QUuid>& presetPopoverFor() const { return presetPopoverFor_; }
    float micLevel() const { return micLevel_; }
    const std::vector<MicDevice>& micDevices() const { return micDevices_; }
    MicAuthorization micAuth() const { return micAuth_; }

    // --- Setters (each saves and acts as the settings require) ---------------------------
    void setLastPreset(const Preset& preset);
    void setFps(int fps);
    void setHevc(bool on);
    void setContainer(const QString& container);
    void setLastAppAudio(bool on);
    void setMicEnabled(bool on);
    void setMicDeviceID(const std::optional<QString>& id);
    void setMicInEach(bool on);
    void setShowOutline(bool on);
    void setOutlineIdle(bool on);
    // The wish only; whoever owns the login entry follows startAtLoginChanged.
    void setStartAtLogin(bool on);
    void setNotice(const std::optional<QString>& text);
    void setShowSettings(bool on);
    void setSettingsFocus(const std::optional<QString>& section);
    void setShowHistory(bool on);
    void setPresetPopoverFor(const std::optional<QUuid>& id);
    void setDemoFilter(const std::optional<QStringList>& filter) { demoFilter_ = filter; }
    const std::optional<QStringList>& demoFilter() const { return demoFilter_; }
    // Drops every entry (stopping their recorders first) and saves.
    void clearEntries();

    // --- Internal state, readable ------------------------------------------------------------
    bool stopping() const { return stopping_; }
    bool loaded() const { return loaded_; }
    bool ephemeral() const { return ephemeral_; }
    // Never save again (the command-line self-tests).
    void setEphemeral(bool on) { ephemeral_ = on; }
    // Print a "DBG " line per recorder at stop (the multi-window self-test).
    void setPrintStopDebug(bool on) { printStopDebug_ = on; }
    MicMonitor& mic() { return *mic_; }
    OutlineManager& outlines() { return *outlines_; }
    ExportController& exporter() { return *exporter_; }
    const std::optional<QString>& sessionDir() const { return sessionDir_; }
    double sessionStart() const { return sessionStart_; }
    const QDateTime& sessionDate() const { return sessionDate_; }
    const SessionFile& session() const { return session_; }
    const SessionIndex& sessionIndex() const { return sessionIndex_; }
    const QString& sessionContainer() const { return sessionContainer_; }
    const std::vector<FocusLogEntry>& focusLog() const { return focus_.log(); }
    const std::optional<QUuid>& focusCurrent() const { return focus_.current(); }
    const std::optional<PendingFocus>& pendingFocus() const { return focus_.pending(); }
    bool hasRecorder(const QUuid& id) const { return recorders_.count(id) > 0; }
    std::size_t recorderCount() const { return recorders_.size(); }
    const QString& sessionsRoot() const { return services_.sessionsRoot; }
    const AppServices& services() const { return services_; }
    // The window object of the last refresh for a window id.
    std::optional<ShareableWindow> windowObject(std::uint32_t id) const;

    // --- Settings and microphone ----------------------------------------------------------
    void persist();
    void setPreset(const QUuid& id, const Preset& preset);
    void setAppAudio(const QUuid& id, bool on);
    void applyMic();
    void loadMicDevices();
    void requestMic();
    void openOutputFolder();
    void openSettings(const QString& anchor);

    // --- Window catalogue ------------------------------------------------------------------
    QCoro::Task<> refresh(bool withThumbs);
    int availableToRecord() const;
    std::vector<LiveWindow> pickerWindows() const;
    void relink();
    static std::optional<LiveWindow> bestMatch(const Entry& entry, const std::vector<LiveWindow>& live,
                                               const QSet<std::uint32_t>& taken);
    QCoro::Task<> updateThumbs();
    // The new entry's id.
    QUuid add(const LiveWindow& window);
    void remove(const QUuid& id);
    void toggle();
    void refreshOutlines();
    // What the outlines show now.
    std::vector<OutlineManager::Target> outlineTargets() const;

    // --- Sessions --------------------------------------------------------------------------
    QCoro::Task<> start();
    QCoro::Task<> stop();
    QCoro::Task<> startEntry(QUuid id);
    void probe(const QUuid& id);
    void finish(const QUuid& id, double duration, const SessionRecorder& recorder);
    void setWarning(const QUuid& id, const std::optional<QString>& text);
    void setFailure(const QUuid& id, const QString& text);
    void writeSession();
    // Saves the state; when a session runs (or is starting), stops it and waits until every
    // file is finished.
    QCoro::Task<> shutdown();
    // Starts, stops and finishes still in flight (removed entries, failed recorders included).
    bool busy() const { return starting_ || startsInFlight_ > 0 || finishesInFlight_ > 0 || stopping_; }

    // --- Focus -----------------------------------------------------------------------------
    std::optional<QUuid> focusCandidate();
    void pollFocus();
    void commitFocus(const QUuid& id, double t);

signals:
    void entriesChanged();
    void liveChanged();
    void thumbsChanged();
    void isRecordingChanged(bool on);
    void elapsedChanged(double seconds);
    void screenOKChanged(bool ok);
    void axOKChanged(bool ok);
    void lastFolderChanged();
    void noticeChanged();
    void lastPresetChanged();
    void fpsChanged(int fps);
    void hevcChanged(bool on);
    void containerChanged();
    void lastAppAudioChanged(bool on);
    void micEnabledChanged(bool on);
    void micDeviceIDChanged();
    void micInEachChanged(bool on);
    void showOutlineChanged(bool on);
    void outlineIdleChanged(bool on);
    void startAtLoginChanged(bool on);
    void showSettingsChanged(bool on);
    void settingsFocusChanged();
    void showHistoryChanged(bool on);
    void presetPopoverForChanged();
    void micLevelChanged(float level);
    void micDevicesChanged();
    void micAuthChanged();
    // The session folder's manifest was rewritten.
    void sessionWritten();

private:
    class Gate;

    Entry* findEntry(const QUuid& id);
    void touchEntries() { emit entriesChanged(); }
    void setIsRecording(bool on);
    void setElapsed(double seconds);
    void setMicLevel(float level);
    void setMicAuth(MicAuthorization auth);
    void setPermissions();
    QString chooseFileName(const Entry& entry) const;
    void tick();
    void onRecorderFailed(const QUuid& id, const QString& message);
    QCoro::Task<> stopDetached(QUuid id, std::shared_ptr<SessionRecorder> recorder,
                               std::optional<QString> failure);
    QCoro::Task<> stopAndFinish(QUuid id, std::shared_ptr<SessionRecorder> recorder);
    QCoro::Task<> runProbe(QUuid id, ShareableWindow window, Preset preset, QString appName);
    QCoro::Task<> launchRefresh();
    QCoro::Task<> requestMicAccess(bool reapply);

    AppServices services_;
    std::shared_ptr<Gate> gate_; // lets other threads reach the model while it lives

    std::vector<Entry> entries_;
    std::vector<LiveWindow> live_;
    QHash<std::uint32_t, QImage> thumbs_;
    bool isRecording_ = false;
    double elapsed_ = 0;
    bool screenOK_ = false;
    bool axOK_ = false;
    std::optional<QString> lastFolder_;
    std::optional<QString> notice_;
    Preset lastPreset_ = Preset::defaultPreset();
    int fps_ = 30;
    bool hevc_ = false;
    QString container_ = QStringLiteral("mov");
    bool lastAppAudio_ = true;
    bool micEnabled_ = false;
    std::optional<QString> micDeviceID_;
    bool micInEach_ = false;
    bool showOutline_ = true;
    bool outlineIdle_ = false;
    bool startAtLogin_ = false;
    std::unique_ptr<OutlineManager> outlines_;
    std::unique_ptr<ExportController> exporter_;
    bool stopping_ = false;
    bool showSettings_ = false;
    std::optional<QString> settingsFocus_;
    bool showHistory_ = false;
    std::optional<QUuid> presetPopoverFor_;
    std::optional<QStringList> demoFilter_;
    float micLevel_ = 0;
    std::vector<MicDevice> micDevices_;
    MicAuthorization micAuth_ = MicAuthorization::notDetermined;
    std::unique_ptr<MicMonitor> mic_;
    std::map<QUuid, std::shared_ptr<SessionRecorder>> recorders_;
    std::optional<QString> sessionDir_;
    double sessionStart_ = 0;
    QDateTime sessionDate_ = QDateTime::currentDateTime();
    SessionFile session_;
    SessionIndex sessionIndex_;
    QString sessionContainer_ = QStringLiteral("mov");
    FocusTracker focus_;
    QHash<QUuid, std::int32_t> recPID_;
    std::unique_ptr<Subscription> activationObserver_;
    QTimer tickTimer_;
    QHash<std::uint32_t, ShareableWindow> scByID_;
    QStringList liveSignature_;
    bool loaded_ = false;
    bool ephemeral_ = false;

    // Soundness beyond the basic flow: one start at a time, names reserved before the
    // recorders exist, and stop waiting for starts and detached finishes still running.
    bool starting_ = false;
    int startsInFlight_ = 0;
    int finishesInFlight_ = 0;
    std::uint64_t sessionGeneration_ = 0;
    QSet<QString> reservedNames_;
    QHash<QUuid, int> probing_; // resize probes still running, per entry
    bool printStopDebug_ = false;
};

} // namespace lc
