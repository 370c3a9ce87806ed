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

class MediaServerTest : public testing::Test {
protected:
    void SetUp() override {
        dataDir = test::testHome() + u"/server-data"_s;
        token = createUser(u"ada"_s);
        ASSERT_TRUE(token.startsWith(u"slk_"_s));
        start();
        Config::shared().setToken(token);
    }

    QString createUser(const QString& name) {
        QProcess process;
        process.start(serverBinary, {u"--data"_s, dataDir, u"--create-user"_s, name});
        EXPECT_TRUE(process.waitForFinished(20000));
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    void start(const QStringList& extra = {}) {
        server.reset();
        server = startAndReadLine(launcher +
                                      QStringList{serverBinary, u"--data"_s, dataDir, u"--listen"_s,
                                                  u"127.0.0.1:0"_s, u"--ready-fd"_s, u"{fd}"_s} +
                                      extra,
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

    QStringList filesIn(const QString& sub) const {
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
    QStringList launcher; // runs the server under these words when set
    std::unique_ptr<ChildProcess> server;
};

} // namespace shotlark::test
