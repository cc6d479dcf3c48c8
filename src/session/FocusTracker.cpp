#include "session/FocusTracker.h"

#include <algorithm>

namespace lc {

void FocusTracker::reset() {
    log_.clear();
    current_.reset();
    pending_.reset();
}

std::optional<FocusLogEntry> FocusTracker::poll(double now, const std::optional<QUuid>& candidate) {
    if (!candidate) {
        pending_.reset(); // focus never moves to a window that is not recorded
        return std::nullopt;
    }
    if (candidate == current_) {
        pending_.reset(); // a short visit elsewhere is forgotten
        return std::nullopt;
    }
    if (!current_) return commit(*candidate, 0);
    if (!pending_ || pending_->id != *candidate) {
        pending_ = PendingFocus{*candidate, now};
        return std::nullopt;
    }
    if (now - pending_->since >= kConfirmDelay) return commit(*candidate, pending_->since);
    return std::nullopt;
}

bool FocusTracker::changed(double at, const std::optional<QUuid>& candidate) {
    bool committed = false;
    if (pending_ && pending_->id != candidate && at - pending_->since >= kConfirmDelay) {
        commit(pending_->id, pending_->since);
        committed = true;
    }
    return poll(at, candidate).has_value() || committed;
}

FocusLogEntry FocusTracker::commit(const QUuid& id, double t) {
    const double at = log_.empty() ? 0.0 : std::max(t, log_.back().t);
    log_.push_back(FocusLogEntry{at, id});
    current_ = id;
    pending_.reset();
    return log_.back();
}

std::optional<QUuid>
chooseFocusCandidate(std::optional<std::int32_t> frontmostPid, const std::vector<RecordedWindow>& recorded,
                     const std::function<std::vector<std::uint32_t>()>& onScreenFrontToBack) {
    if (!frontmostPid) return std::nullopt;
    std::vector<const RecordedWindow*> candidates;
    for (const RecordedWindow& w : recorded) {
        if (w.pid == *frontmostPid) candidates.push_back(&w);
    }
    if (candidates.empty()) return std::nullopt;
    if (candidates.size() == 1) return candidates.front()->id;
    for (std::uint32_t number : onScreenFrontToBack()) {
        for (const RecordedWindow* c : candidates) {
            if (c->windowID == number) return c->id;
        }
    }
    return candidates.front()->id; // all of them off screen: a fixed choice
}

} // namespace lc
