#pragma once

// The reference server as its real binary in a private data directory, spoken to over loopback
// with the app's own client.
#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/Prelude.h"

namespace shotlark::test {

inline const QString serverBinary = QStringLiteral(SHOTLARK_SERVER_BINARY);

// PostgreSQL and S3-compatible storage shared by servers, as tests/support/shared-stores.sh
// started them (its folder in SHOTLARK_SHARED_STORES); each test takes a database and a bucket
// prefix of its own.
struct SharedStores {
    QString pgSocket, s3Endpoint, s3Dir;

    static std::optional<SharedStores> fromEnvironment() {
        const QString dir = qEnvironmentVariable("SHOTLARK_SHARED_STORES");
        if (dir.isEmpty())
            return std::nullopt;
        QFile file(dir + u"/env"_s);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        QMap<QString, QString> values;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype equals = line.indexOf('=');
            if (equals > 0)
                values[QString::fromUtf8(line.left(equals))] =
                    QString::fromUtf8(line.mid(equals + 1));
        }
        // The servers started by the test take the storage's keys from here.
        qputenv("AWS_ACCESS_KEY_ID", values.value(u"AWS_ACCESS_KEY_ID"_s).toUtf8());
        qputenv("AWS_SECRET_ACCESS_KEY", values.value(u"AWS_SECRET_ACCESS_KEY"_s).toUtf8());
        return SharedStores{values.value(u"SHOTLARK_TEST_PG_SOCKET"_s),
                            values.value(u"SHOTLARK_TEST_S3_ENDPOINT"_s),
                            values.value(u"SHOTLARK_TEST_S3_DIR"_s)};
    }

    // A new, empty database and bucket prefix, as the server's options.
    QStringList create(const QString& name) const {
        QProcess createdb;
        createdb.start(u"/usr/lib/postgresql/15/bin/createdb"_s,
                       {u"-h"_s, pgSocket, u"-U"_s, u"shotlark"_s, name});
        EXPECT_TRUE(createdb.waitForFinished(20000) && createdb.exitCode() == 0)
            << createdb.readAllStandardError().toStdString();
        return {u"--database"_s, database(name), u"--storage"_s, storage(name)};
    }
    QString database(const QString& name) const {
        return u"postgresql://shotlark@/%1?host=%2"_s.arg(name, pgSocket);
    }
    QString storage(const QString& prefix) const {
        return u"s3://shotlark?endpoint=%1&prefix=%2"_s.arg(s3Endpoint, prefix);
    }
    // The objects under a prefix's folder, as s3rver keeps them on its disk.
    QStringList objects(const QString& folder) const {
        QStringList names;
        for (QString name : QDir(s3Dir + u'/' + folder).entryList(QDir::Files))
            if (name.endsWith(u"._S3rver_object"_s))
                names << name.chopped(int(sizeof "._S3rver_object") - 1);
        return names;
    }
    // Runs SQL in a test's database; its rows as lines of "|"-separated values.
    QStringList sql(const QString& database, const QString& statement) const {
        QProcess psql;
        psql.start(u"psql"_s, {u"-h"_s, pgSocket, u"-U"_s, u"shotlark"_s, u"-d"_s, database,
                               u"-XAtq"_s, u"-c"_s, statement});
        EXPECT_TRUE(psql.waitForFinished(20000) && psql.exitCode() == 0)
            << psql.readAllStandardError().toStdString();
        return QString::fromUtf8(psql.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }
};

// A name of the running test fit for a database and a bucket prefix.
inline QString testStoreName() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    QString name =
        u"t_%1_%2"_s
            .arg(QString::fromUtf8(info->test_suite_name()), QString::fromUtf8(info->name()))
            .toLower();
    name.replace(QRegularExpression(u"[^a-z0-9_]"_s), u"_"_s);
    return name.left(50) + u'_' + QString::number(QCoreApplication::applicationPid());
}

class MediaServerTest : public testing::Test {
protected:
    void SetUp() override {
        dataDir = test::testHome() + u"/server-data"_s;
        shared = SharedStores::fromEnvironment();
        if (shared) {
            storeName = testStoreName();
            storeOptions = shared->create(storeName);
        }
        token = createUser(u"ada"_s);
        ASSERT_TRUE(token.startsWith(u"slk_"_s));
        start();
        Config::shared().setToken(token);
    }

    QString createUser(const QString& name) {
        QProcess process;
        process.start(serverBinary,
                      QStringList{u"--data"_s, dataDir, u"--create-user"_s, name} + storeOptions);
        EXPECT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    void start(const QStringList& extra = {}) {
        server.reset();
        server = startAndReadLine(launcher +
                                      QStringList{serverBinary, u"--data"_s, dataDir, u"--listen"_s,
                                                  u"127.0.0.1:0"_s, u"--ready-fd"_s, u"{fd}"_s} +
                                      storeOptions + extra,
                                  &url);
        ASSERT_TRUE(server) << "the server did not start";
        Config::shared().setString(keys::server, url);
    }

    HttpResponse request(const QByteArray& method, const QString& address,
                         QList<std::pair<QByteArray, QByteArray>> headers = {},
                         QByteArray body = {}) {
        HttpRequest request;
        request.method = method;
        request.url = QUrl(address.startsWith(u'/') ? url + address : address);
        request.headers = std::move(headers);
        request.body = std::move(body);
        request.followRedirects = false;
        auto outcome = await(HttpClient::shared().send(std::move(request)));
        EXPECT_FALSE(outcome.error) << outcome.message();
        return outcome.value.value_or(HttpResponse{});
    }

    static QString error(const HttpResponse& response) {
        return QJsonDocument::fromJson(response.body).object().value(u"error"_s).toString();
    }

    UploadResult upload(const QString& file) {
        auto outcome = await(Uploader::upload(file));
        EXPECT_FALSE(outcome.error) << outcome.message();
        return outcome.value.value_or(UploadResult{});
    }

    QString path(const QString& link) const { return QUrl(link).path(QUrl::FullyEncoded); }

    // Stored files ("files", "thumbs") wherever the server keeps them, or its temporary ones.
    QStringList filesIn(const QString& sub) const {
        if (shared && sub != u"tmp")
            return shared->objects(storeName + u'/' + sub);
        return QDir(dataDir + u'/' + sub).entryList(QDir::Files | QDir::Hidden);
    }

    // A session cookie of the dashboard, signed in with `withToken`.
    QByteArray signIn(const QString& withToken) {
        const HttpResponse answer = request(
            "POST", u"/dashboard/login"_s,
            {{"Content-Type", "application/x-www-form-urlencoded"}, {"Origin", url.toUtf8()}},
            "token=" + QUrl::toPercentEncoding(withToken));
        EXPECT_EQ(answer.status, 303);
        const QByteArray cookie = answer.header("Set-Cookie");
        EXPECT_TRUE(cookie.contains("HttpOnly")) << cookie;
        EXPECT_TRUE(cookie.contains("SameSite=Strict")) << cookie;
        return cookie.left(cookie.indexOf(';'));
    }

    QString dataDir, token, url;
    std::optional<SharedStores> shared;
    QString storeName;
    QStringList storeOptions; // where the rows and files are, when not in dataDir
    QStringList launcher;     // runs the server under these words when set
    std::unique_ptr<ChildProcess> server;
};

} // namespace shotlark::test
