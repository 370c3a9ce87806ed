#pragma once

#include <QLibrary>
#include <QString>

namespace shotlark::platform {

// libshotlark-NAME.so, loaded once on first use and never unloaded (objects made by it may live
// until the process ends): beside the program in a build, in lib/shotlark installed. Heavy
// libraries (FFmpeg and PipeWire for recordings, Tesseract for text) stay out of the tray app
// until they are needed.
QLibrary& shotlarkModule(const QString& name);

} // namespace shotlark::platform
