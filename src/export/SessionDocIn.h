#pragma once
// The exporter's reading of a session folder's "session.json": the writer's record types,
// decoded with strict rules (exact keys, no defaults for required keys, no type guessing).
#include "common/Result.h"
#include "session/SessionDocument.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace lc {

struct SessionDocIn {
    std::optional<QString> container;
    std::vector<AIRecording> recordings;
    std::optional<AIMic> mic;
    std::vector<AIFocus> focus;
    AIFinal finalSettings; // "final"

    // Decodes a whole document. The error names the offending key and where it sits.
    static Result<SessionDocIn> decode(const QByteArray& json);

    // Reads "session.json" directly inside `folder` and decodes it.
    static Result<SessionDocIn> read(const QString& folder);
};

// True for a name that can only mean a file directly inside the session folder: not empty,
// no path separator, not "." or "..", no NUL.
bool isPlainFileName(const QString& name);

// The first recording or microphone file name that is not plain, refused with a message, so
// that nothing outside the folder is ever opened.
Result<void> checkFileNames(const SessionDocIn& doc);

} // namespace lc
