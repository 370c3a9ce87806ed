#include "update/Bundle.h"

#include "base/Modules.h"
#include "update/BundlePaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace shotlark::bundle {

namespace {

const QString manifestName = QStringLiteral("MANIFEST");
const QString signatureName = QStringLiteral("MANIFEST.sig");
const QString versionName = QStringLiteral("VERSION");

QByteArray sha256Of(const QString& path, bool* ok) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    *ok = file.open(QIODevice::ReadOnly) && hash.addData(&file);
    return hash.result().toHex();
}

} // namespace

int unpack(const QString& zip, const QString& into, QString* detail, qint64 largest) {
    // libarchive (with the compression libraries it brings) is loaded for an update only.
    using Unpack = int (*)(const QString*, const QString*, QString*, qint64);
    QLibrary& module = shotlarkModule(QStringLiteral("archive"));
    const auto entry = reinterpret_cast<Unpack>(module.resolve("shotlark_unpack_archive"));
    if (!entry) {
        *detail = QStringLiteral("the unpacking module is missing (%1)").arg(module.errorString());
        return noUnpacker;
    }
    return entry(&zip, &into, detail, largest);
}

QByteArray manifestOf(const QString& root) {
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (relative == manifestName || relative == signatureName)
            continue;
        bool ok = false;
        files.insert(relative, sha256Of(it.filePath(), &ok));
    }
    QByteArray text;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        text += file.value() + "  " + file.key().toUtf8() + '\n';
    return text;
}

int verify(const QString& root, const QByteArray& publicKey, QString* detail,
           const QString& newerThan) {
    QFile manifestFile(root + QLatin1Char('/') + manifestName);
    QFile signatureFile(root + QLatin1Char('/') + signatureName);
    if (!manifestFile.open(QIODevice::ReadOnly) || !signatureFile.open(QIODevice::ReadOnly)) {
        *detail = QStringLiteral("no signed manifest");
        return noManifest;
    }
    const QByteArray manifest = manifestFile.read(16 << 20);
    const QByteArray signature = QByteArray::fromBase64(signatureFile.read(4096).trimmed());

    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(
        publicKey.size() == 32 ? EVP_PKEY_new_raw_public_key(
                                     EVP_PKEY_ED25519, nullptr,
                                     reinterpret_cast<const unsigned char*>(publicKey.data()), 32)
                               : nullptr,
        EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const bool signedByUs =
        key && context && signature.size() == 64 &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         64, reinterpret_cast<const unsigned char*>(manifest.data()),
                         static_cast<size_t>(manifest.size())) == 1;
    if (!signedByUs) {
        *detail = QStringLiteral("the manifest's signature is not the release key's");
        return badSignature;
    }

    QMap<QString, QByteArray> listed;
    for (const QByteArray& line : manifest.split('\n')) {
        if (line.isEmpty())
            continue;
        const qsizetype gap = line.indexOf("  ");
        const QByteArray hash = line.left(gap);
        const QString path = QString::fromUtf8(line.mid(gap + 2));
        if (gap != 64 || QByteArray::fromHex(hash).toHex() != hash || !isPlainRelative(path) ||
            path == manifestName || path == signatureName || listed.contains(path)) {
            *detail = QString::fromUtf8(line.left(200));
            return malformedManifest;
        }
        listed.insert(path, hash);
    }
    // Everything on disk must be listed, and be a plain file or a folder.
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    qsizetype found = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink())
            continue;
        if (relative == manifestName || relative == signatureName)
            continue;
        *detail = relative;
        if (info.isSymLink() || !info.isFile() || !listed.contains(relative))
            return extraFile;
        bool ok = false;
        if (sha256Of(path, &ok) != listed.value(relative) || !ok)
            return changedFile;
        ++found;
    }
    if (found != listed.size()) {
        for (auto file = listed.cbegin(); file != listed.cend(); ++file) {
            if (!QFileInfo(root + QLatin1Char('/') + file.key()).isFile()) {
                *detail = file.key();
                break;
            }
        }
        return missingFile;
    }
    if (!newerThan.isEmpty()) {
        // VERSION is a file of the manifest, so the version is as signed as the code: an older
        // signed bundle offered under a newer number is refused.
        QFile versionFile(root + QLatin1Char('/') + versionName);
        const QString version = versionFile.open(QIODevice::ReadOnly)
                                    ? QString::fromUtf8(versionFile.read(64)).trimmed()
                                    : QString();
        if (!listed.contains(versionName) || !isNewerVersion(version, newerThan)) {
            *detail = QStringLiteral("signed version \"%1\" is not newer than %2")
                          .arg(version, newerThan);
            return notNewer;
        }
    }
    detail->clear();
    return verified;
}

namespace {
// The signed integer a whole piece reads as, or 0.
qint64 pieceValue(const QString& piece) {
    bool ok = false;
    const qint64 value = piece.toLongLong(&ok, 10);
    return ok && !piece.front().isSpace() && !piece.back().isSpace() ? value : 0;
}
} // namespace

bool isNewerVersion(const QString& a, const QString& b) {
    const QStringList left = a.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QStringList right = b.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qint64 x = i < left.size() ? pieceValue(left[i]) : 0;
        const qint64 y = i < right.size() ? pieceValue(right[i]) : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

} // namespace shotlark::bundle
