#pragma once
// Fetching the feed and downloading packages. Only https is accepted, except plain http to
// this machine's loopback address (local test servers).
#include "common/Result.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

namespace lc::update {

bool isAllowedUpdateUrl(const QUrl& url);

// One line: "The update address is not secure (https required): URL".
Error insecureUrlError(const QUrl& url);

// Fetches a small document (feed, release notes) of at most maxBytes. `what` names it in
// messages ("the update feed").
QCoro::Task<Result<QByteArray>> fetchDocument(QNetworkAccessManager* network, QUrl url, qint64 maxBytes,
                                              QString what);

struct DownloadRequest {
    QUrl url;
    QString path;          // written here; replaced only by a complete download
    qint64 expectedLength; // 0: unknown
    QString what;          // "Loomcast 1.3"
    std::function<void(qint64 received, qint64 total)> progress;
    // Set while the transfer runs, so that it can be aborted.
    std::function<void(QNetworkReply*)> started;
};

// Streams the package to `path`; a short, long or failed transfer leaves nothing there.
QCoro::Task<Result<void>> downloadFile(QNetworkAccessManager* network, DownloadRequest request);

} // namespace lc::update
