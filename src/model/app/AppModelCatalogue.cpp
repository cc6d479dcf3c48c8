// The window catalogue of the model: the live windows, previews, adding and removing entries,
// and what the outlines show.
#include "model/app/AppModel.h"

#include <QtConcurrent/QtConcurrent>
#include <qcoro/qcorofuture.h>

namespace lc {

namespace {

QImage toImage(const BgraFrame& frame) {
    // BGRA bytes in memory are Qt's 32-bit RGB on little-endian machines; copy, the frame goes.
    return QImage(frame.data, frame.width, frame.height, frame.stride, QImage::Format_RGB32).copy();
}

} // namespace

QCoro::Task<> AppModel::refresh(bool withThumbs) {
    QPointer<AppModel> self(this);
    setPermissions();
    if (!screenOK_) co_return;

    std::shared_ptr<ScreenCapture> capture = services_.capture;
    auto request = QtConcurrent::run([capture] { return std::optional(capture->shareableContent(true)); });
    const std::optional<Result<ShareableContent>> content = co_await request;
    if (!self || !content || !content->ok()) co_return;

    std::vector<LiveWindow> kept = Catalogue::liveWindows(content->value().windows, services_.self);
    scByID_.clear();
    for (const LiveWindow& w : kept)
        scByID_.insert(w.id, w.sc);
    const QStringList sig = Catalogue::signature(kept);
    if (sig != liveSignature_) {
        liveSignature_ = sig;
        live_ = std::move(kept);
        emit liveChanged();
    }
    relink();
    if (withThumbs) co_await updateThumbs();
}

int AppModel::availableToRecord() const {
    return int(std::count_if(entries_.begin(), entries_.end(),
                             [](const Entry& e) { return e.windowID.has_value(); }));
}

std::vector<LiveWindow> AppModel::pickerWindows() const {
    return Catalogue::pickerWindows(live_, entries_, demoFilter_);
}

void AppModel::relink() {
    if (Catalogue::relink(entries_, live_)) touchEntries();
}

std::optional<LiveWindow> AppModel::bestMatch(const Entry& entry, const std::vector<LiveWindow>& live,
                                              const QSet<std::uint32_t>& taken) {
    return Catalogue::bestMatch(entry, live, taken);
}

QCoro::Task<> AppModel::updateThumbs() {
    QPointer<AppModel> self(this);
    QSet<std::uint32_t> liveIDs;
    for (const LiveWindow& w : live_)
        liveIDs.insert(w.id);
    bool dropped = false;
    for (auto it = thumbs_.begin(); it != thumbs_.end();) {
        if (liveIDs.contains(it.key())) {
            ++it;
        } else {
            it = thumbs_.erase(it);
            dropped = true;
        }
    }
    if (dropped) emit thumbsChanged();

    QSet<std::uint32_t> wanted;
    for (const LiveWindow& w : pickerWindows())
        wanted.insert(w.id);
    for (const Entry& e : entries_) {
        if (e.windowID) wanted.insert(*e.windowID);
    }
    std::vector<std::uint32_t> targets;
    for (const LiveWindow& w : live_) {
        if (wanted.contains(w.id) && targets.size() < std::size_t(kMaxThumbsPerRefresh))
            targets.push_back(w.id);
    }

    std::shared_ptr<ScreenCapture> capture = services_.capture;
    for (std::uint32_t id : targets) {
        const auto sc = scByID_.constFind(id);
        if (sc == scByID_.constEnd()) continue;
        const Rect frame = sc->frame;
        if (!(frame.width > 0)) continue;
        const int height = std::max(1, int(kThumbWidth * frame.height / frame.width));
        auto shot = QtConcurrent::run([capture, id, height] {
            return std::optional(capture->screenshotWindow(id, kThumbWidth, height));
        });
        const std::optional<Result<BgraFramePtr>> picture = co_await shot;
        if (!self) co_return;
        if (!picture || !picture->ok() || !picture->value()) continue;
        thumbs_.insert(id, toImage(*picture->value()));
        emit thumbsChanged();
    }
}

QUuid AppModel::add(const LiveWindow& window) {
    Entry e;
    e.id = QUuid::createUuid();
    e.bundleID = window.bundleID;
    e.appName = window.appName;
    e.title = window.title;
    e.preset = lastPreset_;
    e.appAudio = lastAppAudio_;
    e.windowID = window.id;
    const QUuid id = e.id;
    entries_.push_back(std::move(e));
    touchEntries();
    persist();
    if (isRecording_) {
        startEntry(id);
    } else {
        probe(id);
    }
    return id;
}

void AppModel::remove(const QUuid& id) {
    const auto it = recorders_.find(id);
    if (it != recorders_.end()) {
        std::shared_ptr<SessionRecorder> recorder = std::move(it->second);
        recorders_.erase(it);
        stopDetached(id, std::move(recorder), std::nullopt);
    }
    const auto before = entries_.size();
    std::erase_if(entries_, [&](const Entry& e) { return e.id == id; });
    if (entries_.size() != before) touchEntries();
    if (presetPopoverFor_ == id) setPresetPopoverFor(std::nullopt);
    persist();
}

void AppModel::toggle() {
    [](QPointer<AppModel> self) -> QCoro::Task<> {
        try {
            if (!self) co_return;
            if (self->isRecording()) {
                co_await self->stop();
            } else {
                co_await self->start();
            }
        } catch (...) {
        }
    }(QPointer<AppModel>(this));
}

std::vector<OutlineManager::Target> AppModel::outlineTargets() const {
    std::vector<OutlineManager::Target> out;
    for (const Entry& e : entries_) {
        if (!e.windowID) continue;
        if (isRecording_) {
            if (!e.isRecording) continue;
            const bool focused = focus_.current() == e.id;
            out.push_back(
                {*e.windowID, focused ? OutlineView::Style::focused : OutlineView::Style::recording});
        } else {
            out.push_back({*e.windowID, OutlineView::Style::idle});
        }
    }
    return out;
}

void AppModel::refreshOutlines() {
    const bool on = isRecording_ ? showOutline_ : outlineIdle_;
    if (!on) {
        outlines_->stop();
        return;
    }
    outlines_->start([self = QPointer<AppModel>(this)]() -> std::vector<OutlineManager::Target> {
        if (!self) return {};
        return self->outlineTargets();
    });
}

} // namespace lc
