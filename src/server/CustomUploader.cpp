#include "server/CustomUploader.h"

#include "base/Errors.h"
#include "base/Worker.h"
#include "server/HttpClient.h"
#include "server/UploaderSyntax.h"
#include "store/Destinations.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QUrlQuery>

#include <algorithm>

namespace shotlark {

namespace {

using uploadersyntax::Context;
using uploadersyntax::Escape;
using uploadersyntax::expand;

const QList<std::pair<CustomUploader::Body, QString>> bodyNames = {
    {CustomUploader::Body::None, QStringLiteral("None")},
    {CustomUploader::Body::MultipartFormData, QStringLiteral("MultipartFormData")},
    {CustomUploader::Body::FormURLEncoded, QStringLiteral("FormURLEncoded")},
    {CustomUploader::Body::Json, QStringLiteral("JSON")},
    {CustomUploader::Body::Xml, QStringLiteral("XML")},
    {CustomUploader::Body::Binary, QStringLiteral("Binary")},
};
const QStringList methods = {QStringLiteral("GET"), QStringLiteral("POST"), QStringLiteral("PUT"),
                             QStringLiteral("PATCH"), QStringLiteral("DELETE")};
const QStringList fileKinds = {QStringLiteral("ImageUploader"), QStringLiteral("FileUploader"),
                               QStringLiteral("TextUploader")};

[[noreturn]] void wrong(const QString& field, const QString& why) {
    throw UploaderError(QStringLiteral("%1: %2").arg(field, why));
}

bool isWebLink(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QStringLiteral("http") || url.scheme() == QStringLiteral("https"));
}

// The fields of a file, checked as they are read.
class Reader {
public:
    explicit Reader(const QJsonObject& object) : object_(object) {}

    QString text(const QString& key) const {
        const QJsonValue value = object_.value(key);
        if (value.isUndefined() || value.isNull())
            return {};
        if (!value.isString())
            wrong(key, QStringLiteral("not a text"));
        return value.toString();
    }

    CustomUploader::Pairs pairs(const QString& key) const {
        const QJsonValue value = object_.value(key);
        if (value.isUndefined() || value.isNull())
            return {};
        if (!value.isObject())
            wrong(key, QStringLiteral("not a list of names and values"));
        CustomUploader::Pairs pairs;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it->isObject() || it->isArray())
                wrong(key, QStringLiteral("the value of \"%1\" is not a text").arg(it.key()));
            pairs.append({it.key(), it->toVariant().toString()});
        }
        return pairs;
    }

    QStringList list(const QString& key) const {
        QStringList items;
        for (const QJsonValue item : object_.value(key).toArray())
            items.append(item.toString());
        return items;
    }

private:
    const QJsonObject& object_;
};

// Every template of the file, by the field it is in: what is checked for functions the app
// can't run.
QList<std::pair<QString, QString>> templates(const CustomUploader& u) {
    QList<std::pair<QString, QString>> all = {{QStringLiteral("RequestURL"), u.requestURL},
                                              {QStringLiteral("Data"), u.data},
                                              {QStringLiteral("URL"), u.url},
                                              {QStringLiteral("ThumbnailURL"), u.thumbnailURL},
                                              {QStringLiteral("DeletionURL"), u.deletionURL},
                                              {QStringLiteral("ErrorMessage"), u.errorMessage}};
    for (const auto& [field, pairs] : {std::pair{QStringLiteral("Parameters"), &u.parameters},
                                       std::pair{QStringLiteral("Headers"), &u.headers},
                                       std::pair{QStringLiteral("Arguments"), &u.arguments}}) {
        for (const auto& [name, value] : *pairs)
            all.append({field + QStringLiteral(" \"") + name + u'"', value});
    }
    return all;
}

CustomUploader::Pairs expanded(const CustomUploader::Pairs& pairs, const Context& context) {
    CustomUploader::Pairs out;
    for (const auto& [name, value] : pairs)
        out.append({name, expand(value, context)});
    return out;
}

// The request without its body: the address with its parameters, the headers.
HttpRequest baseRequest(const CustomUploader& u, const Context& context) {
    HttpRequest request;
    request.method = u.method;
    request.url = QUrl(expand(u.requestURL, context));
    if (!u.parameters.isEmpty()) {
        QUrlQuery query(request.url);
        for (const auto& [name, value] : expanded(u.parameters, context))
            query.addQueryItem(name, QString::fromUtf8(QUrl::toPercentEncoding(value)));
        request.url.setQuery(query);
    }
    for (const auto& [name, value] : expanded(u.headers, context))
        request.headers.append({name.toUtf8(), value.toUtf8()});
    return request;
}

