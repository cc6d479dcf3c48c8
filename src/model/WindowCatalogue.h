#pragma once
// The catalogue's decisions, free of any service: which shareable windows can be recorded, in
// which order, when the list counts as changed, and which window a saved entry belongs to.
#include "model/AppState.h"
#include "platform/ScreenCapture.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace lc {

// One recordable window.
struct LiveWindow {
    std::uint32_t id = 0;
    std::int32_t pid = 0;
    QString bundleID;
    QString appName;
    QString title; // never empty
    ShareableWindow sc;

    friend bool operator==(const LiveWindow&, const LiveWindow&) = default;
};

namespace Catalogue {

inline constexpr double kMinWidth = 120;
inline constexpr double kMinHeight = 80;

// Who "this application" is: its own windows are never offered.
struct Self {
    std::optional<QString> bundleID;
    std::optional<std::int32_t> pid;
};

// The recordable windows of `windows`, sorted by application name, then title (both
// lower-cased), then id.
std::vector<LiveWindow> liveWindows(const std::vector<ShareableWindow>& windows, const Self& self);

// Order of two strings by Unicode scalar values after canonical (NFC) normalisation.
int compareScalars(const QString& a, const QString& b);

// "id|appName|title" per window, in order.
QStringList signature(const std::vector<LiveWindow>& live);

// The first matching window of the entry's application that is not taken: exact title, then
// containment either way, then a common prefix of min(length, 5) characters (titles of at
// least 3 characters only). Case is ignored throughout.
std::optional<LiveWindow> bestMatch(const Entry& entry, const std::vector<LiveWindow>& live,
                                    const QSet<std::uint32_t>& taken);

// Gives entries without a live window (and not recording) the best match. True when any
// entry changed.
bool relink(std::vector<Entry>& entries, const std::vector<LiveWindow>& live);

// Live windows no entry holds, narrowed to titles containing one of `filter` when given.
std::vector<LiveWindow> pickerWindows(const std::vector<LiveWindow>& live, const std::vector<Entry>& entries,
                                      const std::optional<QStringList>& filter);

} // namespace Catalogue
} // namespace lc
