#pragma once

#include <QByteArray>
#include <QString>

// Update archives: unpacked safely, then checked against the signed manifest of the bundle.
// Both block (run them on a worker) and answer with a code that the user sees as
// "unpack failed (N)" or "verify failed (N)"; `detail` says more for the log.
namespace shotlark::bundle {

enum UnpackFailure {
    unpacked = 0,
    unreadableArchive = 1,
    unsafePath = 2,       // absolute, or with a ".." part
    linkLeavesFolder = 3, // a symbolic or hard link: bundles hold none
    specialFile = 4,      // device, pipe or socket
    cantWrite = 5,        // the disk refused (full, read-only)
    tooLarge = 6,
    noUnpacker = 7, // the unpacking module is missing
};

enum VerifyFailure {
    verified = 0,
    noManifest = 1,
    badSignature = 2,
    malformedManifest = 3,
    missingFile = 4,
    changedFile = 5,
    extraFile = 6, // also anything that is neither a regular file nor a directory
    notNewer = 7,  // the signed VERSION is missing or not newer than the running one
};

// Extracts the ZIP archive `zip` into the existing, empty directory `into`. Permissions are kept
// but never setuid, setgid or writable by others.
// At most `largest` bytes are written in all, counted as they are written.
int unpack(const QString& zip, const QString& into, QString* detail,
           qint64 largest = qint64(1) << 30);
// The same without loading the module (it is the module's own, and the fuzzers').
int unpackArchive(const QString& zip, const QString& into, QString* detail, qint64 largest);

// Checks that `root`/MANIFEST.sig is the Ed25519 signature of `root`/MANIFEST by `publicKey`
// (32 bytes) and that the files under `root` are exactly those listed, with those SHA-256s.
// With `newerThan`, the bundle's signed VERSION file must name a newer version than that.
int verify(const QString& root, const QByteArray& publicKey, QString* detail,
           const QString& newerThan = QString());

// Whether version `a` is newer than `b`: dot-separated numbers compared in turn, a piece that
// is not a number counting as 0.
bool isNewerVersion(const QString& a, const QString& b);

// The MANIFEST text for the files under `root` (for tools and tests): "SHA256  PATH" lines
// sorted by path, as sha256sum writes them.
QByteArray manifestOf(const QString& root);

} // namespace shotlark::bundle