bool hasHeader(const HttpRequest& request, const QByteArray& name) {
    for (const auto& header : request.headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

void setType(HttpRequest& request, const QByteArray& type) {
    if (!hasHeader(request, "Content-Type"))
        request.headers.append({"Content-Type", type});
}

// A body that doesn't carry the file itself: built from the templates.
void setTemplateBody(const CustomUploader& u, HttpRequest& request, const Context& context) {
    switch (u.body) {
    case CustomUploader::Body::FormURLEncoded: {
        QUrlQuery form;
        for (const auto& [name, value] : expanded(u.arguments, context))
            form.addQueryItem(QString::fromUtf8(QUrl::toPercentEncoding(name)),
                              QString::fromUtf8(QUrl::toPercentEncoding(value)));
        request.body = form.query(QUrl::FullyEncoded).toUtf8();
        setType(request, "application/x-www-form-urlencoded");
        break;
    }
    case CustomUploader::Body::Json:
        request.body = expand(u.data, context, Escape::Json).toUtf8();
        setType(request, "application/json");
        break;
    case CustomUploader::Body::Xml:
        request.body = expand(u.data, context, Escape::Xml).toUtf8();
        setType(request, "application/xml");
        break;
    default:
        break;
    }
}

// The links in a 2xx answer, or the failure an answer outside 2xx reports.
UploadResult readAnswer(const CustomUploader& u, const HttpResponse& response, Context context,
                        qint64 size) {
    context.response = &response;
    context.responseURL = response.url;
    if (response.status < 200 || response.status > 299) {
        QString message;
        if (!u.errorMessage.isEmpty()) {
            try {
                message = expand(u.errorMessage, context);
            } catch (const Error&) {
                // The answer isn't what the file expects of an error: its start says more.
            }
        }
        if (message.trimmed().isEmpty())
            message = QString::fromUtf8(response.body.left(200)).simplified();
        throw UploaderError(
            QStringLiteral("Server answered HTTP %1%2")
                .arg(response.status)
                .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    }
    UploadResult result;
    try {
        result.url = u.url.isEmpty() ? QString::fromUtf8(response.body).trimmed()
                                     : expand(u.url, context).trimmed();
    } catch (const Error& error) {
        throw UploaderError(QStringLiteral("The link couldn't be read from the answer: URL ") +
                            error.message());
    }
    if (!isWebLink(result.url))
        throw UploaderError(QStringLiteral("The answer's link is not a web link: ") +
                            result.url.left(200));
    // The other links are a bonus: an answer without them still gives the upload.
    const auto optional = [&](const QString& expression) {
        try {
            const QString link = expand(expression, context).trimmed();
            return isWebLink(link) ? link : QString();
        } catch (const Error&) {
            return QString();
        }
    };
    result.rawURL = result.url;
    result.thumbnailURL = u.thumbnailURL.isEmpty() ? QString() : optional(u.thumbnailURL);
    result.deletionURL = u.deletionURL.isEmpty() ? QString() : optional(u.deletionURL);
    result.name = context.fileName;
    result.size = size;
    return result;
}

} // namespace

CustomUploader CustomUploader::parse(const QByteArray& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        throw UploaderError(QStringLiteral("Not a custom uploader file: %1 at byte %2")
                                .arg(error.errorString())
                                .arg(error.offset));
    if (!document.isObject())
        throw UploaderError(QStringLiteral("Not a custom uploader file: it holds no settings"));
    const QJsonObject object = document.object();
    const Reader read(object);
    CustomUploader u;
    u.name = read.text(QStringLiteral("Name")).trimmed();
    for (const QString& kind : read.text(QStringLiteral("DestinationType")).split(u','))
        if (!kind.trimmed().isEmpty() && kind.trimmed() != QStringLiteral("None"))
            u.destinations.append(kind.trimmed());
    bool sendsFiles = u.destinations.isEmpty();
    for (const QString& kind : fileKinds)
        sendsFiles = sendsFiles || u.destinations.contains(kind);
    if (!sendsFiles)
        wrong(QStringLiteral("DestinationType"),
              QStringLiteral("\"%1\" takes no files; an image, file or text uploader does")
                  .arg(u.destinations.join(QStringLiteral(", "))));

    // Files of older versions name the method "RequestType", and infer the body.
    QString method = read.text(QStringLiteral("RequestMethod"));
    if (method.isEmpty())
        method = read.text(QStringLiteral("RequestType"));
    method = method.isEmpty() ? QStringLiteral("POST") : method.toUpper();
    if (!methods.contains(method))
        wrong(QStringLiteral("RequestMethod"),
              QStringLiteral("\"%1\" is not GET, POST, PUT, PATCH or DELETE").arg(method));
    u.method = method.toLatin1();

    const QStringList regexList = read.list(QStringLiteral("RegexList"));
    const auto current = [&](const QString& value) {
        return uploadersyntax::fromLegacy(value, regexList);
    };
    const auto currentPairs = [&](const QString& key) {
        Pairs pairs = read.pairs(key);
        for (auto& [name, value] : pairs)
            value = current(value);
        return pairs;
    };
    u.requestURL = current(read.text(QStringLiteral("RequestURL")).trimmed());
    if (u.requestURL.isEmpty())
        wrong(QStringLiteral("RequestURL"), QStringLiteral("missing"));
    if (!isWebLink(u.requestURL) && !u.requestURL.contains(u'{'))
        wrong(QStringLiteral("RequestURL"), QStringLiteral("not a web address (http or https)"));
    u.parameters = currentPairs(QStringLiteral("Parameters"));
    u.headers = currentPairs(QStringLiteral("Headers"));
    u.arguments = currentPairs(QStringLiteral("Arguments"));
    u.fileFormName = read.text(QStringLiteral("FileFormName"));
    u.data = current(read.text(QStringLiteral("Data")));

    const QString body = read.text(QStringLiteral("Body"));
    if (body.isEmpty()) {
        u.body = !u.fileFormName.isEmpty() ? Body::MultipartFormData
                 : !u.arguments.isEmpty()  ? Body::FormURLEncoded
                                           : Body::None;
    } else {
        const auto known = std::find_if(bodyNames.begin(), bodyNames.end(), [&](const auto& pair) {
            return pair.second.compare(body, Qt::CaseInsensitive) == 0;
        });
        if (known == bodyNames.end())
            wrong(QStringLiteral("Body"),
                  QStringLiteral("\"%1\" is not None, MultipartFormData, FormURLEncoded, JSON, "
                                 "XML or Binary")
                      .arg(body));
        u.body = known->first;
    }
    if (u.body == Body::MultipartFormData && u.fileFormName.isEmpty() && !u.takesText())
        wrong(QStringLiteral("FileFormName"),
              QStringLiteral("missing: a form upload names the field its file goes in"));
    if ((u.body == Body::Json || u.body == Body::Xml) && u.data.isEmpty())
        wrong(QStringLiteral("Data"),
              QStringLiteral("missing: a %1 body is written from it")
                  .arg(u.body == Body::Json ? QStringLiteral("JSON") : QStringLiteral("XML")));

    u.url = current(read.text(QStringLiteral("URL")));
    u.thumbnailURL = current(read.text(QStringLiteral("ThumbnailURL")));
    u.deletionURL = current(read.text(QStringLiteral("DeletionURL")));
    u.errorMessage = current(read.text(QStringLiteral("ErrorMessage")));

    for (const auto& [field, value] : templates(u)) {
        const QStringList unknown = uploadersyntax::unsupported(value);
        if (!unknown.isEmpty())
            wrong(field, QStringLiteral("{%1} is not something Shotlark can fill in")
                             .arg(unknown.join(QStringLiteral("}, {"))));
    }
    return u;
}

QJsonObject CustomUploader::toJson() const {
    const auto object = [](const Pairs& pairs) {
        QJsonObject out;
        for (const auto& [name, value] : pairs)
            out.insert(name, value);
        return out;
    };
    QJsonObject out{{QStringLiteral("Version"), QStringLiteral("15.0.0")},
                    {QStringLiteral("RequestMethod"), QString::fromLatin1(method)},
                    {QStringLiteral("RequestURL"), requestURL}};
    const auto put = [&](const QString& key, const QJsonValue& value) {
        if (!(value.isString() && value.toString().isEmpty()) &&
            !(value.isObject() && value.toObject().isEmpty()))
            out.insert(key, value);
    };
    put(QStringLiteral("Name"), name);
    put(QStringLiteral("DestinationType"), destinations.join(QStringLiteral(", ")));
    put(QStringLiteral("Parameters"), object(parameters));
    put(QStringLiteral("Headers"), object(headers));
    put(QStringLiteral("Arguments"), object(arguments));
    for (const auto& [kind, text] : bodyNames)
        if (kind == body)
            put(QStringLiteral("Body"), text);
    put(QStringLiteral("FileFormName"), fileFormName);
    put(QStringLiteral("Data"), data);
    put(QStringLiteral("URL"), url);
    put(QStringLiteral("ThumbnailURL"), thumbnailURL);
    put(QStringLiteral("DeletionURL"), deletionURL);
    put(QStringLiteral("ErrorMessage"), errorMessage);
    return out;
}

std::optional<CustomUploader> CustomUploader::chosen() {
    const auto saved = destinations::active();
    if (!saved)
        return std::nullopt;
    return parse(QJsonDocument(saved->file).toJson());
}

QString CustomUploader::displayName() const {
    if (!name.isEmpty())
        return name;
    const QString host = QUrl(requestURL).host();
    return host.isEmpty() ? requestURL : host;
}

bool CustomUploader::takesText() const {
    return destinations.contains(QStringLiteral("TextUploader")) &&
           !destinations.contains(QStringLiteral("ImageUploader")) &&
           !destinations.contains(QStringLiteral("FileUploader"));
}

QString CustomUploader::describeBody() const {
    switch (body) {
    case Body::None:
        return QStringLiteral("no body; what it sends is in the address");
    case Body::MultipartFormData:
        return (takesText() ? QStringLiteral("a form")
                            : QStringLiteral("a form with the file as \"%1\"").arg(fileFormName)) +
               (arguments.isEmpty() ? QString()
                                    : QStringLiteral(" and %1 more fields").arg(arguments.size()));
    case Body::FormURLEncoded:
        return QStringLiteral("a form of %1 fields").arg(arguments.size());
    case Body::Json:
        return QStringLiteral("a JSON body");
    case Body::Xml:
        return QStringLiteral("an XML body");
    case Body::Binary:
        return QStringLiteral("the file itself as the body");
    }
    return {};
}

QCoro::Task<UploadResult> CustomUploader::upload(QString file, Uploader::Progress progress) const {
    const CustomUploader u = *this; // the coroutine outlives no caller's copy
    const QFileInfo info(file);
    if (!info.isFile())
        throw FileError(QStringLiteral("Couldn't read %1: the file is gone").arg(file));
    const Context context{info.fileName(), QString(), nullptr, QUrl()};
    HttpRequest request = baseRequest(u, context);
    QString written;
    if (u.body == Body::MultipartFormData) {
        const QString boundary = Uploader::makeBoundary();
        const Pairs fields = expanded(u.arguments, context);
        auto writing = onWorker([file, boundary, name = u.fileFormName, fields] {
            return Uploader::writeMultipartBody(file, boundary, name, fields);
        });
        written = co_await std::move(writing);
        request.bodyFile = written;
        setType(request, "multipart/form-data; boundary=" + boundary.toLatin1());
    } else if (u.body == Body::Binary) {
        request.bodyFile = file;
        setType(request, Uploader::contentType(info.fileName()).toLatin1());
    } else {
        setTemplateBody(u, request, context);
    }
    const auto removeBody = qScopeGuard([written] {
        if (!written.isEmpty())
            QFile::remove(written);
    });
    if (progress) {
        request.onUploadProgress = [progress = std::move(progress)](qint64 sent, qint64 total) {
            if (total > 0)
                progress(double(sent) / double(total));
        };
    }
    auto sending = HttpClient::session().send(std::move(request));
    const HttpResponse response = co_await std::move(sending);
    co_return readAnswer(u, response, context, info.size());
}

QCoro::Task<UploadResult> CustomUploader::uploadText(QString text) const {
    const CustomUploader u = *this;
    const Context context{QStringLiteral("text.txt"), text, nullptr, QUrl()};
    HttpRequest request = baseRequest(u, context);
    if (u.body == Body::MultipartFormData) {
        const QByteArray boundary = Uploader::makeBoundary().toLatin1();
        for (const auto& [name, value] : expanded(u.arguments, context))
            request.body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                            Uploader::partFileName(name).toUtf8() + "\"\r\n\r\n" + value.toUtf8() +
                            "\r\n";
        request.body += "--" + boundary + "--\r\n";
        setType(request, "multipart/form-data; boundary=" + boundary);
    } else if (u.body == Body::Binary) {
        request.body = text.toUtf8();
        setType(request, "text/plain; charset=utf-8");
    } else {
        setTemplateBody(u, request, context);
    }
    auto sending = HttpClient::session().send(std::move(request));
    const HttpResponse response = co_await std::move(sending);
    co_return readAnswer(u, response, context, text.toUtf8().size());
}

} // namespace shotlark
