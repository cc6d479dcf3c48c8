// Cost of the updater's CPU work: checking a package's Ed25519 signature (a whole read of the
// file through SHA-512) and reading a long appcast.
#include "app/update/Appcast.h"
#include "app/update/Signature.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <sodium.h>

namespace {

void BM_VerifyPackage(benchmark::State& state) {
    if (sodium_init() < 0) state.SkipWithError("libsodium");
    const qsizetype size = state.range(0) << 20;
    QByteArray bytes(size, Qt::Uninitialized);
    randombytes_buf(bytes.data(), static_cast<size_t>(bytes.size()));
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES], sig[crypto_sign_BYTES];
    crypto_sign_keypair(pk, sk);
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(bytes.constData()),
                         static_cast<unsigned long long>(bytes.size()), sk);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.tar.gz"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    f.close();
    const QString signature =
        QString::fromLatin1(QByteArray(reinterpret_cast<char*>(sig), sizeof sig).toBase64());
    const QByteArray key(reinterpret_cast<char*>(pk), sizeof pk);
    for (auto _ : state) {
        auto ok = lc::update::verifyPackageFile(path, signature, key, QStringLiteral("Loomcast"));
        if (!ok) state.SkipWithError("verification failed");
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_VerifyPackage)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_ParseAppcast(benchmark::State& state) {
    QByteArray xml = "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>";
    for (int i = 0; i < state.range(0); ++i)
        xml += "<item><title>Version 1." + QByteArray::number(i) +
               "</title><description><![CDATA[<ul><li>Fixes</li></ul>]]></description>"
               "<enclosure url=\"https://cdn.example/Loomcast-1." +
               QByteArray::number(i) + ".tar.gz\" sparkle:version=\"1." + QByteArray::number(i) +
               "\" length=\"123456789\" sparkle:edSignature=\"" + QByteArray(88, 'A') + "\"/></item>";
    xml += "</channel></rss>";
    for (auto _ : state) {
        auto items = lc::update::parseAppcast(xml);
        benchmark::DoNotOptimize(items);
    }
    state.SetBytesProcessed(state.iterations() * xml.size());
}
BENCHMARK(BM_ParseAppcast)->Arg(500)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
