#include "app/update/Signature.h"

#include "app/update/UpdateErrors.h"

#include <QFile>
#include <sodium.h>

namespace lc::update {
namespace {

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

bool verifySignature(QByteArrayView bytes, const QString& signatureBase64, const QByteArray& publicKey) {
    if (!sodiumReady() || publicKey.size() != crypto_sign_PUBLICKEYBYTES) return false;
    const auto sig =
        QByteArray::fromBase64Encoding(signatureBase64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!sig || sig.decoded.size() != crypto_sign_BYTES) return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(sig.decoded.constData()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<unsigned long long>(bytes.size()),
                                       reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

Result<void> verifyPackageFile(const QString& path, const QString& signatureBase64,
                               const QByteArray& publicKey, const QString& what) {
    if (signatureBase64.isEmpty())
        return makeError(QStringLiteral("%1 is not signed; it was not installed.").arg(what).toStdString(),
                         kErrorUnsigned);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return makeError(QStringLiteral("Could not read the download of %1: %2")
                             .arg(what, file.errorString())
                             .toStdString(),
                         kErrorDownloadFailed);
    bool valid = false;
    if (file.size() == 0) {
        valid = verifySignature({}, signatureBase64, publicKey);
    } else if (uchar* mapped = file.map(0, file.size())) {
        valid = verifySignature(QByteArrayView(mapped, file.size()), signatureBase64, publicKey);
        file.unmap(mapped);
    } else {
        valid = verifySignature(file.readAll(), signatureBase64, publicKey);
    }
    if (!valid)
        return makeError(QStringLiteral("The signature of %1 does not match; it was not installed.")
                             .arg(what)
                             .toStdString(),
                         kErrorBadSignature);
    return {};
}

} // namespace lc::update
