#include "app/AppDelegate.h"

#include "app/ConfigurationLink.h"
#include "app/MenuWindow.h"
#include "app/Notifier.h"
#include "app/StatusItem.h"
#include "base/Errors.h"
#include "hotkeys/HotKeyCenter.h"
#include "hotkeys/HotkeyState.h"
#include "nowplaying/NowPlaying.h"
#include "recording/ReplayBuffer.h"
#include "server/CustomUploader.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "settings/SettingsWindowController.h"
#include "store/Config.h"
#include "store/Destinations.h"
#include "store/History.h"
#include "store/Paths.h"
#include "update/Installation.h"
#include "update/Updater.h"

#include "platform/LinuxBackends.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace shotlark {

AppDelegate::AppDelegate(platform::Services services) : services_(std::move(services)) {
    if (!services_.clipboard)
        services_.clipboard = std::make_unique<platform::QtClipboard>();
    notifier_ = std::make_unique<Notifier>(*services_.notifications, *services_.opener);
    notifier_->allowLocalFolder(failedUploadsDir());
    notifier_->onCopy([this](const QString& text) { copyAgain(text); });
    hotKeyCenter_ = std::make_unique<HotKeyCenter>(*services_.hotkeys);
    settings_ = std::make_unique<SettingsWindowController>(*services_.autostart, *services_.sounds,
                                                           *services_.hotkeys);
    settings_->setImporter([this](const QString& file) { importUploader(file); });

    menuActions_.uploadClipboard = [this] {
        uploadClipboard();
    };
    menuActions_.captureRegion = [this] {
        capture(CaptureMode::region);
    };
    menuActions_.captureWindow = [this] {
        capture(CaptureMode::window);
    };
    menuActions_.captureScreen = [this] {
        capture(CaptureMode::screen);
    };
    menuActions_.annotateRegion = [this] {
        markUp(CaptureMode::region);
    };
    menuActions_.copyRegion = [this] {
        keepRegion(KeepPicture::onClipboard);
    };
    menuActions_.saveRegion = [this] {
        keepRegion(KeepPicture::inFile);
    };
    menuActions_.toggleRecording = [this] {
        toggleRecording(false);
    };
    menuActions_.recordGIF = [this] {
        toggleRecording(true);
    };
    menuActions_.stopRecording = [this] {
        stopRecordingAction();
    };
    menuActions_.toggleReplay = [this] {
        toggleReplayAction();
    };
    menuActions_.saveReplay = [this] {
        saveReplay();
    };
    // The running recording's time, once a second (also while the menu is open).
    connect(&recordingTimer_, &QTimer::timeout, this, &AppDelegate::updateStatusTitle);
    menuActions_.copyText = [this] {
        copyText();
    };
    menuActions_.pickFiles = [this] {
        pickFiles();
    };
    menuActions_.openSettings = [this] {
        settings_->show();
    };
    menuActions_.quit = [] {
        QCoreApplication::quit();
    };
    menuActions_.clearHistory = [] {
        History::clear();
    };
    menuActions_.openDashboard = [this] {
        if (const auto base = Uploader::serverURL(Config::shared().server()))
            openSignedIn(Uploader::endpoint(*base, QStringLiteral("dashboard/")));
    };
    menuActions_.copyEntry = [this](const HistoryEntry& entry) {
        copyAndTell(entry.url, QString(), QStringLiteral("Link ready"), entry.url, entry.url);
    };
    menuActions_.openEntry = [this](const HistoryEntry& entry) {
        openLink(entry.url);
    };
    menuActions_.deleteEntry = [this](const HistoryEntry& entry) {
        deleteEntry(entry);
    };
    menuActions_.chooseDestination = [](const QString& id) {
        destinations::setActive(id);
    };
    menuActions_.checkForUpdates = [this] {
        checkForUpdates();
    };
    menuActions_.installUpdate = [this] {
        installUpdate();
    };
    // The updater's outcomes are notifications without a link.
    QObject::connect(
        &Updater::shared(), &Updater::announce, this,
        [this](const QString& title, const QString& body) { notifier_->notify(title, body); });
    // A retried file that reaches the server leaves the folder; one that fails again stays.
    menuActions_.retryUploads = [this](const QStringList& files) {
        upload(files, true);
    };
    menuActions_.showInFolder = [this](const QString& file) {
        services_.opener->open(QUrl::fromLocalFile(QFileInfo(file).absolutePath()));
    };
    menuActions_.annotateEntry = [this](const QString& id) {
        if (const auto editor = ServerInfo::shared().editorURL(id))
            openSignedIn(*editor);
    };
}

