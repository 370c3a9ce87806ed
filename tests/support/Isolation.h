#pragma once

#include "support/Prelude.h"
#include <QByteArray>

namespace shotlark::test {

// The private home of the running test: HOME and the XDG directories point inside it.
QString testHome();

// Writes `bytes` to `path` (relative paths are under the test's home), making directories as
// needed; returns the absolute path.
QString writeTestFile(const QString& path, const QByteArray& bytes = "data");
QByteArray readTestFile(const QString& path);

// Gives every test its own empty HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and
// XDG_RUNTIME_DIR, removed again when the test ends, so no test touches the user's files.
void installPerTestIsolation();

} // namespace shotlark::test
