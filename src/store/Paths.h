#pragma once

#include <QString>

// Where the app keeps its files, following the XDG base directories of the current environment.
namespace shotlark::paths {

QString configDir();      // $XDG_CONFIG_HOME/Shotlark
QString dataDir();        // $XDG_DATA_HOME/Shotlark, private (0700)
QString privateTempDir(); // $XDG_CACHE_HOME/Shotlark/tmp, private (0700), created on first use

// Creates `path` and any missing parent with mode 0700 and narrows an existing `path` to 0700.
// Returns false when the directory cannot be made or secured.
bool ensurePrivateDir(const QString& path);

// For directories in places other users can write to (/tmp): creates `path` (its parent must
// exist) with mode 0700, or accepts it when it is a real directory (not a link) owned by this
// user, narrowing its mode to 0700. False when someone else owns it or it is not a directory.
bool ensureOwnedPrivateDir(const QString& path);
// Whether `path` is a directory owned by this user that nobody else may enter.
bool isOwnedPrivateDir(const QString& path);

// A UUID in its standard upper-case text form, as every temporary name of the app uses.
QString uuidString();

// privateTempDir() + "/" + prefix + uuidString(); the directory is created when missing.
QString temporaryPath(const QString& prefix);

// A new private directory inside privateTempDir() for one capture, so that files named by the
// second ("clipboard_1764950400.png") never clash; empty when it can't be made.
QString newCaptureDir();
// Removes a temporary file and, when it was alone in a capture directory, that directory.
void removeTemporary(const QString& file);

} // namespace shotlark::paths