AppDelegate::~AppDelegate() {
    HotkeyState& state = HotkeyState::shared();
    state.reload = [] {
        return QSet<HotkeyAction>();
    };
    state.suspend = [] {
    };
}

void AppDelegate::launch() {
    // Each opening also refreshes the server's features; what changes shows the next time.
    statusItem_ = std::make_unique<StatusItem>([this] { return menuModel(); },
                                               [] { ServerInfo::shared().refresh(false); },
                                               [this] { showMenuWindow(false); });
    statusItem_->show();
    registerHotKeys();
    if (!hasDestination())
        settings_->show();
    startServices();
    checkTray();
}

QCoro::Task<> AppDelegate::checkTray() {
    if (!services_.tray)
        co_return;
    QPointer<AppDelegate> self(this);
    auto asking = services_.tray->present();
    const bool present = co_await std::move(asking);
    if (!self || present)
        co_return;
    trayMissing_ = true;
    // How to get a tray is said once; the window itself comes at every start.
    const bool hint = !Config::shared().boolValue(keys::trayHintShown);
    Config::shared().setBool(keys::trayHintShown, true);
    showMenuWindow(hint);
}

void AppDelegate::showMenuWindow(bool hint) {
    if (!menuWindow_)
        menuWindow_ = std::make_unique<MenuWindow>([this] { return menuModel(); });
    ServerInfo::shared().refresh(false); // as the tray menu does when it opens
    menuWindow_->present(hint);
}

QCoro::Task<> AppDelegate::startServices() {
    QPointer<AppDelegate> self(this);
    // The refresh reports nothing and keeps what it can't replace.
    auto refreshing = ServerInfo::shared().refresh(true);
    co_await std::move(refreshing);
    if (!self)
        co_return;
    if (services_.players) {
        nowPlaying_ = std::make_unique<NowPlaying>(*services_.players);
        nowPlaying_->start();
    }
    if (Config::shared().boolValue(keys::autoUpdate) &&
        ServerInfo::shared().isEnabled(features::autoUpdate))
        Updater::shared().start();
    if (Config::shared().boolValue(keys::replayEnabled) &&
        ServerInfo::shared().isEnabled(features::replayBuffer))
        startReplay();
}

void AppDelegate::checkForUpdates() {
    Updater::shared().check(true);
}

QCoro::Task<> AppDelegate::installUpdate() {
    const auto update = Updater::shared().available();
    if (!update)
        co_return;
    // A package's files belong to the package manager, which brings the new version itself.
    if (installation::current().kind == installation::Kind::Package) {
        services_.dialogs->alert(
            {platform::Alert::Style::Informational,
             QStringLiteral("Update Shotlark with your package manager"),
             QStringLiteral("This copy of Shotlark was installed as a package, so version %1 "
                            "comes as a package too: install it with your package manager (for "
                            "example \u201capt install ./shotlark_%1_amd64.deb\u201d, or "
                            "\u201capt upgrade\u201d from a package source).")
                 .arg(update->version),
             {}});
        co_return;
    }
    // The update restarts the app: a movie still being written would be cut off unreadable.
    if (isRecording()) {
        showWarning(QStringLiteral("Update failed"),
                    QStringLiteral("Stop the recording first: the update restarts Shotlark."));
        co_return;
    }
    QPointer<AppDelegate> self(this);
    try {
        auto installing = Updater::shared().install();
        co_await std::move(installing);
    } catch (const Error& error) {
        if (self)
            showWarning(QStringLiteral("Update failed"), error.message());
    }
}

