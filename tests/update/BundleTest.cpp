// Update archives as an attacker or a broken server might send them, unpacked and verified the
// way the updater does before it replaces anything.
#include "update/Bundle.h"
#include "Archives.h"
#include "support/Isolation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>

#include <memory>
#include <sys/stat.h>

using namespace shotlark;
using namespace shotlark::test;

namespace {

// An Ed25519 key pair made for the test.
struct KeyPair {
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key{nullptr, EVP_PKEY_free};

    KeyPair() {
        EVP_PKEY* made = nullptr;
        std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> context(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
        EVP_PKEY_keygen_init(context.get());
        EVP_PKEY_keygen(context.get(), &made);
        key.reset(made);
    }

    QByteArray publicKey() const {
        QByteArray raw(32, '\0');
        size_t size = 32;
        EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &size);
        return raw;
    }

    QByteArray sign(const QByteArray& message) const {
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
        QByteArray signature(64, '\0');
        size_t size = 64;
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get());
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       static_cast<size_t>(message.size()));
        return signature;
    }
};

void write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray read(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

// A bundle folder signed by `signer`.
QString signedBundle(const QString& name, const KeyPair& signer,
                     const QByteArray& version = "2.0.0") {
    const QString root = testHome() + QLatin1Char('/') + name + QStringLiteral("/Shotlark.app");
    write(root + QStringLiteral("/bin/shotlark"), "program");
    write(root + QStringLiteral("/lib/shotlark/module.so"), "module");
    write(root + QStringLiteral("/share/applications/shotlark.desktop"), "[Desktop Entry]\n");
    if (!version.isEmpty())
        write(root + QStringLiteral("/VERSION"), version + "\n");
    const QByteArray manifest = bundle::manifestOf(root);
    write(root + QStringLiteral("/MANIFEST"), manifest);
    write(root + QStringLiteral("/MANIFEST.sig"), signer.sign(manifest).toBase64());
    return root;
}

int verify(const QString& root, const KeyPair& trusted, const QString& newerThan = QString()) {
    QString detail;
    return bundle::verify(root, trusted.publicKey(), &detail, newerThan);
}

int unpack(const QString& zip, const QString& into, qint64 largest = qint64(1) << 30) {
    QDir().mkpath(into);
    QString detail;
    return bundle::unpack(zip, into, &detail, largest);
}

} // namespace

TEST(BundleTest, OnlyTheExactSignedFilesVerify) {
    const KeyPair release, other;
    EXPECT_EQ(verify(signedBundle(QStringLiteral("good"), release), release), bundle::verified);
    EXPECT_EQ(verify(signedBundle(QStringLiteral("foreign"), other), release),
              bundle::badSignature);

    const QString changed = signedBundle(QStringLiteral("changed"), release);
    write(changed + QStringLiteral("/bin/shotlark"), "program, but patched");
    EXPECT_EQ(verify(changed, release), bundle::changedFile);

    const QString extra = signedBundle(QStringLiteral("extra"), release);
    write(extra + QStringLiteral("/lib/shotlark/preload.so"), "more");
    EXPECT_EQ(verify(extra, release), bundle::extraFile);

    const QString missing = signedBundle(QStringLiteral("missing"), release);
    QFile::remove(missing + QStringLiteral("/lib/shotlark/module.so"));
    EXPECT_EQ(verify(missing, release), bundle::missingFile);

    const QString linked = signedBundle(QStringLiteral("linked"), release);
    QFile::link(QStringLiteral("/etc/passwd"), linked + QStringLiteral("/share/link"));
    EXPECT_EQ(verify(linked, release), bundle::extraFile) << "links are not part of a bundle";

    // A manifest edited to match a patched file no longer matches its signature.
    const QString edited = signedBundle(QStringLiteral("edited"), release);
    write(edited + QStringLiteral("/bin/shotlark"), "evil");
    write(edited + QStringLiteral("/MANIFEST"), bundle::manifestOf(edited));
    EXPECT_EQ(verify(edited, release), bundle::badSignature);

    const QString unsigned_ = signedBundle(QStringLiteral("unsigned"), release);
    QFile::remove(unsigned_ + QStringLiteral("/MANIFEST.sig"));
    EXPECT_EQ(verify(unsigned_, release), bundle::noManifest);

    // A signed manifest that names a path outside the bundle is refused as malformed.
    const QString escaping = signedBundle(QStringLiteral("escaping"), release);
    const QByteArray manifest =
        bundle::manifestOf(escaping) + QByteArray(64, 'a') + "  ../../outside\n";
    write(escaping + QStringLiteral("/MANIFEST"), manifest);
    write(escaping + QStringLiteral("/MANIFEST.sig"), release.sign(manifest).toBase64());
    EXPECT_EQ(verify(escaping, release), bundle::malformedManifest);

    EXPECT_EQ(verify(signedBundle(QStringLiteral("nokey"), release), KeyPair()),
              bundle::badSignature);

    // The signed version must be newer than the running one, whatever the server announced.
    const QString older = signedBundle(QStringLiteral("older"), release, "1.0.0");
    EXPECT_EQ(verify(older, release, QStringLiteral("1.0.0")), bundle::notNewer);
    EXPECT_EQ(verify(older, release, QStringLiteral("0.9")), bundle::verified);
    EXPECT_EQ(verify(signedBundle(QStringLiteral("unversioned"), release, QByteArray()), release,
                     QStringLiteral("0.1")),
              bundle::notNewer);
    const QString relabelled = signedBundle(QStringLiteral("relabelled"), release, "1.0.0");
    write(relabelled + QStringLiteral("/VERSION"), "99.0\n");
    EXPECT_EQ(verify(relabelled, release, QStringLiteral("1.0.0")), bundle::changedFile);
}

