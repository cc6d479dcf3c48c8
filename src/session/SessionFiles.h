#pragma once
// Names inside a session folder: the folder itself, window files while and after recording,
// and the renaming that puts a file's start offset into its name.
#include "model/Preset.h"

#include <QDateTime>
#include <QString>
#include <functional>
#include <optional>

namespace lc::SessionFiles {

inline constexpr int kMaxComponentChars = 60;
// Keeps a whole name (two components, the preset label and the offset suffix) under the
// file system's 255-byte limit even for titles of four-byte characters.
inline constexpr int kMaxComponentBytes = 80;

// "yyyy-MM-dd HH-mm-ss" in the local time zone.
QString folderName(const QDateTime& date);
// ISO 8601 in UTC, whole seconds: 2026-03-01T14:05:09Z.
QString isoUtc(const QDateTime& date);

// Separators, line breaks and other control characters become "-"; blanks and tabs are trimmed;
// at most 60 characters (and 80 UTF-8 bytes) stay; nothing left gives "Untitled".
QString cleanComponent(const QString& text);

// "App - Title (16x9 Horizontal)".
QString windowBase(const QString& appName, const QString& title, const Preset& preset);

// "mp4" for the container "mp4", else "mov".
QString extensionFor(const QString& container);

// base.ext, or base 2.ext, base 3.ext … : the first name `taken` refuses.
QString firstFreeName(const QString& base, const QString& extension,
                      const std::function<bool(const QString&)>& taken);

// The name a finished file gets: "stem (+0m03s).ext" for the suffix "(+0m03s)", numbered
// " 2", " 3" … when taken.
QString offsetName(const QString& file, const QString& suffix,
                   const std::function<bool(const QString&)>& taken);

// Moves `file` inside `folder` to its offset name. The new name, or nothing when the move
// failed (the file is then left as it was).
std::optional<QString> renameWithOffset(const QString& folder, const QString& file, const QString& suffix);

} // namespace lc::SessionFiles
