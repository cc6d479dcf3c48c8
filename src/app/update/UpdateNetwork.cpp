#include "app/update/UpdateNetwork.h"

#include "app/update/UpdateErrors.h"

#include <QCoro/QCoroNetworkReply>
#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>

namespace lc::update {
namespace {

constexpr int kTransferTimeoutMs = 30000;
constexpr qint64 kMaxPackageBytes = qint64(4) << 30;

struct ReplyDeleter {
    void operator()(QNetworkReply* r) const {
        if (r) r->deleteLater();
    }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, ReplyDeleter>;

QString oneLine(QString s) {
    s.replace(u'\n', u' ').replace(u'\r', u' ');
    return s.simplified();
}

QNetworkRequest makeRequest(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Loomcast-Updater"));
    return request;
}

// A redirect may lead elsewhere; the final address must pass the same test.
bool finalUrlAllowed(QNetworkReply* reply) {
    return isAllowedUpdateUrl(reply->url());
}

} // namespace

bool isAllowedUpdateUrl(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty()) return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"https") return true;
    if (scheme != u"http") return false;
    const QHostAddress host(url.host());
    return !host.isNull() && host.isLoopback();
}

Error insecureUrlError(const QUrl& url) {
    return makeError(QStringLiteral("The update address is not secure (https required): %1")
                         .arg(oneLine(url.toDisplayString()))
                         .toStdString(),
                     kErrorInsecureUrl);
}

QCoro::Task<Result<QByteArray>> fetchDocument(QNetworkAccessManager* network, QUrl url, qint64 maxBytes,
                                              QString what) {
    if (!isAllowedUpdateUrl(url)) co_return insecureUrlError(url);
    ReplyPtr reply(network->get(makeRequest(url)));
    QNetworkReply* raw = reply.get();
    auto tooLarge = std::make_shared<bool>(false);
    QObject::connect(raw, &QNetworkReply::downloadProgress, raw, [=](qint64 received, qint64 total) {
        if (received > maxBytes || total > maxBytes) {
            *tooLarge = true;
            raw->abort();
        }
    });
    co_await raw;
    if (*tooLarge)
        co_return makeError(QStringLiteral("Could not read %1: it is too large.").arg(what).toStdString(),
                            kErrorFeedUnreachable);
    if (!finalUrlAllowed(raw)) co_return insecureUrlError(raw->url());
    if (raw->error() != QNetworkReply::NoError)
        co_return makeError(
            QStringLiteral("Could not reach %1: %2.").arg(what, oneLine(raw->errorString())).toStdString(),
            kErrorFeedUnreachable);
    const QByteArray body = raw->readAll();
    co_return body;
}

QCoro::Task<Result<void>> downloadFile(QNetworkAccessManager* network, DownloadRequest request) {
    const QString what = request.what;
    if (!isAllowedUpdateUrl(request.url)) co_return insecureUrlError(request.url);
    const QString partPath = request.path + QStringLiteral(".part");
    auto part = std::make_shared<QFile>(partPath);
    if (!part->open(QIODevice::WriteOnly | QIODevice::Truncate))
        co_return makeError(QStringLiteral("Could not save the download of %1: %2")
                                .arg(what, part->errorString())
                                .toStdString(),
                            kErrorDownloadFailed);

    const qint64 limit = request.expectedLength > 0 ? request.expectedLength : kMaxPackageBytes;
    ReplyPtr reply(network->get(makeRequest(request.url)));
    QNetworkReply* raw = reply.get();
    if (request.started) request.started(raw);
    auto received = std::make_shared<qint64>(0);
    auto tooLong = std::make_shared<bool>(false);
    auto writeFailed = std::make_shared<QString>();
    auto consume = [=] {
        if (*tooLong || !writeFailed->isEmpty()) return;
        const QByteArray chunk = raw->readAll();
        if (*received + chunk.size() > limit) {
            *tooLong = true;
            raw->abort();
            return;
        }
        if (part->write(chunk) != chunk.size()) {
            *writeFailed = part->errorString();
            raw->abort();
            return;
        }
        *received += chunk.size();
    };
    QObject::connect(raw, &QNetworkReply::readyRead, raw, consume);
    auto progress = request.progress;
    const qint64 announced = request.expectedLength;
    QObject::connect(raw, &QNetworkReply::downloadProgress, raw, [=](qint64, qint64 total) {
        if (progress) progress(*received, announced > 0 ? announced : total);
    });
    co_await raw;
    consume(); // whatever arrived with the end of the transfer
    part->close();
    auto discard = [&] { QFile::remove(partPath); };
    if (!writeFailed->isEmpty()) {
        discard();
        co_return makeError(
            QStringLiteral("Could not save the download of %1: %2").arg(what, *writeFailed).toStdString(),
            kErrorDownloadFailed);
    }
    if (*tooLong) {
        discard();
        co_return makeError(
            QStringLiteral("The download of %1 is larger than announced; it was not installed.")
                .arg(what)
                .toStdString(),
            kErrorTruncated);
    }
    if (!finalUrlAllowed(raw)) {
        discard();
        co_return insecureUrlError(raw->url());
    }
    const bool failed = raw->error() != QNetworkReply::NoError;
    const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300) {
        discard();
        co_return makeError(
            QStringLiteral("Could not download %1: %2.").arg(what, oneLine(raw->errorString())).toStdString(),
            kErrorDownloadFailed);
    }
    const qint64 expected = request.expectedLength > 0
                                ? request.expectedLength
                                : raw->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (expected > 0 && *received < expected && raw->error() != QNetworkReply::OperationCanceledError) {
        discard();
        co_return makeError(
            QStringLiteral("The download of %1 is incomplete (%2 of %3 bytes); it was not installed.")
                .arg(what)
                .arg(*received)
                .arg(expected)
                .toStdString(),
            kErrorTruncated);
    }
    if (failed) {
        discard();
        co_return makeError(
            QStringLiteral("Could not download %1: %2.").arg(what, oneLine(raw->errorString())).toStdString(),
            kErrorDownloadFailed);
    }
    QFile::remove(request.path);
    if (!QFile::rename(partPath, request.path)) {
        discard();
        co_return makeError(QStringLiteral("Could not save the download of %1.").arg(what).toStdString(),
                            kErrorDownloadFailed);
    }
    co_return Result<void>{};
}

} // namespace lc::update
