#include "UpdateTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <sodium.h>

namespace lc::test {

TestKeys TestKeys::generate() {
    if (sodium_init() < 0) return {};
    TestKeys keys;
    keys.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    keys.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<unsigned char*>(keys.publicKey.data()),
                        reinterpret_cast<unsigned char*>(keys.secretKey.data()));
    return keys;
}

QString TestKeys::sign(const QByteArray& bytes) const {
    QByteArray sig(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(bytes.constData()),
                         static_cast<unsigned long long>(bytes.size()),
                         reinterpret_cast<const unsigned char*>(secretKey.constData()));
    return QString::fromLatin1(sig.toBase64());
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QString makeAppFolder(const QString& root, const QString& name, const QString& version) {
    const QString folder = QDir(root).filePath(name);
    const QString exe = folder + QStringLiteral("/bin/loomcast");
    writeFile(exe, QStringLiteral("#!/bin/sh\necho %1\n").arg(version).toUtf8());
    QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    writeFile(folder + QStringLiteral("/loomcast-update.conf"),
              "feedUrl = https://updates.loomcast.example/appcast.xml\n"
              "publicKey = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n");
    writeFile(folder + QStringLiteral("/share/version.txt"), version.toUtf8());
    // Incompressible payload, so that a package takes several network reads.
    QByteArray payload(256 * 1024, Qt::Uninitialized);
    QRandomGenerator(qHash(version))
        .fillRange(reinterpret_cast<quint32*>(payload.data()), payload.size() / 4);
    writeFile(folder + QStringLiteral("/lib/payload.bin"), payload);
    writeFile(folder + QStringLiteral("/loomcast-portable.id"), "org.loomcast.Loomcast\n");
    writeManifest(folder);
    return folder;
}

void writeManifest(const QString& folder) {
    const QDir root(folder);
    QStringList paths;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << root.relativeFilePath(it.next());
    paths.removeAll(QStringLiteral("loomcast-portable.manifest"));
    paths.sort();
    writeFile(root.filePath(QStringLiteral("loomcast-portable.manifest")), paths.join(u'\n').toUtf8() + '\n');
}

QByteArray packFolder(const QString& parent, const QString& archive) {
    QProcess::execute(QStringLiteral("tar"),
                      {QStringLiteral("-czf"), archive, QStringLiteral("-C"), parent, QStringLiteral(".")});
    return readFile(archive);
}

QByteArray makePackage(const QString& scratch, const QString& version) {
    const QString parent = QDir(scratch).filePath(QStringLiteral("pkg-") + version);
    makeAppFolder(parent, QStringLiteral("Loomcast"), version);
    return packFolder(parent,
                      QDir(scratch).filePath(QStringLiteral("Loomcast-%1-linux-x86_64.tar.gz").arg(version)));
}

HttpServer::HttpServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QUrl HttpServer::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
}

int HttpServer::totalHits() const {
    int n = 0;
    for (int h : hits_)
        n += h;
    return n;
}

void HttpServer::serve(QTcpSocket* socket) {
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n")) return;
    socket->setProperty("request", QByteArray());
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine[1]) : QString();
    ++hits_[path];
    Route route;
    if (routes_.contains(path))
        route = routes_.value(path);
    else
        route.status = 404, route.body = "not found";
    const qint64 length = route.declaredLength >= 0 ? route.declaredLength : route.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) +
                      (route.status == 200 ? " OK" : " Error") +
                      "\r\nContent-Length: " + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n";
    socket->write(head + route.body);
    socket->flush();
    socket->disconnectFromHost();
}

QByteArray makeAppcast(const QList<FeedItem>& items) {
    QByteArray xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Loomcast</title>
)";
    for (const FeedItem& item : items) {
        xml += "<item><title>Loomcast " + item.version.toHtmlEscaped().toUtf8() + "</title>\n";
        if (!item.notes.isEmpty())
            xml += "<description><![CDATA[" + item.notes.toUtf8() + "]]></description>\n";
        xml += "<enclosure url=\"" + item.url.toHtmlEscaped().toUtf8() + "\" sparkle:version=\"" +
               item.version.toHtmlEscaped().toUtf8() + "\"";
        if (!item.shortVersion.isEmpty())
            xml += " sparkle:shortVersionString=\"" + item.shortVersion.toUtf8() + "\"";
        if (item.length > 0) xml += " length=\"" + QByteArray::number(item.length) + "\"";
        if (!item.signature.isEmpty()) xml += " sparkle:edSignature=\"" + item.signature.toUtf8() + "\"";
        xml += " type=\"application/octet-stream\"/></item>\n";
    }
    xml += "</channel></rss>\n";
    return xml;
}

} // namespace lc::test
