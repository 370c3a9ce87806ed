#pragma once

#include "server/UploadResult.h"
#include "server/Uploader.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace shotlark {

// An upload server described by a custom-uploader file (.sxcu), the format self-hosted upload
// servers export their settings in: how a file is sent, and where the links are in the answer.
struct CustomUploader {
    enum class Body { None, MultipartFormData, FormURLEncoded, Json, Xml, Binary };
    using Pairs = QList<std::pair<QString, QString>>;

    QString name;
    QStringList destinations; // "ImageUploader", "FileUploader", "TextUploader"...
    QByteArray method = "POST";
    QString requestURL;
    Pairs parameters, headers, arguments;
    Body body = Body::MultipartFormData;
    QString fileFormName;
    QString data; // the body of a JSON or XML request
    QString url, thumbnailURL, deletionURL, errorMessage;

    // Reads a file's text; throws UploaderError saying which field is wrong and why (a function
    // the app can't run is named).
    static CustomUploader parse(const QByteArray& text);
    // The fields as the current format writes them.
    QJsonObject toJson() const;
    // The imported uploader uploads go to instead of the Shotlark server, if one is chosen;
    // throws UploaderError when its saved fields no longer read as an uploader.
    static std::optional<CustomUploader> chosen();

    // The name given, else the host requests go to.
    QString displayName() const;
    // Whether it takes text as text rather than as a file.
    bool takesText() const;
    // What the body of a request carries, in a few words ("the file as form field "file"").
    QString describeBody() const;

    // Sends `file`: the request the file describes, the links read from the answer. An answer
    // outside 2xx throws with the uploader's own error message where it defines one, else the
    // status and the start of the body; a link expression that finds nothing says which.
    QCoro::Task<UploadResult> upload(QString file, Uploader::Progress progress = {}) const;
    // Sends `text` as a text uploader takes it ({input}).
    QCoro::Task<UploadResult> uploadText(QString text) const;

    bool operator==(const CustomUploader&) const = default;
};

} // namespace shotlark