void AppDelegate::handleArguments(const QStringList& arguments) {
    QStringList files;
    QStringList links;
    QList<HotkeyAction> actions;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QStringLiteral("--action") && i + 1 < arguments.size()) {
            if (const auto action = hotkeys::fromRawValue(arguments[++i]))
                actions.append(*action);
            continue;
        }
        const QUrl url(argument);
        const QString file = url.isLocalFile() ? url.toLocalFile() : argument;
        if (url.scheme() == QStringLiteral("shotlark")) // QUrl lower-cases schemes
            links.append(argument);
        else if (file.endsWith(QStringLiteral(".sxcu"), Qt::CaseInsensitive))
            importUploader(file);
        else
            files.append(file);
    }
    openURLs(links);
    if (!files.isEmpty())
        upload(files, false);
    for (HotkeyAction action : actions)
        perform(action);
    // Started again from the desktop's app list: with no tray icon, that is how to get the menu.
    if (arguments.isEmpty() && trayMissing_)
        showMenuWindow(false);
}

void AppDelegate::openURLs(const QStringList& links) {
    for (const QString& link : links) {
        if (const auto parsed = parseConfigurationLink(link))
            configure(parsed->server, parsed->token);
    }
}

QCoro::Task<> AppDelegate::configure(QString server, QString token) {
    QPointer<AppDelegate> self(this);
    auto asking = services_.dialogs->alert(
        {platform::Alert::Style::Informational,
         QStringLiteral("Connect to %1?").arg(Config::normalize(server)),
         QStringLiteral("Screenshots you take with this app will be uploaded there."),
         {QStringLiteral("Connect"), QStringLiteral("Cancel")}});
    const int answer = co_await std::move(asking);
    if (answer != 0 || !self)
        co_return;
    QString username;
    try {
        auto verifying = Uploader::verify(server, token);
        username = co_await std::move(verifying);
    } catch (const Error& error) {
        if (self)
            showWarning(QStringLiteral("Couldn't connect"), error.message());
        co_return;
    }
    if (!self)
        co_return;
    Config& config = Config::shared();
    config.setString(keys::server, Config::normalize(server));
    config.setToken(token);
    config.setString(keys::username, username);
    auto refreshing = ServerInfo::shared().refresh(true);
    co_await std::move(refreshing);
    notifier_->notify(
        QStringLiteral("Connected"),
        QStringLiteral("Signed in as %1. Press Ctrl+Shift+7 to capture.").arg(username));
}

QCoro::Task<> AppDelegate::copyAndTell(QString text, QString copied, QString ready, QString body,
                                       std::optional<QString> link) {
    QPointer<AppDelegate> self(this);
    auto setting = services_.clipboard->setText(text);
    const bool reached = co_await std::move(setting);
    if (!self)
        co_return;
    if (!reached)
        notifier_->notify(ready, body, link, text);
    else if (!copied.isEmpty())
        notifier_->notify(copied, body, link);
}

QCoro::Task<> AppDelegate::copyAgain(QString text) {
    QPointer<AppDelegate> self(this);
    auto setting = services_.clipboard->setText(text);
    const bool reached = co_await std::move(setting);
    if (self && !reached)
        notifier_->notify(QStringLiteral("Not copied"),
                          QStringLiteral("The desktop didn't let Shotlark reach the clipboard."),
                          std::nullopt, text);
}

void AppDelegate::playSound(platform::Sound sound) {
    if (Config::shared().boolValue(keys::playSound))
        services_.sounds->play(sound);
}

void AppDelegate::showWarning(const QString& message, const QString& informative) {
    // Not awaited: the flow that failed is over, the alert only tells.
    services_.dialogs->alert({platform::Alert::Style::Warning, message, informative, {}});
}