TEST(BundleTest, UnpackingKeepsEverythingInsideTheFolder) {
    const QString into = testHome() + QStringLiteral("/into");
    const QString good =
        zipOf(QStringLiteral("good.zip"),
              {{.path = "Shotlark.app/", .type = AE_IFDIR, .permissions = 0755},
               {.path = "Shotlark.app/bin/shotlark", .contents = "program", .permissions = 04777},
               {.path = "Shotlark.app/share/doc", .contents = "text"}});
    EXPECT_EQ(unpack(good, into), bundle::unpacked);
    EXPECT_EQ(read(into + QStringLiteral("/Shotlark.app/bin/shotlark")), "program");
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(into + QStringLiteral("/Shotlark.app/bin/shotlark")), &info),
              0);
    EXPECT_EQ(info.st_mode & 07777, 0755u) << "executable, but never setuid or world-writable";

    const QString outside = testHome() + QStringLiteral("/outside");
    struct Refused {
        const char* name;
        QList<Entry> entries;
        int code;
    };
    // (Hard links and device files can't be written to a ZIP; the unpacker refuses them too.)
    const Refused refused[] = {
        {"dotdot",
         {{.path = "Shotlark.app/../../outside/evil", .contents = "x"}},
         bundle::unsafePath},
        {"absolute", {{.path = "/tmp/evil", .contents = "x"}}, bundle::unsafePath},
        {"link-out",
         {{.path = "Shotlark.app/lib", .type = AE_IFLNK, .link = "../../outside"}},
         bundle::linkLeavesFolder},
        {"link-absolute",
         {{.path = "Shotlark.app/lib", .type = AE_IFLNK, .link = "/etc"}},
         bundle::linkLeavesFolder},
        // A link, then a file written through it.
        {"link-then-file",
         {{.path = "a", .type = AE_IFLNK, .link = "b/../../outside"},
          {.path = "a/evil", .contents = "x"}},
         bundle::linkLeavesFolder},
        // Links that look inside on their own, but resolve outside through each other.
        {"chained-links",
         {{.path = "a/b/s", .type = AE_IFLNK, .link = "../.."},
          {.path = "x", .type = AE_IFLNK, .link = "a/b/s/../.."},
          {.path = "x/evil", .contents = "x"}},
         bundle::linkLeavesFolder},
        {"link-inside", {{.path = "Shotlark.app/alias", .type = AE_IFLNK, .link = "doc"}},
         bundle::linkLeavesFolder},
        // An entry that claims no size at all: what is written counts.
        {"claims-nothing",
         {{.path = "big", .contents = QByteArray(3 << 20, '\0'), .claimsNoSize = true}},
         bundle::tooLarge},
        {"claims-its-size", {{.path = "big", .contents = QByteArray(3 << 20, '\0')}},
         bundle::tooLarge},
    };
    for (const Refused& row : refused) {
        const QString folder = testHome() + QStringLiteral("/refused-") + QLatin1String(row.name);
        EXPECT_EQ(unpack(zipOf(QLatin1String(row.name) + QStringLiteral(".zip"), row.entries),
                         folder, 1 << 20),
                  row.code)
            << row.name;
        EXPECT_FALSE(QFileInfo::exists(outside)) << row.name;
        EXPECT_LE(QFileInfo(folder + QStringLiteral("/big")).size(), 1 << 20) << row.name;
    }
    EXPECT_EQ(unpack(writeTestFile(QStringLiteral("not.zip"), "no archive at all"),
                     testHome() + QStringLiteral("/garbage")),
              bundle::unreadableArchive);
}
