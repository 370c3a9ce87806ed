#include "Isolation.h"
#include "support/Prelude.h"

#include "store/Config.h"

#include <QTemporaryDir>

#include <cstdlib>

namespace shotlark::test {

namespace {
using shotlark::Config;
std::unique_ptr<QTemporaryDir> processHome; // until the first test starts, and between tests
std::unique_ptr<QTemporaryDir> current;

std::unique_ptr<QTemporaryDir> makeHome() {
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + u"/slk-test-XXXXXX"_s);
    if (!dir->isValid())
        std::abort();
    return dir;
}

void pointEnvironmentAt(const QString& root) {
    const auto set = [&](const char* name, const QString& sub) {
        const QString path = root + sub;
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ::setenv(name, QFile::encodeName(path).constData(), 1);
    };
    set("HOME", u"/home"_s);
    set("XDG_CONFIG_HOME", u"/home/.config"_s);
    set("XDG_DATA_HOME", u"/home/.local/share"_s);
    set("XDG_CACHE_HOME", u"/home/.cache"_s);
    set("XDG_RUNTIME_DIR", u"/run"_s);
}

class PerTestHome : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        current = makeHome();
        pointEnvironmentAt(current->path());
        Config::resetShared();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        Config::resetShared();
        pointEnvironmentAt(processHome->path());
        current.reset();
    }
};
} // namespace

QString testHome() {
    const auto& home = current ? current : processHome;
    return home ? home->path() + u"/home"_s : QString();
}

QString writeTestFile(const QString& path, const QByteArray& bytes) {
    const QString absolute = QDir::isRelativePath(path) ? testHome() + u'/' + path : path;
    QDir().mkpath(QFileInfo(absolute).absolutePath());
    QFile file(absolute);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << absolute;
    file.write(bytes);
    return absolute;
}

QByteArray readTestFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void installPerTestIsolation() {
    processHome = makeHome();
    pointEnvironmentAt(processHome->path());
    testing::UnitTest::GetInstance()->listeners().Append(new PerTestHome);
}

} // namespace shotlark::test
