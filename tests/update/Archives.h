#pragma once

// ZIP archives of exactly the entries a test wants, written with libarchive.
#include "support/Isolation.h"
#include "support/Prelude.h"

#include <QList>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

namespace shotlark::test {

struct Entry {
    QByteArray path;
    mode_t type = AE_IFREG;
    QByteArray contents = {}; // files
    QByteArray link = {};     // symbolic links
    mode_t permissions = 0644;
    bool claimsNoSize = false; // streamed: no size before its data, and no central directory
};

// A ZIP archive of exactly these entries, written with libarchive.
inline QString zipOf(const QString& name, const QList<Entry>& entries) {
    const QString path = testHome() + u'/' + name;
    archive* writer = archive_write_new();
    archive_write_set_format_zip(writer);
    archive_write_open_filename(writer, QFile::encodeName(path).constData());
    for (const Entry& wanted : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, wanted.path.constData());
        archive_entry_set_filetype(entry, wanted.type);
        archive_entry_set_perm(entry, wanted.permissions);
        if (!wanted.link.isEmpty())
            archive_entry_set_symlink(entry, wanted.link.constData());
        if (wanted.claimsNoSize)
            archive_entry_unset_size(entry); // a data descriptor follows the data instead
        else
            archive_entry_set_size(entry, wanted.contents.size());
        archive_write_header(writer, entry);
        if (!wanted.contents.isEmpty())
            archive_write_data(writer, wanted.contents.constData(),
                               static_cast<size_t>(wanted.contents.size()));
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    bool streamed = false;
    for (const Entry& wanted : entries)
        streamed = streamed || wanted.claimsNoSize;
    if (streamed) {
        // Without its central directory the archive can only be read as a stream, where the
        // entry's size is unknown until its data has been read.
        QFile file(path);
        file.open(QIODevice::ReadWrite);
        const qsizetype directory = file.readAll().indexOf("PK\x01\x02");
        if (directory > 0)
            file.resize(directory);
    }
    return path;
}

} // namespace shotlark::test
