#pragma once
// The saved settings: what the next recording uses, the microphone choice and the outlines.
// Every setter saves (once loading is done, unless the run is ephemeral); the chosen windows are
// saved alongside, read through `savedEntries`. Main thread only.
#include "model/AppState.h"
#include "model/Preset.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

namespace lc {

class Settings : public QObject {
    Q_OBJECT
public:
    Settings(std::function<std::vector<SavedEntry>()> savedEntries, bool ephemeral,
             QObject* parent = nullptr);

    // Takes the saved values (through the setters, saving nothing). The microphone switch is
    // left off: it is turned on by setMicEnabled once the rest is ready.
    void load(const AppState& state);
    // From now on every change saves.
    void setLoaded() { loaded_ = true; }
    bool loaded() const { return loaded_; }
    // Never save again (the command-line self-tests and snapshots).
    void setEphemeral(bool on) { ephemeral_ = on; }
    bool ephemeral() const { return ephemeral_; }

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
    bool trayNoteShown() const { return trayNoteShown_; }
    // Global shortcuts in their text form; empty: off.
    const QString& shortcutStartStop() const { return shortcutStartStop_; }
    const QString& shortcutPauseResume() const { return shortcutPauseResume_; }

    void setLastPreset(const Preset& preset);
    void setFps(int fps);
    void setHevc(bool on);
    void setContainer(const QString& container);
    void setLastAppAudio(bool on);
    void setMicEnabled(bool on);
    void setMicDeviceID(const std::optional<QString>& id);
    // The same without saving: the device the launch falls back to is not a choice of the user's.
    void adoptMicDeviceID(const std::optional<QString>& id);
    void setMicInEach(bool on);
    void setShowOutline(bool on);
    void setOutlineIdle(bool on);
    // The wish only; whoever owns the login entry follows startAtLoginChanged.
    void setStartAtLogin(bool on);
    void setTrayNoteShown(bool on);
    void setShortcutStartStop(const QString& text);
    void setShortcutPauseResume(const QString& text);

    // Saves everything now (nothing before loading is done or when ephemeral).
    void persist();

signals:
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
    void shortcutsChanged();
    // After a switch of the microphone, or of its device while it is on: the microphone has to
    // follow (after the new value is saved).
    void micChoiceChanged();

private:
    std::function<std::vector<SavedEntry>()> savedEntries_;
    bool loaded_ = false;
    bool ephemeral_ = false;
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
    bool trayNoteShown_ = false;
    QString shortcutStartStop_ = AppState().shortcutStartStop;
    QString shortcutPauseResume_ = AppState().shortcutPauseResume;
};

} // namespace lc
