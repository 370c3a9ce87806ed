// Unpacking update archives with libarchive: built into libshotlark-archive.so, loaded for an
// update only (libarchive brings compression libraries and OpenMP), and into the fuzzers.
#include "update/Bundle.h"
#include "update/BundlePaths.h"

#include <QDir>
#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>

namespace shotlark::bundle {

namespace {
constexpr int mostEntries = 20000;
} // namespace

int unpackArchive(const QString& zip, const QString& into, QString* detail, qint64 largest) {
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

} // namespace shotlark::bundle

extern "C" Q_DECL_EXPORT int shotlark_unpack_archive(const QString* zip, const QString* into,
                                                     QString* detail, qint64 largest) {
    return shotlark::bundle::unpackArchive(*zip, *into, detail, largest);
}
