#pragma once

#include <QImage>
#include <QList>

namespace shotlark::tool {

// What every screen (in Qt's order) shows right now, in device pixels. Read through MIT-SHM
// when the server offers it (under a millisecond for a full HD screen), else by Qt's grab.
QList<QImage> freezeScreens();

} // namespace shotlark::tool
