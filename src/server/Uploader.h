#pragma once

#include "server/UploadResult.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

namespace shotlark {

// The media server client. Every operation is a coroutine for the main thread; failures are
// thrown as `Error` subclasses whose message is what the user sees.
class Uploader {
public:
    using Progress = std::function<void(double fraction)>;

    // Sends one file as a multipart form (one part "file") to "api/upload". The body is
    // assembled in a private temporary file on a worker thread and streamed from there; it is
    // removed on every way out. `progress` runs on the main thread.
    static QCoro::Task<UploadResult>
    upload(QString file, std::optional<QString> convert = std::nullopt, Progress progress = {});

    // Checks an address as typed and a token against "api/me"; returns the user name.
    static QCoro::Task<QString> verify(QString server, QString token);

    // `page` (of the connected server) behind a one-time link that signs the browser in, where
    // the server offers such links; else, or when asking fails, `page` itself.
    static QCoro::Task<QUrl> signedInLink(QUrl page);

    // Sends replay segments, in playback order, as one upload to "api/replay".
    static QCoro::Task<UploadResult> uploadReplay(QStringList segments, int seconds);

    enum class Deletion {
        Done,     // 200, or 404: the upload is gone
        Refused,  // any other answer, or no answer
        NotALink, // nothing was sent
    };
    // Follows a deletion link: a plain GET without credentials.
    static QCoro::Task<Deletion> deleteUpload(QString deletionURL);

    // Helpers of the wire format, public for their tests.
    static QString makeBoundary();
    static QString partFileName(const QString& fileName);
    static QString contentType(const QString& fileName);
    // Writes the upload body for `file` into a new "slk-body-" file and returns its path: the
    // `fields` first, then the file as the part named `fieldName`.
    static QString writeMultipartBody(const QString& file, const QString& boundary,
                                      const QString& fieldName = QStringLiteral("file"),
                                      const QList<std::pair<QString, QString>>& fields = {});
    static QString writeReplayBody(const QStringList& segments, int seconds,
                                   const QString& boundary);
    // The "error" string of an error answer, if it has one.
    static std::optional<QString> serverError(const QByteArray& body);
    // `base` with `path` appended as a path component (a base path of its own is kept).
    static QUrl endpoint(const QUrl& base, const QString& path);
    // A stored or typed address as a URL; nothing unless it has a scheme and a host.
    static std::optional<QUrl> serverURL(const QString& address);

    static inline const QString notConnected =
        QStringLiteral("Not connected. Open Settings to set your server and token.");
};

} // namespace shotlark
