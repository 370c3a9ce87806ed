#include "store/History.h"
#include "server/UploadResult.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDateTime>

using namespace shotlark;

namespace {

UploadResult result(int n) {
    return UploadResult{QStringLiteral("id%1").arg(n),
                        QStringLiteral("https://m.example/u/%1").arg(n),
                        QStringLiteral("https://m.example/raw/%1.png").arg(n),
                        QStringLiteral("https://m.example/thumb/%1.png").arg(n),
                        QStringLiteral("https://m.example/delete/%1").arg(n),
                        QStringLiteral("shot %1.png").arg(n),
                        1000 + n};
}

// Written by hand in the stored form: newest first, the second entry without "id".
const QByteArray handWritten = R"([
  {"url": "https://m.example/u/b", "name": "b.mp4", "deletionURL": "https://m.example/d/b",
   "id": "b", "date": 786839123.456789},
  {"date": 786000000.5, "name": "a \"quoted\".png", "url": "https://m.example/u/a",
   "deletionURL": "https://m.example/d/a"}
])";

} // namespace

TEST(HistoryFormat, DecodesTheStoredFormWrittenByHand) {
    const auto entries = History::decode(handWritten);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2);
    const HistoryEntry& newest = entries->at(0);
    EXPECT_EQ(newest.id, QStringLiteral("b"));
    EXPECT_EQ(newest.name, QStringLiteral("b.mp4"));
    EXPECT_EQ(newest.deletionURL, QStringLiteral("https://m.example/d/b"));
    EXPECT_EQ(newest.date, 786839123.456789);
    EXPECT_FALSE(entries->at(1).id.has_value());
    EXPECT_EQ(entries->at(1).name, QStringLiteral("a \"quoted\".png"));
    EXPECT_EQ(entries->at(1).dateTime(),
              QDateTime::fromString(QStringLiteral("2025-11-28T05:20:00.500Z"), Qt::ISODateWithMs));
}

TEST(HistoryFormat, EncodesExactBytesAndKeepsDateFractions) {
    const auto entries = History::decode(handWritten);
    ASSERT_TRUE(entries);
    EXPECT_EQ(
        History::encode(*entries),
        QByteArray(R"([{"date":786839123.456789,"deletionURL":"https://m.example/d/b","id":"b",)"
                   R"("name":"b.mp4","url":"https://m.example/u/b"},)"
                   R"({"date":786000000.5,"deletionURL":"https://m.example/d/a",)"
                   R"("name":"a \"quoted\".png","url":"https://m.example/u/a"}])"));
    EXPECT_EQ(History::decode(History::encode(*entries)), entries);
    EXPECT_EQ(HistoryEntry{}.dateTime(),
              QDateTime::fromString(QStringLiteral("2001-01-01T00:00:00Z"), Qt::ISODate));
}

TEST(HistoryFormat, OneBadElementMakesTheWholeListUnreadable) {
    const QByteArray cases[] = {
        R"([{"url":"u","deletionURL":"d","date":1},{"name":"n","url":"u","deletionURL":"d","date":1}])",
        R"([{"name":"n","url":"u","deletion_url":"d","date":1}])",
        R"([{"name":"n","url":"u","deletionURL":"d","date":"2024-01-01"}])",
        R"([{"name":"n","url":"u","deletionURL":"d","date":1,"id":7}])",
        R"({"name":"n"})",
        "not json",
    };
    for (const QByteArray& bytes : cases)
        EXPECT_FALSE(History::decode(bytes).has_value()) << bytes.toStdString();
    EXPECT_EQ(History::decode("[]"), QList<HistoryEntry>());
}

TEST(History, AddKeepsTheFifteenNewestFirst) {
    Config config;
    EXPECT_TRUE(History::entries(config).isEmpty());
    const double before = HistoryEntry::now();
    History::add(result(0), config);
    ASSERT_EQ(History::entries(config).size(), 1);
    const HistoryEntry first = History::entries(config).front();
    EXPECT_EQ(first, (HistoryEntry{QStringLiteral("id0"), QStringLiteral("shot 0.png"),
                                   QStringLiteral("https://m.example/u/0"),
                                   QStringLiteral("https://m.example/delete/0"), first.date}));
    EXPECT_GE(first.date, before);
    EXPECT_LE(first.date, HistoryEntry::now());

    for (int n = 1; n <= 16; ++n)
        History::add(result(n), config);
    const auto entries = History::entries(config);
    ASSERT_EQ(entries.size(), History::limit);
    for (int i = 0; i < History::limit; ++i)
        EXPECT_EQ(entries[i].id, QStringLiteral("id%1").arg(16 - i));

    Config reopened; // the list survives a restart
    EXPECT_EQ(History::entries(reopened), entries);
}

TEST(History, RemoveDropsEveryEntryWithThatLink) {
    Config config;
    History::add(result(1), config);
    History::add(result(2), config);
    History::add(result(1), config);
    ASSERT_EQ(History::entries(config).size(), 3);

    History::remove(QStringLiteral("https://m.example/u/404"), config);
    EXPECT_EQ(History::entries(config).size(), 3);
    History::remove(QStringLiteral("HTTPS://m.example/u/1"), config);
    EXPECT_EQ(History::entries(config).size(), 3) << "links compare case-sensitively";

    History::remove(QStringLiteral("https://m.example/u/1"), config);
    const auto left = History::entries(config);
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left.front().id, QStringLiteral("id2"));

    History::clear(config);
    EXPECT_TRUE(History::entries(config).isEmpty());
    EXPECT_FALSE(config.contains(keys::history));
}

TEST(History, UndecodableStoredListReadsEmptyAndIsReplacedOnNextAdd) {
    Config config;
    config.setData(keys::history, R"([{"url":"u","deletionURL":"d","date":1}])");
    EXPECT_TRUE(History::entries(config).isEmpty());
    EXPECT_TRUE(config.dataValue(keys::history).has_value()) << "reading does not delete it";
    History::add(result(5), config);
    const auto entries = History::entries(config);
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries.front().id, QStringLiteral("id5"));
}

TEST(UploadResultDecoding, RequiresAllSevenMembersWithTheirTypes) {
    const QByteArray full =
        R"({"id":"x1","url":"https://m/u/x1","raw_url":"https://m/r/x1.png","thumbnail_url":"https://m/t/x1",)"
        R"("deletion_url":"https://m/d/s3cr3t","name":"x1.png","size":5120,"extra":{"ignored":true}})";
    const auto decoded = UploadResult::decode(full);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rawURL, QStringLiteral("https://m/r/x1.png"));
    EXPECT_EQ(decoded->deletionURL, QStringLiteral("https://m/d/s3cr3t"));
    EXPECT_EQ(decoded->size, 5120);

    for (const char* key :
         {"id", "url", "raw_url", "thumbnail_url", "deletion_url", "name", "size"}) {
        QByteArray without = full;
        without.replace(QByteArray("\"") + key + "\":", "\"other_" + QByteArray(key) + "\":");
        EXPECT_FALSE(UploadResult::decode(without)) << "missing " << key;
    }
    for (const char* size : {"\"5120\"", "51.5", "null", "1e400"}) {
        QByteArray bad = full;
        bad.replace("5120", size);
        EXPECT_FALSE(UploadResult::decode(bad)) << size;
    }
    EXPECT_FALSE(UploadResult::decode("<html>502</html>"));
}
