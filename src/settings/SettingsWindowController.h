#pragma once

#include "base/CurrentInstance.h"
#include "platform/Services.h"

#include <QCoro/QCoroTask>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace shotlark {

// The settings form: the account (checked against the server before it is stored), what
// happens after an upload, screenshot options, and general options.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    SettingsView(platform::Autostart& autostart, platform::SoundPlayer& sounds,
                 platform::GlobalHotkeys& keys);

    // "Save & Connect".
    QCoro::Task<> save();

    QLineEdit* serverField() const { return server_; }
    QLineEdit* tokenField() const { return token_; }
    QPushButton* connectButton() const { return connect_; }
    QLabel* statusLine() const { return status_; }

    static inline const QString defaultServer = QStringLiteral("https://media.example.org");

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

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

private:
    platform::Autostart& autostart_;
    platform::SoundPlayer& sounds_;
    platform::GlobalHotkeys& keys_;
    std::unique_ptr<SettingsView> view_;
};

} // namespace shotlark
