#pragma once
// Process ancestry from /proc: which sound streams belong to an application.
#include <optional>

namespace lc::pulse {

// The parent of `pid`, or nothing when the process is gone or unreadable.
std::optional<int> parentProcess(int pid);

// True when `pid` is `ancestor` or one of its descendants.
bool isSameOrDescendant(int pid, int ancestor);

} // namespace lc::pulse
