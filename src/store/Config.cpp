#include "store/Config.h"

#include "store/AtomicFile.h"
#include "store/Paths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMutexLocker>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <sys/stat.h>

namespace shotlark {

namespace {
const QString settingsFileName = QStringLiteral("settings.json");
const QString tokenFileName = QStringLiteral("token");

void warn(const QString& text) {
    std::fprintf(stderr, "shotlark: %s\n", qPrintable(text));
}

// Removes group and other bits from an existing file or directory.
void narrow(const QString& path, mode_t wanted) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) == 0 && (st.st_mode & 07777) != wanted)
        ::chmod(native.constData(), wanted);
}
} // namespace

namespace {
std::atomic<Config*> sharedInstance{nullptr};
QMutex sharedMutex;
} // namespace

Config& Config::shared() {
    // Created on first use from any thread; the settings of the whole run.
    if (Config* config = sharedInstance.load(std::memory_order_acquire))
        return *config;
    QMutexLocker lock(&sharedMutex);
    if (!sharedInstance.load(std::memory_order_relaxed)) {
        auto* config = new Config();
        config->registerDefaults(standardDefaults());
        sharedInstance.store(config, std::memory_order_release);
    }
    return *sharedInstance.load(std::memory_order_relaxed);
}

void Config::resetShared() {
    QMutexLocker lock(&sharedMutex);
    delete sharedInstance.exchange(nullptr);
}

Config::Config(QString settingsFile, QString tokenFile)
    : settingsFile_(std::move(settingsFile)), tokenFile_(std::move(tokenFile)) {
    load();
    secureTokenLocation();
}

Config::Config()
    : Config(paths::configDir() + QLatin1Char('/') + settingsFileName,
             paths::dataDir() + QLatin1Char('/') + tokenFileName) {}

const Config::Defaults& Config::standardDefaults() {
    static const Defaults defaults = {
        {keys::playSound, true},
        {keys::showNotifications, true},
        {keys::compressScreenshots, true},
        {keys::recordAudio, false},
        {keys::copyDirectLink, false},
        {keys::openAfterUpload, false},
        {keys::recordFrameRate, 30},
        {keys::recordHighQuality, false},
        {keys::captureDelay, 0},
        {keys::annotateAfterCapture, false},
        {keys::annotateBeforeUpload, false},
        {keys::autoUpdate, true},
        {keys::shareNowPlaying, false},
        {keys::replayEnabled, false},
    };
    return defaults;
}

void Config::registerDefaults(const Defaults& defaults) {
    QMutexLocker lock(&mutex_);
    for (const auto& [key, value] : defaults)
        registered_.insert(key, value);
}

void Config::load() {
    QFile file(settingsFile_);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        warn(QStringLiteral("can't read %1 (%2); using defaults")
                 .arg(settingsFile_, file.errorString()));
        damaged_ = true;
        return;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        warn(QStringLiteral("%1 is damaged; using defaults").arg(settingsFile_));
        damaged_ = true;
        return;
    }
    values_ = document.object();
}

bool Config::contains(const QString& key) const {
    QMutexLocker lock(&mutex_);
    return values_.contains(key);
}

template <typename Read>
auto Config::firstReadable(const QString& key, Read read) const -> decltype(read(QJsonValue())) {
    QMutexLocker lock(&mutex_);
    for (const QJsonValue& value : {values_.value(key), registered_.value(key)}) {
        if (auto result = read(value))
            return result;
    }
    return std::nullopt;
}

bool Config::boolValue(const QString& key) const {
    return firstReadable(key,
                         [](const QJsonValue& value) -> std::optional<bool> {
                             if (value.isBool())
                                 return value.toBool();
                             if (value.isDouble())
                                 return value.toDouble() != 0;
                             return std::nullopt;
                         })
        .value_or(false);
}

