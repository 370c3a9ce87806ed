#include "settings/SettingsWindowController.h"

#include "base/Errors.h"
#include "hotkeys/HotkeyState.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "settings/ShortcutField.h"
#include "settings/UploadServersBox.h"
#include "store/Config.h"
#include "update/Updater.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace shotlark {

namespace {

QLabel* caption(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

SettingsView::SettingsView(platform::Autostart& autostart, platform::SoundPlayer& sounds,
                           platform::GlobalHotkeys& keys,
                           std::function<void(const QString& file)> importUploader)
    : autostart_(autostart), sounds_(sounds), keys_(keys),
      importUploader_(std::move(importUploader)) {
    setWindowTitle(QStringLiteral("Shotlark"));
    // Opens at 500 × 700; larger fonts, a longer language or a smaller screen scroll the form
    // instead of squeezing its rows into each other.
    resize(500, 700);
    setMinimumSize(360, 240);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    auto* content = new QWidget;
    Config& config = Config::shared();
    auto* layout = new QVBoxLayout(content);

    // Account
    auto* account = new QGroupBox(QStringLiteral("Account"));
    auto* accountForm = new QFormLayout(account);
    server_ = new QLineEdit(config.server());
    server_->setPlaceholderText(defaultServer);
    token_ = new QLineEdit(config.token());
    token_->setEchoMode(QLineEdit::Password);
    token_->setPlaceholderText(QStringLiteral("slk_\u2026"));
    accountForm->addRow(QStringLiteral("Server"), server_);
    accountForm->addRow(QStringLiteral("Upload token"), token_);
    connect_ = new QPushButton(QStringLiteral("Save && Connect"));
    connect_->setDefault(true);
    connect_->setAutoDefault(true);
    status_ = new QLabel;
    auto* connectRow = new QHBoxLayout;
    connectRow->addWidget(connect_);
    connectRow->addWidget(status_, 1);
    accountForm->addRow(connectRow);
    accountForm->addRow(
        caption(QStringLiteral("Find your token on the dashboard's Setup page. The \u201cConnect "
                               "app\u201d button there fills this in for you.")));
    layout->addWidget(account);
    uploadServers_ = new UploadServersBox([this](const QString& file) {
        if (importUploader_)
            importUploader_(file);
    });
    layout->addWidget(uploadServers_);
    setAcceptDrops(true);
    if (const auto username = config.username())
        showStatus(QStringLiteral("Connected as ") + *username, true);
    QObject::connect(server_, &QLineEdit::textChanged, this, [this] { updateConnectButton(); });
    QObject::connect(token_, &QLineEdit::textChanged, this, [this] { updateConnectButton(); });
    QObject::connect(server_, &QLineEdit::returnPressed, connect_, &QPushButton::click);
    QObject::connect(token_, &QLineEdit::returnPressed, connect_, &QPushButton::click);
    QObject::connect(connect_, &QPushButton::clicked, this, [this] { save(); });
    // A configuration link (or any other path) may connect while the form is open.
    QObject::connect(&config, &Config::changed, this, [this](const QString& key) {
        if (key == keys::server || key == keys::username || key == Config::tokenKey)
            showStoredAccount();
    });
    updateConnectButton();

    // After uploading
    const QString host = QUrl(defaultServer).host();
    auto* after = new QGroupBox(QStringLiteral("After uploading"));
    auto* afterForm = new QFormLayout(after);
    afterForm->addRow(QStringLiteral("Copy"),
                      switchPicker({QStringLiteral("Page link (%1/abc)").arg(host),
                                    QStringLiteral("Direct link (%1/abc.png)").arg(host)},
                                   keys::copyDirectLink));
    afterForm->addRow(
        toggle(QStringLiteral("Open the link in your browser"), keys::openAfterUpload));
    afterForm->addRow(toggle(QStringLiteral("Play a sound"), keys::playSound));
    afterForm->addRow(toggle(QStringLiteral("Show a notification"), keys::showNotifications));
    auto* nowPlayingRow =
        toggle(QStringLiteral("Share what I'm listening to (Spotify, Apple Music) on my bio page"),
               keys::shareNowPlaying);
    afterForm->addRow(nowPlayingRow);
    // The page the track is shown on.
    auto* bioLink = caption(QString());
    bioLink->setOpenExternalLinks(true);
    afterForm->addRow(bioLink);
    annotateRow_ = toggle(QStringLiteral("Open screenshots in the editor to draw on them"),
                          keys::annotateAfterCapture);
    afterForm->addRow(annotateRow_);
    auto showFeatureRows = [this, nowPlayingRow, bioLink] {
        annotateRow_->setVisible(ServerInfo::shared().isEnabled(features::annotate));
        const bool presence = ServerInfo::shared().isEnabled(features::appPresence);
        nowPlayingRow->setVisible(presence);
        const Config& config = Config::shared();
        const auto username = config.username();
        bioLink->setVisible(presence && username && config.isConfigured());
        if (username) {
            const QString page =
                (config.server() + QStringLiteral("/@") + *username).toHtmlEscaped();
            bioLink->setText(QStringLiteral("Your page: <a href=\"%1\">%1</a>").arg(page));
        }
    };
    showFeatureRows();
    QObject::connect(&ServerInfo::shared(), &ServerInfo::changed, this, showFeatureRows);
    QObject::connect(&config, &Config::changed, this, showFeatureRows);
    layout->addWidget(after);

    // Screenshots & recordings
    auto* shots = new QGroupBox(QStringLiteral("Screenshots && recordings"));
    auto* shotsForm = new QFormLayout(shots);
    shotsForm->addRow(toggle(QStringLiteral("Compress screenshots before uploading (much faster)"),
                             keys::compressScreenshots));
    shotsForm->addRow(toggle(QStringLiteral("Annotate screenshots before uploading"),
                             keys::annotateBeforeUpload));
    QComboBox* delay = numberPicker({{QStringLiteral("None"), 0},
                                     {QStringLiteral("3 seconds"), 3},
                                     {QStringLiteral("5 seconds"), 5},
                                     {QStringLiteral("10 seconds"), 10}},
                                    keys::captureDelay);
    delay->setToolTip(QStringLiteral("Time to open a menu before a screen or window is captured. "
                                     "Regions are chosen by hand, without a delay."));
    shotsForm->addRow(QStringLiteral("Capture delay"), delay);
    shotsForm->addRow(QStringLiteral("Recording frame rate"),
                      numberPicker({{QStringLiteral("30 fps"), 30},
                                    {QStringLiteral("60 fps (smoother, bigger)"), 60}},
                                   keys::recordFrameRate));
    shotsForm->addRow(QStringLiteral("Recording quality"),
                      switchPicker({QStringLiteral("Standard (up to 1920 px)"),
                                    QStringLiteral("High (up to 2560 px, bigger)")},
                                   keys::recordHighQuality));
    shotsForm->addRow(
        toggle(QStringLiteral("Include system audio in recordings"), keys::recordAudio));
    auto* replayCaption =
        caption(QStringLiteral("Replay buffer: start it from the menu. It records your screen in "
                               "the background so you can save the last 30 seconds."));
    shotsForm->addRow(replayCaption);
    auto showReplayCaption = [replayCaption] {
        replayCaption->setVisible(ServerInfo::shared().isEnabled(features::replayBuffer));
    };
    showReplayCaption();
    QObject::connect(&ServerInfo::shared(), &ServerInfo::changed, this, showReplayCaption);
    layout->addWidget(shots);

    // Hotkeys
    auto* hotkeysBox = new QGroupBox(QStringLiteral("Hotkeys"));
    auto* hotkeysLayout = new QVBoxLayout(hotkeysBox);
    if (!HotkeyState::shared().grabsAvailable) {
        hotkeysLayout->addWidget(
            caption(QStringLiteral("This desktop doesn't let apps take global shortcuts. Bind them "
                                   "in your desktop's keyboard settings to the command "
                                   "“shotlark --action NAME”, with NAME one of %1.")
                        .arg(hotkeys::rawValues().join(QStringLiteral(", ")))));
    }
    hotkeyRows_ = new QWidget;
    hotkeysLayout->addWidget(hotkeyRows_);
    auto* footer = new QHBoxLayout;
    footer->addWidget(
        caption(QStringLiteral(
            "Click a shortcut, then press the new keys. Esc cancels, ⌫ turns it off.")),
        1);
    auto* restore = new QPushButton(QStringLiteral("Restore defaults"));
    QObject::connect(restore, &QPushButton::clicked, this, [] {
        hotkeys::resetAll();
        HotkeyState::shared().reloadAndRefresh();
    });
    footer->addWidget(restore);
    hotkeysLayout->addLayout(footer);
    layout->addWidget(hotkeysBox);
    rebuildHotkeyRows();
    // The rows follow the server's features and every completed recording.
    QObject::connect(&ServerInfo::shared(), &ServerInfo::changed, this,
                     [this] { rebuildHotkeyRows(); });
    // Queued: the change may come from a row that is still handling its key press.
    QObject::connect(
        &HotkeyState::shared(), &HotkeyState::changed, this,
        [this] {
            if (shownRevision_ != HotkeyState::shared().revision)
                rebuildHotkeyRows();
        },
        Qt::QueuedConnection);

    // General
    auto* general = new QGroupBox;
    auto* generalForm = new QFormLayout(general);
    launchAtLogin_ = new QCheckBox(QStringLiteral("Launch at login"));
    launchAtLogin_->setChecked(autostart_.isEnabled());
    QObject::connect(launchAtLogin_, &QCheckBox::toggled, this,
                     [this](bool on) { setLaunchAtLogin(on); });
    generalForm->addRow(launchAtLogin_);
    auto* updatesRow = new QWidget;
    auto* updatesLayout = new QHBoxLayout(updatesRow);
    updatesLayout->setContentsMargins(0, 0, 0, 0);
    updatesLayout->addWidget(
        toggle(QStringLiteral("Check for updates automatically"), keys::autoUpdate));
    updatesLayout->addStretch(1);
    auto* checkNow = new QPushButton(QStringLiteral("Check now"));
    QObject::connect(checkNow, &QPushButton::clicked, this, [] { Updater::shared().check(true); });
    updatesLayout->addWidget(checkNow);
    generalForm->addRow(updatesRow);
    auto showUpdatesRow = [updatesRow] {
        updatesRow->setVisible(ServerInfo::shared().isEnabled(features::autoUpdate));
    };
    showUpdatesRow();
    QObject::connect(&ServerInfo::shared(), &ServerInfo::changed, this, showUpdatesRow);
    generalForm->addRow(caption(QStringLiteral("Version ") + Updater::currentVersion()));
    layout->addWidget(general);
    layout->addStretch(1);
    scroll->setWidget(content);
    // The wheel scrolls the form: a choice changes only once it was clicked, never because the
    // pointer passed over it while scrolling.
    scroll_ = scroll;
    for (QComboBox* combo : content->findChildren<QComboBox*>()) {
        combo->setFocusPolicy(Qt::StrongFocus);
        combo->installEventFilter(this);
    }
}

namespace {

QStringList uploaderFiles(const QMimeData* data) {
    QStringList files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && url.path().endsWith(QStringLiteral(".sxcu"), Qt::CaseInsensitive))
            files.append(url.toLocalFile());
    return files;
}

} // namespace

void SettingsView::dragEnterEvent(QDragEnterEvent* event) {
    if (!uploaderFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void SettingsView::dropEvent(QDropEvent* event) {
    const QStringList files = uploaderFiles(event->mimeData());
    for (const QString& file : files) {
        if (importUploader_)
            importUploader_(file);
    }
    if (!files.isEmpty())
        event->acceptProposedAction();
}

bool SettingsView::eventFilter(QObject* watched, QEvent* event) {
    auto* combo = qobject_cast<QComboBox*>(watched);
    if (event->type() != QEvent::Wheel || !combo || combo->hasFocus())
        return QWidget::eventFilter(watched, event);
    QCoreApplication::sendEvent(scroll_->viewport(), event);
    return true;
}

void SettingsView::rebuildHotkeyRows() {
    shownRevision_ = HotkeyState::shared().revision;
    delete hotkeyRows_->layout();
    for (QWidget* old :
         hotkeyRows_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        old->hide();
        old->deleteLater();
    }
    auto* form = new QFormLayout(hotkeyRows_);
    form->setContentsMargins(0, 0, 0, 0);
    for (HotkeyAction action : hotkeys::allCases()) {
        if (hotkeys::isAvailable(action))
            form->addRow(hotkeys::title(action), new ShortcutField(action, keys_, sounds_));
    }
}

QComboBox* SettingsView::numberPicker(const QList<std::pair<QString, int>>& choices,
                                      const QString& key) {
    auto* picker = new QComboBox;
    for (const auto& [title, value] : choices)
        picker->addItem(title, value);
    // A stored value that is none of the choices shows the first.
    picker->setCurrentIndex(
        std::max(0, picker->findData(static_cast<int>(Config::shared().integerValue(key)))));
    QObject::connect(picker, &QComboBox::currentIndexChanged, this, [picker, key](int index) {
        Config::shared().setInteger(key, picker->itemData(index).toInt());
    });
    return picker;
}

QComboBox* SettingsView::switchPicker(const QStringList& offOn, const QString& key) {
    auto* picker = new QComboBox;
    picker->addItems(offOn);
    picker->setCurrentIndex(Config::shared().boolValue(key) ? 1 : 0);
    QObject::connect(picker, &QComboBox::currentIndexChanged, this,
                     [key](int index) { Config::shared().setBool(key, index == 1); });
    return picker;
}

QCheckBox* SettingsView::toggle(const QString& title, const QString& key) {
    auto* box = new QCheckBox(title);
    box->setChecked(Config::shared().boolValue(key));
    QObject::connect(box, &QCheckBox::toggled, this,
                     [key](bool on) { Config::shared().setBool(key, on); });
    return box;
}

void SettingsView::setLaunchAtLogin(bool on) {
    if (!autostart_.setEnabled(on)) {
        const QSignalBlocker quiet(launchAtLogin_);
        launchAtLogin_->setChecked(autostart_.isEnabled()); // spring back to the real state
    }
}

void SettingsView::showStoredAccount() {
    const Config& config = Config::shared();
    // A field the user is typing into keeps what they typed.
    auto refresh = [](QLineEdit* field, const QString& stored) {
        if (field->text() != stored && !(field->hasFocus() && field->isModified()))
            field->setText(stored);
    };
    refresh(server_, config.server());
    refresh(token_, config.token());
    if (testing_)
        return; // "Save & Connect" reports its own outcome
    if (const auto username = config.username(); username && config.isConfigured())
        showStatus(QStringLiteral("Connected as ") + *username, true);
    else
        showStatus(QString(), true);
}

void SettingsView::updateConnectButton() {
    connect_->setText(testing_ ? QStringLiteral("Checking\u2026")
                               : QStringLiteral("Save && Connect"));
    connect_->setEnabled(!testing_ && !server_->text().isEmpty() && !token_->text().isEmpty());
}

void SettingsView::showStatus(const QString& text, bool ok) {
    if (text.isEmpty()) {
        status_->clear();
        return;
    }
    status_->setText((ok ? QStringLiteral("\u2714 ") : QStringLiteral("\u2716 ")) + text);
    status_->setStyleSheet(ok ? QStringLiteral("color: #2e7d32")
                              : QStringLiteral("color: #c62828"));
    status_->setWordWrap(true);
}

QCoro::Task<> SettingsView::save() {
    if (testing_ || !connect_->isEnabled())
        co_return;
    testing_ = true;
    showStatus(QString(), true);
    updateConnectButton();
    const QString server = Config::normalize(server_->text());
    const QString token = token_->text().trimmed();
    QPointer<SettingsView> self(this);
    try {
        auto verifying = Uploader::verify(server, token);
        const QString username = co_await std::move(verifying);
        Config& config = Config::shared();
        config.setString(keys::server, Config::normalize(server));
        config.setToken(token);
        config.setString(keys::username, username);
        if (!self)
            co_return;
        server_->setText(server);
        showStatus(QStringLiteral("Connected as ") + username, true);
    } catch (const Error& error) {
        if (!self)
            co_return;
        showStatus(error.message(), false);
    }
    testing_ = false;
    updateConnectButton();
}

SettingsWindowController::SettingsWindowController(platform::Autostart& autostart,
                                                   platform::SoundPlayer& sounds,
                                                   platform::GlobalHotkeys& keys)
    : autostart_(autostart), sounds_(sounds), keys_(keys) {}

SettingsWindowController::~SettingsWindowController() = default;

void SettingsWindowController::show() {
    if (!view_)
        view_ = std::make_unique<SettingsView>(autostart_, sounds_, keys_, importer_);
    view_->show();
    view_->raise();
    view_->activateWindow();
}

} // namespace shotlark
