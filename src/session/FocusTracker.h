#pragma once
// Which recorded window has the focus over a session: a change counts once the new candidate
// has held for 0.7 s, and is then dated back to when it first appeared.
#include "session/SessionDocument.h"

#include <QUuid>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace lc {

struct PendingFocus {
    QUuid id;
    double since = 0;
    friend bool operator==(const PendingFocus&, const PendingFocus&) = default;
};

class FocusTracker {
public:
    static constexpr double kConfirmDelay = 0.7;

    void reset();

    // One sample at `now` (shared-clock seconds since the session start). Returns the change
    // it committed, if any.
    std::optional<FocusLogEntry> poll(double now, const std::optional<QUuid>& candidate);

    // A change of the candidate seen as it happened, at `at` (an activation reported with its own
    // time): the pending candidate it replaces counts if it held for the confirm delay, however
    // late this report arrives. Then as poll(at, candidate). Whether anything was committed.
    bool changed(double at, const std::optional<QUuid>& candidate);

    // Appends a change: time 0 for the first one, never earlier than the last one.
    FocusLogEntry commit(const QUuid& id, double t);

    const std::vector<FocusLogEntry>& log() const { return log_; }
    const std::optional<QUuid>& current() const { return current_; }
    const std::optional<PendingFocus>& pending() const { return pending_; }

private:
    std::vector<FocusLogEntry> log_;
    std::optional<QUuid> current_;
    std::optional<PendingFocus> pending_;
};

// One recorded window as the focus candidate choice sees it.
struct RecordedWindow {
    QUuid id;
    std::int32_t pid = 0;
    std::optional<std::uint32_t> windowID;
};

// The recorded window of the frontmost process; among several of one process, the one highest
// in the on-screen order (asked only then), else the first of them. `recorded` holds only
// windows whose recorder runs.
std::optional<QUuid>
chooseFocusCandidate(std::optional<std::int32_t> frontmostPid, const std::vector<RecordedWindow>& recorded,
                     const std::function<std::vector<std::uint32_t>()>& onScreenFrontToBack);

} // namespace lc
