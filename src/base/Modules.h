#pragma once

#include <QLibrary>
#include <QString>

namespace shotlark {

// libshotlark-NAME.so, loaded once on first use and never unloaded (objects made by it may live
// until the process ends): beside the program in a build, in lib/shotlark installed. Heavy
// libraries (FFmpeg and PipeWire for recordings, Tesseract for text) stay out of the tray app
// until they are needed (Tesseract for text, libarchive for updates).
QLibrary& shotlarkModule(const QString& name);

} // namespace shotlark
