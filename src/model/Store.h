#pragma once
// Where the saved state lives and how it is written. Saving and loading never report
// anything: a state that cannot be written lives in memory only.
#include "model/AppState.h"

#include <QString>
#include <optional>

namespace lc::Store {

// The base folder under which "Loomcast" (and the legacy "Vitrex") live: the override if one
// is set, else $LOOMCAST_DATA_HOME, else the user's data folder (~/.local/share).
QString baseDir();
// Replaces the base folder (tests, headless runs); nothing restores the platform folder.
void setBaseDirOverride(std::optional<QString> dir);

// The state folder. Created on first use, when it also receives a one-time copy of every
// item of the legacy folder. Failures are ignored; the path is returned regardless.
QString dir();
// dir() + "/state.json".
QString statePath();

// Encodes and writes the state file atomically; the old file stays if anything fails.
void save(const AppState& state);
// The saved state, or all defaults when the file is missing, unreadable or malformed.
AppState load();

} // namespace lc::Store
