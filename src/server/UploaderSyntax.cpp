#include "server/UploaderSyntax.h"

#include "base/Errors.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <memory>

namespace shotlark::uploadersyntax {

namespace {

const QStringList supportedNames = {QStringLiteral("response"), QStringLiteral("responseurl"),
                                    QStringLiteral("header"),   QStringLiteral("json"),
                                    QStringLiteral("xml"),      QStringLiteral("regex"),
                                    QStringLiteral("filename"), QStringLiteral("random"),
                                    QStringLiteral("input"),    QStringLiteral("base64")};

// The function name at `at` (just after a '{'), if a function starts there: a lowercase word
// (digits after its first letter) followed by ':' or '}'. Anything else ("{3}" in a pattern,
// '{"' in a JSON body) is text.
QString functionAt(const QString& text, qsizetype at) {
    qsizetype end = at;
    while (end < text.size() &&
           ((text[end] >= u'a' && text[end] <= u'z') || (end > at && text[end].isDigit())))
        ++end;
    if (end == at || end >= text.size() || (text[end] != u':' && text[end] != u'}'))
        return {};
    return text.mid(at, end - at);
}

[[noreturn]] void fail(const QString& call, const QString& why) {
    throw UploaderError(QStringLiteral("%1 %2").arg(call, why));
}

// The value a dotted path ("files[0].url", "$.data.link") names in a JSON text.
QString jsonValue(const QString& input, const QString& path, const QString& call) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(input.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        fail(call, QStringLiteral("found no JSON in the answer"));
    QJsonValue value =
        document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    static const QRegularExpression step(
        QStringLiteral(R"(\[(\d+)\]|\[['"]([^'"]*)['"]\]|([^.\[]+))"));
    QString rest = path;
    if (rest.startsWith(u'$'))
        rest.remove(0, 1);
    for (auto match = step.globalMatch(rest); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        if (!m.captured(1).isEmpty())
            value = value.toArray().at(m.captured(1).toInt());
        else
            value = value.toObject().value(m.captured(2).isEmpty() ? m.captured(3) : m.captured(2));
    }
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number == qint64(number) ? QString::number(qint64(number)) : QString::number(number);
    }
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isObject() || value.isArray())
        return QString::fromUtf8(
            (value.isObject() ? QJsonDocument(value.toObject()) : QJsonDocument(value.toArray()))
                .toJson(QJsonDocument::Compact));
    fail(call, QStringLiteral("found nothing in the answer"));
}

void quiet(void*, const char*, ...) {}
void quietStructured(void*, xmlErrorPtr) {}

// The string value of an XPath expression over an XML text. Entities are left unexpanded and
// nothing is fetched: the answer can't make the parser read files or grow without bound.
QString xmlValue(const QString& input, const QString& path, const QString& call) {
    xmlSetGenericErrorFunc(nullptr, quiet);
    xmlSetStructuredErrorFunc(nullptr, quietStructured);
    const QByteArray bytes = input.toUtf8();
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> document(
        xmlReadMemory(bytes.constData(), int(bytes.size()), "answer.xml", nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        xmlFreeDoc);
    if (!document)
        fail(call, QStringLiteral("found no XML in the answer"));
    std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> context(
        xmlXPathNewContext(document.get()), xmlXPathFreeContext);
    const QByteArray expression = path.toUtf8();
    std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> result(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.constData()),
                               context.get()),
        xmlXPathFreeObject);
    if (!result)
        fail(call, QStringLiteral("is not an XPath expression"));
    if (result->type == XPATH_NODESET && (!result->nodesetval || result->nodesetval->nodeNr == 0))
        fail(call, QStringLiteral("found nothing in the answer"));
    xmlChar* text = xmlXPathCastToString(result.get());
    const QString value = QString::fromUtf8(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return value;
}

QString regexValue(const QString& input, const QStringList& args, const QString& call) {
    const QRegularExpression pattern(args.value(0));
    if (!pattern.isValid())
        fail(call, QStringLiteral("is not a valid pattern: ") + pattern.errorString());
    const QRegularExpressionMatch match = pattern.match(input);
    if (!match.hasMatch())
        fail(call, QStringLiteral("found nothing in the answer"));
    const QString group = args.value(1);
    bool numbered = false;
    const int index = group.toInt(&numbered);
    const QString value = group.isEmpty() ? match.captured(0)
                          : numbered      ? match.captured(index)
                                          : match.captured(group);
    if (value.isNull())
        fail(call, QStringLiteral("has no group ") + group);
    return value;
}

QString escaped(const QString& value, Escape escape) {
    switch (escape) {
    case Escape::None:
        return value;
    case Escape::Json: {
        const QByteArray quoted =
            QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact); // ["…"]
        return QString::fromUtf8(quoted.mid(2, quoted.size() - 4));
    }
    case Escape::Xml:
        return value.toHtmlEscaped();
    }
    return value;
}

class Expander {
public:
    Expander(const QString& text, const Context& context, Escape escape)
        : text_(text), context_(context), escape_(escape) {}