qint64 Config::integerValue(const QString& key) const {
    return firstReadable(key,
                         [](const QJsonValue& value) -> std::optional<qint64> {
                             if (!value.isDouble() || !std::isfinite(value.toDouble()))
                                 return std::nullopt;
                             return value.toInteger(static_cast<qint64>(value.toDouble()));
                         })
        .value_or(0);
}

std::optional<QString> Config::stringValue(const QString& key) const {
    return firstReadable(key, [](const QJsonValue& value) -> std::optional<QString> {
        if (!value.isString())
            return std::nullopt;
        return value.toString();
    });
}

std::optional<QByteArray> Config::dataValue(const QString& key) const {
    // Byte values are stored as base64 text; anything else is unreadable.
    return firstReadable(key, [](const QJsonValue& value) -> std::optional<QByteArray> {
        if (!value.isString())
            return std::nullopt;
        auto decoded = QByteArray::fromBase64Encoding(value.toString().toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return std::nullopt;
        return *decoded;
    });
}

void Config::setBool(const QString& key, bool value) {
    assign(key, value);
}
void Config::setInteger(const QString& key, qint64 value) {
    assign(key, value);
}
void Config::setString(const QString& key, const QString& value) {
    assign(key, value);
}
void Config::setData(const QString& key, const QByteArray& value) {
    assign(key, QString::fromLatin1(value.toBase64()));
}

void Config::remove(const QString& key) {
    {
        QMutexLocker lock(&mutex_);
        if (!values_.contains(key))
            return;
        values_.remove(key);
        persistLocked();
    }
    Q_EMIT changed(key);
}

void Config::assign(const QString& key, const QJsonValue& value) {
    {
        QMutexLocker lock(&mutex_);
        values_.insert(key, value);
        persistLocked();
    }
    // Outside the lock: receivers read the settings again.
    Q_EMIT changed(key);
}

void Config::persistLocked() {
    if (damaged_) {
        // Keep what could not be read for the user to recover; never write over it.
        QString aside = settingsFile_ + QStringLiteral(".damaged");
        if (QFileInfo::exists(aside))
            aside += QLatin1Char('-') +
                     QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
        if (!QFile::rename(settingsFile_, aside)) {
            warn(QStringLiteral("can't move the damaged %1 aside; settings are not saved")
                     .arg(settingsFile_));
            return;
        }
        movedAside_ = aside;
        damaged_ = false;
    }
    const QString dir = QFileInfo(settingsFile_).absolutePath();
    QString error;
    if (!paths::ensurePrivateDir(dir) ||
        !writeFileAtomically(settingsFile_, QJsonDocument(values_).toJson(), 0600, &error))
        warn(QStringLiteral("settings not saved: %1").arg(error.isEmpty() ? dir : error));
}

QString Config::damagedFile() const {
    QMutexLocker lock(&mutex_);
    return damaged_ ? settingsFile_ : movedAside_;
}

bool Config::isConfigured() const {
    const auto stored = stringValue(keys::server);
    return stored && !stored->isEmpty() && !token().isEmpty();
}

QString Config::token() const {
    QFile file(tokenFile_);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).trimmed();
}

void Config::setToken(const QString& value) {
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty()) {
        QFile::remove(tokenFile_);
    } else {
        paths::ensurePrivateDir(QFileInfo(tokenFile_).absolutePath());
        QString error;
        if (!writeFileAtomically(tokenFile_, trimmed.toUtf8(), 0600, &error))
            warn(QStringLiteral("token not saved: %1").arg(error));
    }
    Q_EMIT changed(tokenKey);
}

void Config::secureTokenLocation() const {
    // Earlier versions or other tools may have left these readable by others.
    narrow(QFileInfo(tokenFile_).absolutePath(), 0700);
    narrow(tokenFile_, 0600);
}

QString Config::normalize(const QString& server) {
    QString text = server.trimmed();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    if (text.isEmpty())
        return QString();
    if (text.contains(QStringLiteral("://")))
        return text;
    return QStringLiteral("https://") + text;
}

} // namespace shotlark
