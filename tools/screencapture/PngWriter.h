#pragma once

#include <QImage>
#include <QString>

namespace shotlark::tool {

// Writes an opaque 8-bit RGB PNG. The pixels are deflated in strips on every core (each strip
// its own deflate run, joined with sync flushes into one zlib stream, as pigz does) at zlib's
// fastest level after the "Up" filter: encoding is most of a screenshot's cost, and a full
// photo-like screen otherwise takes 100-450 ms on one core. The file goes to a temporary name and
// is renamed into place.
bool writeOpaquePng(const QImage& image, const QString& path);

} // namespace shotlark::tool
