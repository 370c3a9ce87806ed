#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <optional>

namespace shotlark {

struct AvailableUpdate {
    QString version;
    QUrl url;
};

// Finds a newer build on the connected server, announces it once, and installs it: download,
// unpack, verify against the release key built into the app, then a script that swaps the
// bundle once the app has quit and starts the new one.
class Updater : public QObject {
    Q_OBJECT
public:
    static Updater& shared();

    // The key release bundles are signed with (32 raw Ed25519 bytes); set once by main().
    static void setTrustedKey(const QByteArray& key);
    // The app's own version; "0" when it has none.
    static QString currentVersion();
    // Whether version `a` is newer than `b`: dot-separated numbers compared in turn, a piece
    // that is not a number counting as 0.
    static bool isNewer(const QString& a, const QString& b);

    // The first automatic check, then one every six hours while automatic checks are on.
    void start();
    // Starts a check and returns at once; a manual one always reports its outcome.
    void check(bool manual);
    // The check itself, for callers that wait for it.
    QCoro::Task<> checkNow(bool manual);
    // Installs `available()`; on success asks the app to quit, and the script takes over.
    // Throws `Error` with the text to show.
    QCoro::Task<> install();

    const std::optional<AvailableUpdate>& available() const { return available_; }

Q_SIGNALS:
    // A notification for the user (no link).
    void announce(const QString& title, const QString& body);
    void availableChanged();

private:
    Updater() = default;
    void setAvailable(std::optional<AvailableUpdate> update);

    std::optional<AvailableUpdate> available_;
    std::optional<QString> notifiedVersion_;
    QTimer* timer_ = nullptr;
    bool installing_ = false;
};

} // namespace shotlark
