// loomcast-sign-update keygen SECRET_FILE  — writes a new secret key (base64) to SECRET_FILE
//                                            and prints the public key for loomcast-update.conf
// loomcast-sign-update sign SECRET_FILE PACKAGE — prints the package's appcast enclosure
//                                            attributes: length and sparkle:edSignature
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <sodium.h>

namespace {

int fail(const char* message) {
    std::fprintf(stderr, "loomcast-sign-update: %s\n", message);
    return 1;
}

QByteArray readAll(const char* path) {
    QFile f(QString::fromLocal8Bit(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int keygen(const char* secretPath) {
    if (QFileInfo::exists(QString::fromLocal8Bit(secretPath)))
        return fail("the secret key file exists already");
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    QFile f(QString::fromLocal8Bit(secretPath));
    if (!f.open(QIODevice::WriteOnly)) return fail("cannot write the secret key file");
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    f.write(QByteArray(reinterpret_cast<char*>(sk), sizeof sk).toBase64() + '\n');
    sodium_memzero(sk, sizeof sk);
    std::printf("publicKey = %s\n",
                QByteArray(reinterpret_cast<char*>(pk), sizeof pk).toBase64().constData());
    return 0;
}

int sign(const char* secretPath, const char* packagePath) {
    auto secret = QByteArray::fromBase64Encoding(readAll(secretPath).trimmed(),
                                                 QByteArray::AbortOnBase64DecodingErrors);
    if (!secret || secret.decoded.size() != crypto_sign_SECRETKEYBYTES) return fail("not a secret key file");
    QFile package(QString::fromLocal8Bit(packagePath));
    if (!package.open(QIODevice::ReadOnly)) return fail("cannot read the package");
    const QByteArray bytes = package.readAll();
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(bytes.constData()),
                         static_cast<unsigned long long>(bytes.size()),
                         reinterpret_cast<const unsigned char*>(secret.decoded.constData()));
    sodium_memzero(secret.decoded.data(), static_cast<size_t>(secret.decoded.size()));
    std::printf("length=\"%lld\" sparkle:edSignature=\"%s\"\n", static_cast<long long>(bytes.size()),
                QByteArray(reinterpret_cast<char*>(sig), sizeof sig).toBase64().constData());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return fail("libsodium failed to start");
    if (argc == 3 && QByteArray(argv[1]) == "keygen") return keygen(argv[2]);
    if (argc == 4 && QByteArray(argv[1]) == "sign") return sign(argv[2], argv[3]);
    std::fprintf(stderr, "usage: loomcast-sign-update keygen SECRET_FILE\n"
                         "       loomcast-sign-update sign SECRET_FILE PACKAGE\n");
    return 2;
}
