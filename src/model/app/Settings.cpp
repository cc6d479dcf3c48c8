#include "model/app/Settings.h"

#include "model/Store.h"

namespace lc {

namespace {

// Sets `field`; true when the value is new.
template <class T, class U> bool assign(T& field, const U& value) {
    if (field == value) return false;
    field = value;
    return true;
}

} // namespace

Settings::Settings(std::function<std::vector<SavedEntry>()> savedEntries, bool ephemeral, QObject* parent)
    : QObject(parent), savedEntries_(std::move(savedEntries)), ephemeral_(ephemeral) {}

void Settings::load(const AppState& state) {
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
    setTrayNoteShown(state.trayNoteShown);
    setShortcutStartStop(state.shortcutStartStop);
    setShortcutPauseResume(state.shortcutPauseResume);
}

void Settings::setLastPreset(const Preset& preset) {
    if (assign(lastPreset_, preset)) emit lastPresetChanged();
    persist();
}

void Settings::setFps(int fps) {
    if (assign(fps_, fps)) emit fpsChanged(fps);
    persist();
}

void Settings::setHevc(bool on) {
    if (assign(hevc_, on)) emit hevcChanged(on);
    persist();
}

void Settings::setContainer(const QString& container) {
    if (assign(container_, container)) emit containerChanged();
    persist();
}

void Settings::setLastAppAudio(bool on) {
    if (assign(lastAppAudio_, on)) emit lastAppAudioChanged(on);
    persist();
}

void Settings::setMicInEach(bool on) {
    if (assign(micInEach_, on)) emit micInEachChanged(on);
    persist();
}

void Settings::setShowOutline(bool on) {
    if (assign(showOutline_, on)) emit showOutlineChanged(on);
    persist();
}

void Settings::setOutlineIdle(bool on) {
    if (assign(outlineIdle_, on)) emit outlineIdleChanged(on);
    persist();
}

void Settings::setStartAtLogin(bool on) {
    if (assign(startAtLogin_, on)) emit startAtLoginChanged(on);
    persist();
}

void Settings::setTrayNoteShown(bool on) {
    assign(trayNoteShown_, on);
    persist();
}

void Settings::setShortcutStartStop(const QString& text) {
    if (assign(shortcutStartStop_, text)) emit shortcutsChanged();
    persist();
}

void Settings::setShortcutPauseResume(const QString& text) {
    if (assign(shortcutPauseResume_, text)) emit shortcutsChanged();
    persist();
}

void Settings::setMicEnabled(bool on) {
    if (!assign(micEnabled_, on)) return;
    emit micEnabledChanged(on);
    persist();
    emit micChoiceChanged();
}

void Settings::setMicDeviceID(const std::optional<QString>& id) {
    if (!assign(micDeviceID_, id)) return;
    emit micDeviceIDChanged();
    persist();
    if (micEnabled_) emit micChoiceChanged();
}

void Settings::adoptMicDeviceID(const std::optional<QString>& id) {
    if (!assign(micDeviceID_, id)) return;
    emit micDeviceIDChanged();
    if (micEnabled_) emit micChoiceChanged();
}

void Settings::persist() {
    if (!loaded_ || ephemeral_) return;
    AppState state;
    if (savedEntries_) state.entries = savedEntries_();
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
    state.trayNoteShown = trayNoteShown_;
    state.shortcutStartStop = shortcutStartStop_;
    state.shortcutPauseResume = shortcutPauseResume_;
    state.container = container_;
    Store::save(state);
}

} // namespace lc