    // Text up to the end, or (inside arguments) the raw arguments up to the closing brace.
    QString run() {
        QString out;
        while (at_ < text_.size()) {
            const QChar c = text_[at_];
            if (c == u'\\' && at_ + 1 < text_.size() &&
                QStringView(u"{}|\\").contains(text_[at_ + 1])) {
                out += text_[at_ + 1];
                at_ += 2;
            } else if (c == u'{' && !functionAt(text_, at_ + 1).isEmpty()) {
                out += call();
            } else {
                out += c;
                ++at_;
            }
        }
        return out;
    }

private:
    // One function call at `at_` ('{'): its value, escaped for where it lands.
    QString call() {
        const qsizetype start = at_;
        const QString name = functionAt(text_, at_ + 1);
        at_ += 1 + name.size();
        QStringList args;
        if (text_[at_] == u':') {
            ++at_;
            args = splitArguments();
        } else {
            ++at_; // '}'
        }
        const QString whole = text_.mid(start, at_ - start);
        // Arguments may hold calls themselves, except a pattern, whose braces are its own.
        if (name != QStringLiteral("regex")) {
            for (QString& arg : args)
                arg = Expander(arg, context_, Escape::None).run();
        }
        return escaped(value(name, args, whole), escape_);
    }

    // Raw arguments up to the matching '}', split at '|' outside inner braces; "\|" is a '|'.
    QStringList splitArguments() {
        QStringList args{QString()};
        int depth = 0;
        while (at_ < text_.size()) {
            const QChar c = text_[at_];
            if (c == u'\\' && at_ + 1 < text_.size()) {
                if (text_[at_ + 1] == u'|')
                    args.last() += u'|';
                else
                    args.last() += text_.mid(at_, 2);
                at_ += 2;
                continue;
            }
            ++at_;
            if (c == u'}' && depth == 0)
                return args;
            if (c == u'|' && depth == 0) {
                args.append(QString());
                continue;
            }
            depth += c == u'{' ? 1 : c == u'}' ? -1 : 0;
            args.last() += c;
        }
        throw UploaderError(QStringLiteral("%1 is not closed").arg(text_.mid(0, 60)));
    }

    const HttpResponse& response(const QString& call) const {
        if (!context_.response)
            fail(call, QStringLiteral("needs an answer, and there is none yet"));
        return *context_.response;
    }
    QString body(const QString& call) const { return QString::fromUtf8(response(call).body); }

    QString value(const QString& name, const QStringList& args, const QString& call) const {
        if (name == QStringLiteral("response"))
            return body(call);
        if (name == QStringLiteral("responseurl"))
            return context_.responseURL.toString(QUrl::FullyEncoded);
        if (name == QStringLiteral("header")) {
            const QByteArray value = response(call).header(args.value(0).toUtf8());
            if (value.isNull())
                fail(call, QStringLiteral("found no such header in the answer"));
            return QString::fromUtf8(value);
        }
        if (name == QStringLiteral("json"))
            return args.size() > 1 ? jsonValue(args[0], args[1], call)
                                   : jsonValue(body(call), args.value(0), call);
        if (name == QStringLiteral("xml"))
            return args.size() > 1 ? xmlValue(args[0], args[1], call)
                                   : xmlValue(body(call), args.value(0), call);
        if (name == QStringLiteral("regex"))
            return regexValue(body(call), args, call);
        if (name == QStringLiteral("filename"))
            return context_.fileName;
        if (name == QStringLiteral("input"))
            return context_.input;
        if (name == QStringLiteral("random"))
            return args.value(int(QRandomGenerator::global()->bounded(qsizetype(args.size()))));
        if (name == QStringLiteral("base64"))
            return QString::fromLatin1(args.value(0).toUtf8().toBase64());
        fail(call, QStringLiteral("is not supported"));
    }

    const QString& text_;
    const Context& context_;
    Escape escape_;
    qsizetype at_ = 0;
};

} // namespace

QStringList unsupported(const QString& text) {
    QStringList found;
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (text[at] == u'\\') {
            ++at;
            continue;
        }
        if (text[at] != u'{')
            continue;
        const QString name = functionAt(text, at + 1);
        if (!name.isEmpty() && !supportedNames.contains(name) && !found.contains(name))
            found.append(name);
    }
    return found;
}

QString expand(const QString& text, const Context& context, Escape escape) {
    return Expander(text, context, escape).run();
}

QString fromLegacy(const QString& text, const QStringList& regexList) {
    static const QRegularExpression token(
        QStringLiteral(R"(\\\$|\$([a-z]+)(?::((?:[^$\\]|\\.)*))?\$)"));
    QString out;
    qsizetype last = 0;
    for (auto matches = token.globalMatch(text); matches.hasNext();) {
        const QRegularExpressionMatch m = matches.next();
        out += text.mid(last, m.capturedStart() - last);
        last = m.capturedEnd();
        if (m.captured(0) == QStringLiteral("\\$")) {
            out += u'$';
            continue;
        }
        QString args = m.captured(2);
        // "$regex:2|1$": the second pattern of the file's list, its first group.
        if (m.captured(1) == QStringLiteral("regex")) {
            const QStringList parts = args.split(u'|');
            QString pattern = regexList.value(parts.value(0).toInt() - 1);
            pattern.replace(u'|', QStringLiteral("\\|"));
            args = pattern + (parts.size() > 1 ? u'|' + parts[1] : QString());
        }
        out += u'{' + m.captured(1) + (m.hasCaptured(2) ? u':' + args : QString()) + u'}';
    }
    return out + text.mid(last);
}

} // namespace shotlark::uploadersyntax
