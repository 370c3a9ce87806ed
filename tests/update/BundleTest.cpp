// Update archives as an attacker or a broken server might send them, unpacked and verified the
// way the updater does before it replaces anything.
#include "update/Bundle.h"
#include "Archives.h"
#include "support/Isolation.h"
#include "support/Prelude.h"

#include <openssl/evp.h>

#include <sys/stat.h>

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

// A bundle folder signed by `signer`.
QString signedBundle(const QString& name, const KeyPair& signer,
                     const QByteArray& version = "2.0.0") {
    const QString root = testHome() + u'/' + name + u"/Shotlark.app"_s;
    writeTestFile(root + u"/bin/shotlark"_s, "program");
    writeTestFile(root + u"/lib/shotlark/module.so"_s, "module");
    writeTestFile(root + u"/share/applications/shotlark.desktop"_s, "[Desktop Entry]\n");
    if (!version.isEmpty())
        writeTestFile(root + u"/VERSION"_s, version + "\n");
    const QByteArray manifest = bundle::manifestOf(root);
    writeTestFile(root + u"/MANIFEST"_s, manifest);
    writeTestFile(root + u"/MANIFEST.sig"_s, signer.sign(manifest).toBase64());
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
    EXPECT_EQ(verify(signedBundle(u"good"_s, release), release), bundle::verified);
    EXPECT_EQ(verify(signedBundle(u"foreign"_s, other), release), bundle::badSignature);

    const QString changed = signedBundle(u"changed"_s, release);
    writeTestFile(changed + u"/bin/shotlark"_s, "program, but patched");
    EXPECT_EQ(verify(changed, release), bundle::changedFile);

    const QString extra = signedBundle(u"extra"_s, release);
    writeTestFile(extra + u"/lib/shotlark/preload.so"_s, "more");
    EXPECT_EQ(verify(extra, release), bundle::extraFile);

    const QString missing = signedBundle(u"missing"_s, release);
    QFile::remove(missing + u"/lib/shotlark/module.so"_s);
    EXPECT_EQ(verify(missing, release), bundle::missingFile);

    const QString linked = signedBundle(u"linked"_s, release);
    QFile::link(u"/etc/passwd"_s, linked + u"/share/link"_s);
    EXPECT_EQ(verify(linked, release), bundle::extraFile) << "links are not part of a bundle";

    // A manifest edited to match a patched file no longer matches its signature.
    const QString edited = signedBundle(u"edited"_s, release);
    writeTestFile(edited + u"/bin/shotlark"_s, "evil");
    writeTestFile(edited + u"/MANIFEST"_s, bundle::manifestOf(edited));
    EXPECT_EQ(verify(edited, release), bundle::badSignature);

    const QString unsigned_ = signedBundle(u"unsigned"_s, release);
    QFile::remove(unsigned_ + u"/MANIFEST.sig"_s);
    EXPECT_EQ(verify(unsigned_, release), bundle::noManifest);

    // A signed manifest that names a path outside the bundle is refused as malformed.
    const QString escaping = signedBundle(u"escaping"_s, release);
    const QByteArray manifest =
        bundle::manifestOf(escaping) + QByteArray(64, 'a') + "  ../../outside\n";
    writeTestFile(escaping + u"/MANIFEST"_s, manifest);
    writeTestFile(escaping + u"/MANIFEST.sig"_s, release.sign(manifest).toBase64());
    EXPECT_EQ(verify(escaping, release), bundle::malformedManifest);

    EXPECT_EQ(verify(signedBundle(u"nokey"_s, release), KeyPair()), bundle::badSignature);

    // The signed version must be newer than the running one, whatever the server announced.
    const QString older = signedBundle(u"older"_s, release, "1.0.0");
    EXPECT_EQ(verify(older, release, u"1.0.0"_s), bundle::notNewer);
    EXPECT_EQ(verify(older, release, u"0.9"_s), bundle::verified);
    EXPECT_EQ(verify(signedBundle(u"unversioned"_s, release, QByteArray()), release, u"0.1"_s),
              bundle::notNewer);
    const QString relabelled = signedBundle(u"relabelled"_s, release, "1.0.0");
    writeTestFile(relabelled + u"/VERSION"_s, "99.0\n");
    EXPECT_EQ(verify(relabelled, release, u"1.0.0"_s), bundle::changedFile);
}

TEST(BundleTest, UnpackingKeepsEverythingInsideTheFolder) {
    const QString into = testHome() + u"/into"_s;
    const QString good =
        zipOf(u"good.zip"_s,
              {{.path = "Shotlark.app/", .type = AE_IFDIR, .permissions = 0755},
               {.path = "Shotlark.app/bin/shotlark", .contents = "program", .permissions = 04777},
               {.path = "Shotlark.app/share/doc", .contents = "text"}});
    EXPECT_EQ(unpack(good, into), bundle::unpacked);
    EXPECT_EQ(readTestFile(into + u"/Shotlark.app/bin/shotlark"_s), "program");
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(into + u"/Shotlark.app/bin/shotlark"_s), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u) << "executable, but never setuid or world-writable";

    const QString outside = testHome() + u"/outside"_s;
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
        {"link-inside",
         {{.path = "Shotlark.app/alias", .type = AE_IFLNK, .link = "doc"}},
         bundle::linkLeavesFolder},
        // An entry that claims no size at all: what is written counts.
        {"claims-nothing",
         {{.path = "big", .contents = QByteArray(3 << 20, '\0'), .claimsNoSize = true}},
         bundle::tooLarge},
        {"claims-its-size",
         {{.path = "big", .contents = QByteArray(3 << 20, '\0')}},
         bundle::tooLarge},
    };
    for (const Refused& row : refused) {
        const QString folder = testHome() + u"/refused-"_s + QLatin1String(row.name);
        EXPECT_EQ(unpack(zipOf(QLatin1String(row.name) + u".zip"_s, row.entries), folder, 1 << 20),
                  row.code)
            << row.name;
        EXPECT_FALSE(QFileInfo::exists(outside)) << row.name;
        EXPECT_LE(QFileInfo(folder + u"/big"_s).size(), 1 << 20) << row.name;
    }
    EXPECT_EQ(unpack(writeTestFile(u"not.zip"_s, "no archive at all"), testHome() + u"/garbage"_s),
              bundle::unreadableArchive);
}
