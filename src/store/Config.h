#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <optional>
#include <utility>

namespace shotlark {

// Setting keys, as stored.
namespace keys {
inline const QString server = QStringLiteral("server");
inline const QString username = QStringLiteral("username");
inline const QString playSound = QStringLiteral("playSound");
inline const QString showNotifications = QStringLiteral("showNotifications");
inline const QString compressScreenshots = QStringLiteral("compressScreenshots");
inline const QString recordAudio = QStringLiteral("recordAudio");
inline const QString copyDirectLink = QStringLiteral("copyDirectLink");
inline const QString openAfterUpload = QStringLiteral("openAfterUpload");
inline const QString recordFrameRate = QStringLiteral("recordFrameRate");
inline const QString recordHighQuality = QStringLiteral("recordHighQuality");
// Seconds between asking for a screen or window capture and taking it (0: none).
inline const QString captureDelay = QStringLiteral("captureDelay");
inline const QString annotateAfterCapture = QStringLiteral("annotateAfterCapture");
// Region and window captures open the markup editor before they leave.
inline const QString annotateBeforeUpload = QStringLiteral("annotateBeforeUpload");
inline const QString autoUpdate = QStringLiteral("autoUpdate");
inline const QString shareNowPlaying = QStringLiteral("shareNowPlaying");
inline const QString replayEnabled = QStringLiteral("replayEnabled");
inline const QString history = QStringLiteral("history");
// The window that stands in for a missing tray has told how to get one (absent: not yet).
inline const QString trayHintShown = QStringLiteral("trayHintShown");
// The folder of the files last picked with Upload Files…, where the next choice starts.
inline const QString lastUploadFolder = QStringLiteral("lastUploadFolder");
// The desktop's token for the screen or window last chosen for recording (Wayland).
inline const QString screenCastRestoreToken = QStringLiteral("screenCastRestoreToken");
// The imported upload server uploads go to (its id); absent: the Shotlark server.
inline const QString destination = QStringLiteral("destination");
} // namespace keys

// The per-user settings: a JSON file under the config directory with an in-memory registration
// domain of defaults that is never written, plus the upload token in a private file of its own.
//
// Every value the user set is kept in memory and the file is rewritten atomically on each
// change. Reads and writes are safe from any thread.
class Config : public QObject {
    Q_OBJECT
public:
    using Defaults = QList<std::pair<QString, QJsonValue>>;

    // The process-wide instance, opened on first use from the environment's XDG directories.
    static Config& shared();
    // Drops the shared instance so that the next shared() opens the environment's files again
    // (tests give every case its own home). No other thread may be using it.
    static void resetShared();

    // Opens the settings in `settingsFile` and the token at `tokenFile`.
    Config(QString settingsFile, QString tokenFile);
    // Opens the locations of the current environment (what shared() uses).
    Config();

    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    // The switch and frame-rate defaults, in registration order.
    static const Defaults& standardDefaults();
    void registerDefaults(const Defaults& defaults);

    // Typed reads: a value the user set wins when it has the asked type; otherwise the
    // registered default; otherwise false / 0 / nothing.
    bool boolValue(const QString& key) const;
    qint64 integerValue(const QString& key) const;
    std::optional<QString> stringValue(const QString& key) const;
    std::optional<QByteArray> dataValue(const QString& key) const;
    // Whether the user set `key` (whatever its type); registered defaults don't count.
    bool contains(const QString& key) const;

    void setBool(const QString& key, bool value);
    void setInteger(const QString& key, qint64 value);
    void setString(const QString& key, const QString& value);
    void setData(const QString& key, const QByteArray& value);
    void remove(const QString& key);

    // "server" as stored; absent reads as the empty string.
    QString server() const { return stringValue(keys::server).value_or(QString()); }
    std::optional<QString> username() const { return stringValue(keys::username); }

    // A server is stored and the token is not empty.
    bool isConfigured() const;

    // Read from the token file on every call, trimmed; "" when it can't be read.
    QString token() const;
    // Trims `value`; empty deletes the token file, anything else replaces it atomically (0600).
    void setToken(const QString& value);

    // The stored form of a server address as typed by the user.
    static QString normalize(const QString& server);

    const QString& settingsFile() const { return settingsFile_; }
    const QString& tokenFile() const { return tokenFile_; }
    // Set when the settings file existed but could not be read; it is moved aside, not
    // overwritten, before the first change is written.
    QString damagedFile() const;

    // What changed() names for the token, which is not a setting.
    static inline const QString tokenKey = QStringLiteral("token");

Q_SIGNALS:
    // `key` was set or removed (from any thread; queued to receivers on other threads).
    void changed(const QString& key);

private:
    // The first of the user's value and the registered default that `read` can convert.
    template <typename Read>
    auto firstReadable(const QString& key, Read read) const -> decltype(read(QJsonValue()));
    void load();
    void assign(const QString& key, const QJsonValue& value);
    void persistLocked();
    void secureTokenLocation() const;

    const QString settingsFile_;
    const QString tokenFile_;
    mutable QMutex mutex_;
    QJsonObject values_;
    QHash<QString, QJsonValue> registered_;
    bool damaged_ = false;
    QString movedAside_;
};

} // namespace shotlark
