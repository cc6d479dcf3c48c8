#include "model/app/WindowList.h"

#include <QPointer>
#include <QSet>
#include <QtConcurrent/QtConcurrent>
#include <algorithm>
#include <qcoro/qcorofuture.h>

namespace lc {

namespace {

QImage toImage(const BgraFrame& frame) {
    // BGRA bytes in memory are Qt's 32-bit RGB on little-endian machines; copy, the frame goes.
    return QImage(frame.data, frame.width, frame.height, frame.stride, QImage::Format_RGB32).copy();
}

} // namespace

WindowList::WindowList(std::shared_ptr<ScreenCapture> capture, std::shared_ptr<WindowControl> control,
                       Catalogue::Self self, QObject* parent)
    : QObject(parent), capture_(std::move(capture)), control_(std::move(control)), self_(std::move(self)) {
    screenOK_ = capture_ && capture_->isCaptureAvailable();
    axOK_ = control_ && control_->isTrusted();
}

const Entry* WindowList::entry(const QUuid& id) const {
    for (const Entry& e : entries_) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

Entry* WindowList::find(const QUuid& id) {
    return const_cast<Entry*>(entry(id));
}

std::optional<ShareableWindow> WindowList::windowObject(std::uint32_t id) const {
    const auto it = scByID_.constFind(id);
    if (it == scByID_.constEnd()) return std::nullopt;
    return *it;
}

std::vector<SavedEntry> WindowList::saved() const {
    std::vector<SavedEntry> out;
    for (const Entry& e : entries_)
        out.push_back(e.toSaved());
    return out;
}

void WindowList::setPermissions() {
    screenOK_ = capture_ && capture_->isCaptureAvailable();
    emit screenOKChanged(screenOK_);
    axOK_ = control_ && control_->isTrusted();
    emit axOKChanged(axOK_);
    emit permissionsChecked();
}

QCoro::Task<> WindowList::refresh(bool withThumbs) {
    QPointer<WindowList> self(this);
    setPermissions();
    if (!screenOK_) co_return;

    std::shared_ptr<ScreenCapture> capture = capture_;
    auto request = QtConcurrent::run([capture] { return std::optional(capture->shareableContent(true)); });
    const std::optional<Result<ShareableContent>> content = co_await request;
    if (!self || !content || !content->ok()) co_return;

    std::vector<LiveWindow> kept = Catalogue::liveWindows(content->value().windows, self_);
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

int WindowList::availableToRecord() const {
    return int(std::count_if(entries_.begin(), entries_.end(),
                             [](const Entry& e) { return e.windowID.has_value(); }));
}

std::vector<LiveWindow> WindowList::pickerWindows() const {
    return Catalogue::pickerWindows(live_, entries_, demoFilter_);
}

void WindowList::relink() {
    if (Catalogue::relink(entries_, live_)) emit entriesChanged();
}

QCoro::Task<> WindowList::updateThumbs() {
    QPointer<WindowList> self(this);
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

    std::shared_ptr<ScreenCapture> capture = capture_;
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

void WindowList::load(const std::vector<SavedEntry>& saved) {
    for (const SavedEntry& s : saved)
        entries_.push_back(Entry::fromSaved(s));
}

QUuid WindowList::add(const LiveWindow& window, const Preset& preset, bool appAudio) {
    Entry e;
    e.id = QUuid::createUuid();
    e.bundleID = window.bundleID;
    e.appName = window.appName;
    e.title = window.title;
    e.preset = preset;
    e.appAudio = appAudio;
    e.windowID = window.id;
    const QUuid id = e.id;
    entries_.push_back(std::move(e));
    emit entriesChanged();
    return id;
}

bool WindowList::remove(const QUuid& id) {
    const auto before = entries_.size();
    std::erase_if(entries_, [&](const Entry& e) { return e.id == id; });
    if (entries_.size() == before) return false;
    emit entriesChanged();
    return true;
}

} // namespace lc
