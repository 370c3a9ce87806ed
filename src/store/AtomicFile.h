#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace shotlark {

// Replaces `path` with `data` so that readers see either the old or the whole new content,
// also after a crash: the bytes go to a sibling created with `mode` (never wider, not even
// for a moment), are flushed to disk, and the sibling is renamed over `path`.
// On failure nothing at `path` changes and `error` (when given) says why.
bool writeFileAtomically(const QString& path, const QByteArray& data, mode_t mode,
                         QString* error = nullptr);

} // namespace shotlark
