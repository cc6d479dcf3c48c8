#pragma once
// Test helpers for the updater: Ed25519 keys, signed packages, and a small HTTP server on
// 127.0.0.1 that serves an appcast and packages, honest or not.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>

namespace lc::test {

struct TestKeys {
    QByteArray publicKey; // 32 bytes
    QByteArray secretKey; // 64 bytes
    static TestKeys generate();
    QString sign(const QByteArray& bytes) const; // base64 detached signature
    QString publicKeyBase64() const { return QString::fromLatin1(publicKey.toBase64()); }
};

// Builds a portable folder in `root`/`name`: bin/loomcast (a shell script printing
// `version`), the update configuration, data files, the marker and the manifest; returns its path.
QString makeAppFolder(const QString& root, const QString& name, const QString& version);
// Lists everything in `folder` in its manifest, as the packaging script does.
void writeManifest(const QString& folder);
// tar.gz of whatever `parent` holds (for a package: one folder "Loomcast"); returns its bytes.
QByteArray packFolder(const QString& parent, const QString& archive);
// A package: one top-level folder "Loomcast" made by makeAppFolder; returns its bytes.
QByteArray makePackage(const QString& scratch, const QString& version);

QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

struct Route {
    QByteArray body;
    int status = 200;
    qint64 declaredLength = -1; // Content-Length to claim; -1: the body's
    bool closeEarly = false;    // send the body and close, however long was claimed
};

class HttpServer : public QObject {
    Q_OBJECT
public:
    HttpServer();
    QUrl url(const QString& path) const;
    void set(const QString& path, Route route) { routes_[path] = std::move(route); }
    int hits(const QString& path) const { return hits_.value(path); }
    int totalHits() const;

private:
    void serve(class QTcpSocket* socket);
    QTcpServer server_;
    QHash<QString, Route> routes_;
    QHash<QString, int> hits_;
};

struct FeedItem {
    QString version;
    QString shortVersion;
    QString url;
    qint64 length = 0;
    QString signature;
    QString notes;
};
QByteArray makeAppcast(const QList<FeedItem>& items);

} // namespace lc::test
