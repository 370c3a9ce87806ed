// Manifests as the release key might sign them (the fuzzer signs each input with a key of its
// own), checked against a small bundle.
#include "update/Bundle.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <cstdlib>

namespace {

EVP_PKEY* key() {
    static EVP_PKEY* made = [] {
        EVP_PKEY* pair = nullptr;
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &pair);
        EVP_PKEY_CTX_free(context);
        return pair;
    }();
    return made;
}

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir work;
    static const QString root = [] {
        const QString made = work.path() + QStringLiteral("/Shotlark.app");
        QDir().mkpath(made + QStringLiteral("/bin"));
        write(made + QStringLiteral("/bin/shotlark"), "program");
        write(made + QStringLiteral("/VERSION"), "2.0.0\n");
        return made;
    }();
    const QByteArray manifest(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QByteArray signature(64, '\0');
    size_t length = 64;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key());
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length, data,
                   size);
    EVP_MD_CTX_free(context);
    write(root + QStringLiteral("/MANIFEST"), manifest);
    write(root + QStringLiteral("/MANIFEST.sig"), signature.toBase64());
    QByteArray publicKey(32, '\0');
    size_t publicLength = 32;
    EVP_PKEY_get_raw_public_key(key(), reinterpret_cast<unsigned char*>(publicKey.data()),
                                &publicLength);
    QString detail;
    shotlark::bundle::verify(root, publicKey, &detail, QStringLiteral("1.0.0"));
    return 0;
}
