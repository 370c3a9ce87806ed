#include "store/History.h"
#include "server/UploadResult.h"
#include "support/Prelude.h"

#include <QDateTime>

namespace {

UploadResult result(int n) {
    return UploadResult{u"id%1"_s.arg(n),
                        u"https://m.example/u/%1"_s.arg(n),
                        u"https://m.example/raw/%1.png"_s.arg(n),
                        u"https://m.example/thumb/%1.png"_s.arg(n),
                        u"https://m.example/delete/%1"_s.arg(n),
                        u"shot %1.png"_s.arg(n),
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
        EXPECT_FALSE(History::decode(bytes).has_value()) << bytes;
    EXPECT_EQ(History::decode("[]"), QList<HistoryEntry>());
}

TEST(History, AddKeepsTheFifteenNewestFirst) {
    Config config;
    EXPECT_TRUE(History::entries(config).isEmpty());
    const double before = HistoryEntry::now();
    History::add(result(0), config);
    ASSERT_EQ(History::entries(config).size(), 1);
    const HistoryEntry first = History::entries(config).front();
    EXPECT_EQ(first, (HistoryEntry{u"id0"_s, u"shot 0.png"_s, u"https://m.example/u/0"_s,
                                   u"https://m.example/delete/0"_s, first.date}));
    EXPECT_GE(first.date, before);
    EXPECT_LE(first.date, HistoryEntry::now());

    for (int n = 1; n <= 16; ++n)
        History::add(result(n), config);
    const auto entries = History::entries(config);
    ASSERT_EQ(entries.size(), History::limit);
    for (int i = 0; i < History::limit; ++i)
        EXPECT_EQ(entries[i].id, u"id%1"_s.arg(16 - i));

    Config reopened; // the list survives a restart
    EXPECT_EQ(History::entries(reopened), entries);
}

TEST(History, UndecodableStoredListReadsEmptyAndIsReplacedOnNextAdd) {
    Config config;
    config.setData(keys::history, R"([{"url":"u","deletionURL":"d","date":1}])");
    EXPECT_TRUE(History::entries(config).isEmpty());
    EXPECT_TRUE(config.dataValue(keys::history).has_value()) << "reading does not delete it";
    History::add(result(5), config);
    const auto entries = History::entries(config);
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries.front().id, u"id5"_s);
}

TEST(UploadResultDecoding, RequiresAllSevenMembersWithTheirTypes) {
    const QByteArray full =
        R"({"id":"x1","url":"https://m/u/x1","raw_url":"https://m/r/x1.png","thumbnail_url":"https://m/t/x1",)"
        R"("deletion_url":"https://m/d/s3cr3t","name":"x1.png","size":5120,"extra":{"ignored":true}})";
    const auto decoded = UploadResult::decode(full);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rawURL, u"https://m/r/x1.png"_s);
    EXPECT_EQ(decoded->deletionURL, u"https://m/d/s3cr3t"_s);
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