QCoro::Task<> AppDelegate::deleteEntry(HistoryEntry entry) {
    QPointer<AppDelegate> self(this);
    // It sits right under Annotate…: a slip of the pointer must not delete.
    auto asking =
        services_.dialogs->alert({platform::Alert::Style::Warning,
                                  QStringLiteral("Delete %1 from the server?").arg(entry.name),
                                  QStringLiteral("Its links stop working for everyone."),
                                  {QStringLiteral("Delete"), QStringLiteral("Cancel")}});
    const int answer = co_await std::move(asking);
    if (answer != 0 || !self)
        co_return;
    auto deleting = Uploader::deleteUpload(entry.deletionURL);
    const Uploader::Deletion outcome = co_await std::move(deleting);
    if (!self)
        co_return;
    if (outcome == Uploader::Deletion::Done) {
        History::remove(entry.url);
        notifier_->notify(QStringLiteral("Deleted"), entry.url);
    } else if (outcome == Uploader::Deletion::Refused) {
        showWarning(QStringLiteral("Delete failed"),
                    QStringLiteral("The server didn't accept the deletion link."));
    }
}

QCoro::Task<> AppDelegate::openSignedIn(QUrl page) {
    QPointer<AppDelegate> self(this);
    auto signing = Uploader::signedInLink(page);
    const QUrl link = co_await std::move(signing);
    if (self)
        services_.opener->open(link);
}

void AppDelegate::openLink(const QString& link) {
    const QUrl url(link, QUrl::StrictMode);
    if (isWebLink(url))
        services_.opener->open(url);
}

QString AppDelegate::statusTitle() const {
    if (isRecording())
        return QStringLiteral(" \u25cf ") + (recordingGIF_ ? QStringLiteral("GIF ") : QString()) +
               recordingDuration();
    if (captureCountdown_ > 0)
        return QStringLiteral(" %1").arg(captureCountdown_);
    if (progress_.isEmpty())
        return QString();
    double sum = 0;
    for (double value : progress_)
        sum += value;
    return QStringLiteral(" %1%").arg(
        static_cast<int>(sum / static_cast<double>(progress_.size()) * 100.0));
}

void AppDelegate::updateStatusTitle() {
    if (!statusItem_)
        return;
    const bool replaying = replay_ && replay_->isRunning();
    QString toolTip = QStringLiteral("Shotlark");
    if (isRecording()) {
        toolTip += (recordingGIF_ ? QStringLiteral(": recording a GIF, ")
                                  : QStringLiteral(": recording, ")) +
                   recordingDuration();
    } else if (captureCountdown_ > 0) {
        toolTip += QStringLiteral(": capturing in %1 s").arg(captureCountdown_);
    } else if (const QString title = statusTitle(); !title.isEmpty()) {
        toolTip += QStringLiteral(": uploading,") + title;
    }
    if (replaying)
        toolTip += QStringLiteral("\nReplay buffer on: the last 30 seconds can be saved");
    statusItem_->setStatus(statusTitle(), toolTip, isRecording(), replaying); // recording: red
    if (isRecording())
        statusItem_->refreshTexts(); // "Stop Recording (0:42)" counts on while the menu is open
}

QList<MenuItem> AppDelegate::menuModel() {
    const Config& config = Config::shared();
    MenuState state;
    state.configured = config.isConfigured();
    state.server = config.server();
    state.username = config.username();
    state.activeUploads = activeUploads_;
    state.history = History::entries();
    state.recording = isRecording();
    state.recordingGIF = recordingGIF_;
    state.recordingDuration = recordingDuration();
    state.replayRunning = replay_ && replay_->isRunning();
    for (const QFileInfo& kept :
         QDir(failedUploadsDir()).entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Time))
        state.failedUploads.append(kept.absoluteFilePath());
    if (const auto& update = Updater::shared().available())
        state.availableUpdate = update->version;
    for (const destinations::Saved& saved : destinations::all()) {
        const QString name = saved.file.value(QLatin1StringView("Name")).toString();
        state.destinations.append(
            {saved.id,
             name.isEmpty()
                 ? QUrl(saved.file.value(QLatin1StringView("RequestURL")).toString()).host()
                 : name});
    }
    if (const auto active = destinations::active())
        state.destination = active->id;
    state.isEnabled = [](const QString& feature) {
        return ServerInfo::shared().isEnabled(feature);
    };
    state.shortcut = [](HotkeyAction action) {
        return hotkeys::shortcut(action);
    };
    return buildMenu(state, menuActions_);
}

} // namespace shotlark
