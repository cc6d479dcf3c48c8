#pragma once
// Ed25519 signatures of update packages (libsodium).
#include "common/Result.h"

#include <QByteArray>
#include <QString>

namespace lc::update {

// Checks a base64 signature of `bytes` against a raw 32-byte public key.
bool verifySignature(QByteArrayView bytes, const QString& signatureBase64, const QByteArray& publicKey);

// Checks a downloaded package file; the error says in one line why it is refused.
// `what` names the update in messages ("Loomcast 1.3").
Result<void> verifyPackageFile(const QString& path, const QString& signatureBase64,
                               const QByteArray& publicKey, const QString& what);

} // namespace lc::update
