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
    linkLeavesFolder = 3, // a symbolic link pointing outside, or a hard link
    specialFile = 4,      // device, pipe or socket
    cantWrite = 5,        // the disk refused (full, read-only)
    tooLarge = 6,
};

enum VerifyFailure {
    verified = 0,
    noManifest = 1,
    badSignature = 2,
    malformedManifest = 3,
    missingFile = 4,
    changedFile = 5,
    extraFile = 6, // also anything that is neither a regular file nor a directory
};

// Extracts the ZIP archive `zip` into the existing, empty directory `into`. Permissions are kept
// but never setuid, setgid or writable by others.
int unpack(const QString& zip, const QString& into, QString* detail);

// Checks that `root`/MANIFEST.sig is the Ed25519 signature of `root`/MANIFEST by `publicKey`
// (32 bytes) and that the files under `root` are exactly those listed, with those SHA-256s.
int verify(const QString& root, const QByteArray& publicKey, QString* detail);

// The MANIFEST text for the files under `root` (for tools and tests): "SHA256  PATH" lines
// sorted by path, as sha256sum writes them.
QByteArray manifestOf(const QString& root);

} // namespace shotlark::bundle
