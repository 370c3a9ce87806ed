#pragma once

#include "base/CurrentInstance.h"
#include "platform/Services.h"

#include <QCoro/QCoroTask>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QDragEnterEvent;
class QDropEvent;

namespace shotlark {

class UploadServersBox;

// The settings form: the account (checked against the server before it is stored), what
// happens after an upload, screenshot options, and general options.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // `importUploader` adds the upload server of a custom uploader file (it asks first).
    SettingsView(platform::Autostart& autostart, platform::SoundPlayer& sounds,
                 platform::GlobalHotkeys& keys,
                 std::function<void(const QString& file)> importUploader = {});

    // "Save & Connect".
    QCoro::Task<> save();

    QLineEdit* serverField() const { return server_; }
    QLineEdit* tokenField() const { return token_; }
    QPushButton* connectButton() const { return connect_; }
    QLabel* statusLine() const { return status_; }

    static inline const QString defaultServer = QStringLiteral("https://media.example.org");

    UploadServersBox* uploadServers() const { return uploadServers_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Custom uploader files dropped on the window are imported.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void updateConnectButton();
    // The stored server, token and user name, as they are now.
    void showStoredAccount();
    void showStatus(const QString& text, bool ok);
    QCheckBox* toggle(const QString& title, const QString& key);
    // A choice of two for a switch: the first item is off, the second on.
    QComboBox* switchPicker(const QStringList& offOn, const QString& key);
    // A choice of numbers (seconds, frames a second) stored under `key`.
    QComboBox* numberPicker(const QList<std::pair<QString, int>>& choices, const QString& key);
    void setLaunchAtLogin(bool on);
    void rebuildHotkeyRows();

    platform::Autostart& autostart_;
    platform::SoundPlayer& sounds_;
    platform::GlobalHotkeys& keys_;
    QWidget* hotkeyRows_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    int shownRevision_ = -1;
    QLineEdit* server_;
    QLineEdit* token_;
    QPushButton* connect_;
    QLabel* status_;
    QCheckBox* launchAtLogin_ = nullptr;
    QCheckBox* annotateRow_ = nullptr;
    UploadServersBox* uploadServers_ = nullptr;
    std::function<void(const QString&)> importUploader_;
    bool testing_ = false;
};

// Owns the one settings window; closing it hides it, and the next show() brings back the same
// form.
class SettingsWindowController : public CurrentInstance<SettingsWindowController> {
public:
    SettingsWindowController(platform::Autostart& autostart, platform::SoundPlayer& sounds,
                             platform::GlobalHotkeys& keys);
    ~SettingsWindowController();

    void show();
    SettingsView* view() const { return view_.get(); }
    void setImporter(std::function<void(const QString& file)> import) {
        importer_ = std::move(import);
    }

private:
    platform::Autostart& autostart_;
    platform::SoundPlayer& sounds_;
    platform::GlobalHotkeys& keys_;
    std::function<void(const QString&)> importer_;
    std::unique_ptr<SettingsView> view_;
};

} // namespace shotlark
