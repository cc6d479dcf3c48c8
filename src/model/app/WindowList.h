#pragma once
// The window catalogue as the application sees it: the live windows that can be recorded, the
// chosen windows (entries), their previews, and whether capture and window control are allowed.
// Main thread only; every observed field has a change signal.
#include "model/AppState.h"
#include "model/WindowCatalogue.h"
#include "platform/ScreenCapture.h"
#include "platform/WindowControl.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <QUuid>
#include <cstdint>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

namespace lc {

class WindowList : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxThumbsPerRefresh = 16;
    static constexpr int kThumbWidth = 320;

    // `self`: this application, whose own windows are never offered. Either service may be null.
    WindowList(std::shared_ptr<ScreenCapture> capture, std::shared_ptr<WindowControl> control,
               Catalogue::Self self, QObject* parent = nullptr);

    const std::vector<Entry>& entries() const { return entries_; }
    const Entry* entry(const QUuid& id) const;
    const std::vector<LiveWindow>& live() const { return live_; }
    const QHash<std::uint32_t, QImage>& thumbs() const { return thumbs_; }
    bool screenOK() const { return screenOK_; }
    bool axOK() const { return axOK_; }
    // The window object of the last refresh for a window id.
    std::optional<ShareableWindow> windowObject(std::uint32_t id) const;
    // The chosen windows as they are saved.
    std::vector<SavedEntry> saved() const;

    // Re-reads the permissions, lists the windows (off the main thread), relinks the entries,
    // and with `withThumbs` takes the previews.
    QCoro::Task<> refresh(bool withThumbs);
    // Entries linked to a live window.
    int availableToRecord() const;
    // Live windows no entry holds (narrowed by the demo filter).
    std::vector<LiveWindow> pickerWindows() const;
    void setDemoFilter(const std::optional<QStringList>& filter) { demoFilter_ = filter; }
    const std::optional<QStringList>& demoFilter() const { return demoFilter_; }

    // Entries, unlinked until the next refresh.
    void load(const std::vector<SavedEntry>& saved);
    // Appends an entry for the window; its id.
    QUuid add(const LiveWindow& window, const Preset& preset, bool appAudio);
    // False when there is no such entry.
    bool remove(const QUuid& id);
    // Changes one entry in place and tells the views; false when there is no such entry.
    template <class F> bool edit(const QUuid& id, F change) {
        Entry* e = find(id);
        if (!e) return false;
        change(*e);
        emit entriesChanged();
        return true;
    }
    // The same for every entry.
    template <class F> void editAll(F change) {
        for (Entry& e : entries_)
            change(e);
        emit entriesChanged();
    }

signals:
    void entriesChanged();
    void liveChanged();
    void thumbsChanged();
    void screenOKChanged(bool ok);
    void axOKChanged(bool ok);
    // After every permission check (a refresh), whatever it found.
    void permissionsChecked();

private:
    Entry* find(const QUuid& id);
    void setPermissions();
    void relink();
    QCoro::Task<> updateThumbs();

    std::shared_ptr<ScreenCapture> capture_;
    std::shared_ptr<WindowControl> control_;
    Catalogue::Self self_;
    std::vector<Entry> entries_;
    std::vector<LiveWindow> live_;
    QHash<std::uint32_t, QImage> thumbs_;
    QHash<std::uint32_t, ShareableWindow> scByID_;
    QStringList liveSignature_;
    std::optional<QStringList> demoFilter_;
    bool screenOK_ = false;
    bool axOK_ = false;
};

} // namespace lc
