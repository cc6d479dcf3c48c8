#include "model/WindowCatalogue.h"

#include <algorithm>
#include <cmath>

namespace lc::Catalogue {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

bool recordable(const ShareableWindow& w, const Self& self) {
    if (w.windowLayer != 0 || !w.isOnScreen) return false;
    // Written so that a NaN size fails too.
    if (!(w.frame.width >= kMinWidth) || !(w.frame.height >= kMinHeight)) return false;
    if (!w.owningApplication) return false;
    if (self.bundleID && qs(w.owningApplication->bundleIdentifier) == *self.bundleID) return false;
    if (self.pid && w.owningApplication->processID == *self.pid) return false;
    return w.title && !w.title->empty();
}

} // namespace

int compareScalars(const QString& a, const QString& b) {
    const QList<uint> x = a.normalized(QString::NormalizationForm_C).toUcs4();
    const QList<uint> y = b.normalized(QString::NormalizationForm_C).toUcs4();
    const auto [i, j] = std::mismatch(x.begin(), x.end(), y.begin(), y.end());
    if (i == x.end()) return j == y.end() ? 0 : -1;
    if (j == y.end()) return 1;
    return *i < *j ? -1 : 1;
}

std::vector<LiveWindow> liveWindows(const std::vector<ShareableWindow>& windows, const Self& self) {
    std::vector<LiveWindow> out;
    for (const ShareableWindow& w : windows) {
        if (!recordable(w, self)) continue;
        out.push_back(LiveWindow{w.windowID, w.owningApplication->processID,
                                 qs(w.owningApplication->bundleIdentifier),
                                 qs(w.owningApplication->applicationName), qs(*w.title), w});
    }
    std::stable_sort(out.begin(), out.end(), [](const LiveWindow& a, const LiveWindow& b) {
        if (int c = compareScalars(a.appName.toLower(), b.appName.toLower())) return c < 0;
        if (int c = compareScalars(a.title.toLower(), b.title.toLower())) return c < 0;
        return a.id < b.id;
    });
    return out;
}

QStringList signature(const std::vector<LiveWindow>& live) {
    QStringList out;
    out.reserve(qsizetype(live.size()));
    for (const LiveWindow& w : live)
        out << QString::number(w.id) + u'|' + w.appName + u'|' + w.title;
    return out;
}

std::optional<LiveWindow> bestMatch(const Entry& entry, const std::vector<LiveWindow>& live,
                                    const QSet<std::uint32_t>& taken) {
    std::vector<const LiveWindow*> candidates;
    for (const LiveWindow& w : live) {
        if (w.bundleID == entry.bundleID && !taken.contains(w.id)) candidates.push_back(&w);
    }
    const QString wanted = entry.title.toLower();
    for (const LiveWindow* w : candidates) {
        if (w->title.toLower() == wanted) return *w;
    }
    for (const LiveWindow* w : candidates) {
        const QString t = w->title.toLower();
        if (t.contains(wanted) || wanted.contains(t)) return *w;
    }
    const QList<uint> want = wanted.toUcs4();
    if (want.size() < 3) return std::nullopt;
    const qsizetype threshold = std::min<qsizetype>(want.size(), 5);
    for (const LiveWindow* w : candidates) {
        const QList<uint> t = w->title.toLower().toUcs4();
        const auto [i, j] = std::mismatch(want.begin(), want.end(), t.begin(), t.end());
        if (i - want.begin() >= threshold) return *w;
    }
    return std::nullopt;
}

bool relink(std::vector<Entry>& entries, const std::vector<LiveWindow>& live) {
    QSet<std::uint32_t> liveIDs;
    for (const LiveWindow& w : live)
        liveIDs.insert(w.id);
    QSet<std::uint32_t> taken;
    for (const Entry& e : entries) {
        if (e.windowID && liveIDs.contains(*e.windowID)) taken.insert(*e.windowID);
    }
    bool changed = false;
    for (Entry& e : entries) {
        if (e.windowID && liveIDs.contains(*e.windowID)) continue;
        if (e.isRecording) continue; // a recording keeps its (stale) window
        const Entry before = e;
        e.windowID.reset();
        if (auto match = bestMatch(e, live, taken)) {
            e.windowID = match->id;
            taken.insert(match->id);
            e.title = match->title;
        }
        changed = changed || !(before == e);
    }
    return changed;
}

std::vector<LiveWindow> pickerWindows(const std::vector<LiveWindow>& live, const std::vector<Entry>& entries,
                                      const std::optional<QStringList>& filter) {
    QSet<std::uint32_t> held;
    for (const Entry& e : entries) {
        if (e.windowID) held.insert(*e.windowID);
    }
    std::vector<LiveWindow> out;
    for (const LiveWindow& w : live) {
        if (held.contains(w.id)) continue;
        if (filter) {
            const bool hit = std::any_of(filter->begin(), filter->end(), [&](const QString& f) {
                return !f.isEmpty() && w.title.contains(f, Qt::CaseSensitive);
            });
            if (!hit) continue;
        }
        out.push_back(w);
    }
    return out;
}

} // namespace lc::Catalogue
