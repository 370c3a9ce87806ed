#include "update/Bundle.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace shotlark::bundle {

namespace {

constexpr int mostEntries = 20000;
const QString manifestName = QStringLiteral("MANIFEST");
const QString signatureName = QStringLiteral("MANIFEST.sig");
const QString versionName = QStringLiteral("VERSION");

// A relative path without "..", "." or empty parts.
bool isPlainRelative(const QString& path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    QStringList parts = path.split(QLatin1Char('/'));
    if (parts.last().isEmpty())
        parts.removeLast(); // "dir/"
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QStringLiteral("..") || part == QStringLiteral("."))
            return false;
    }
    return !parts.isEmpty();
}

QByteArray sha256Of(const QString& path, bool* ok) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    *ok = file.open(QIODevice::ReadOnly) && hash.addData(&file);
    return hash.result().toHex();
}

} // namespace

int unpack(const QString& zip, const QString& into, QString* detail, qint64 largest) {
    using Reader = std::unique_ptr<archive, int (*)(archive*)>;
    Reader reader(archive_read_new(), archive_read_free);
    Reader writer(archive_write_disk_new(), archive_write_free);
    archive_read_support_format_zip(reader.get());
    // libarchive's own guards as well as ours: they also catch links met while writing. Paths
    // are checked to be relative before the destination is put in front of them.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    if (archive_read_open_filename(reader.get(), QFile::encodeName(zip).constData(), 1 << 16) !=
        ARCHIVE_OK) {
        *detail = QString::fromUtf8(archive_error_string(reader.get()));
        return unreadableArchive;
    }
    qint64 total = 0;
    archive_entry* entry = nullptr;
    for (int count = 0;; ++count) {
        const int next = archive_read_next_header(reader.get(), &entry);
        if (next == ARCHIVE_EOF)
            break;
        if (next != ARCHIVE_OK && next != ARCHIVE_WARN) {
            *detail = QString::fromUtf8(archive_error_string(reader.get()));
            return unreadableArchive;
        }
        if (count >= mostEntries) {
            *detail = QStringLiteral("more than %1 entries").arg(mostEntries);
            return tooLarge;
        }
        const QString path = QString::fromUtf8(archive_entry_pathname_utf8(entry)
                                                   ? archive_entry_pathname_utf8(entry)
                                                   : archive_entry_pathname(entry));
        *detail = path;
        if (!isPlainRelative(path))
            return unsafePath;
        if (archive_entry_hardlink(entry))
            return linkLeavesFolder;
        switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
        case AE_IFDIR:
            break;
        case AE_IFLNK:
            // A bundle holds no links (the manifest lists files only), and a link's target is
            // only known safe once every link it passes through is: none are written at all.
            return linkLeavesFolder;
        default:
            return specialFile;
        }
        // What an entry claims counts before anything is written (the writer sizes the file to
        // it), and what is written counts again below, whatever it claimed.
        const qint64 claimed = std::max<qint64>(0, archive_entry_size(entry));
        if (claimed > largest - total) {
            *detail = QStringLiteral("more than %1 bytes").arg(largest);
            return tooLarge;
        }
        qint64 entryEnd = 0;
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
        const QByteArray target = QFile::encodeName(into + QLatin1Char('/') + path);
        archive_entry_set_pathname(entry, target.constData());
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
            *detail = QString::fromUtf8(archive_error_string(writer.get()));
            return cantWrite;
        }
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF)
                break;
            if (read != ARCHIVE_OK) {
                *detail = QString::fromUtf8(archive_error_string(reader.get()));
                return unreadableArchive;
            }
            total += static_cast<qint64>(size);
            entryEnd = std::max<qint64>(entryEnd, offset + static_cast<qint64>(size));
            if (total > largest || entryEnd > largest) {
                *detail = QStringLiteral("more than %1 bytes").arg(largest);
                return tooLarge;
            }
            if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
                *detail = QString::fromUtf8(archive_error_string(writer.get()));
                return cantWrite;
            }
        }
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            *detail = QString::fromUtf8(archive_error_string(writer.get()));
            return cantWrite;
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        *detail = QString::fromUtf8(archive_error_string(writer.get()));
        return cantWrite;
    }
    detail->clear();
    return unpacked;
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
