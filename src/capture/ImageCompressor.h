#pragma once

#include <QString>

namespace shotlark {

// Re-encodes a screenshot as a JPEG beside it and keeps whichever file is smaller.
class ImageCompressor {
public:
    // Returns the file to upload: the new JPEG (the input is then deleted) or the input itself
    // (no JPEG is left). A pixel format with an alpha channel is kept unless `allowAlpha`.
    // Blocking: call it off the main thread.
    static QString compress(const QString& file, double quality = 0.92, bool allowAlpha = false);
};

} // namespace shotlark
