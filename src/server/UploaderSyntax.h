#pragma once

#include "server/HttpClient.h"

#include <QString>
#include <QStringList>
#include <QUrl>

namespace shotlark::uploadersyntax {

// What the templates of a custom uploader may refer to. Request templates see the file name and
// the input; response templates see the answer too.
struct Context {
    QString fileName;                       // {filename}
    QString input;                          // {input}: the text of a text upload
    const HttpResponse* response = nullptr; // {response}, {json:…}, {xml:…}, {regex:…}, {header:…}
    QUrl responseURL;                       // {responseurl}: where the answer came from
};

// How an expanded value is written where it lands: as is, or escaped for a JSON string or XML
// text (the body of a JSON or XML request, whose template holds the quotes).
enum class Escape { None, Json, Xml };

// The functions named in `text` that this app does not run (a prompt, a choice), each once, in
// their order of appearance: a template naming one can't be used as it stands.
QStringList unsupported(const QString& text);

// `text` with every function replaced by its value; throws UploaderError naming the function
// that had no value (a path not in the answer, a pattern that doesn't match).
QString expand(const QString& text, const Context& context, Escape escape = Escape::None);

// A template of the older form ($json:path$, $regex:1|1$ with the file's list of patterns) in
// the current one; the names and arguments stay as they are.
QString fromLegacy(const QString& text, const QStringList& regexList);

} // namespace shotlark::uploadersyntax
