#include "settings/UploadServersBox.h"

#include "store/Config.h"
#include "store/Destinations.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

namespace shotlark {

namespace {

constexpr int idRole = Qt::UserRole;

QString hostOf(const QJsonObject& file) {
    return QUrl(file.value(QLatin1StringView("RequestURL")).toString()).host();
}

} // namespace

UploadServersBox::UploadServersBox(std::function<void(const QString& file)> import)
    : QGroupBox(QStringLiteral("Upload to")), import_(std::move(import)) {
    auto* layout = new QVBoxLayout(this);
    current_ = new QLabel;
    layout->addWidget(current_);
    list_ = new QListWidget;
    list_->setMaximumHeight(110);
    layout->addWidget(list_);
    auto* buttons = new QHBoxLayout;
    use_ = new QPushButton(QStringLiteral("Use"));
    rename_ = new QPushButton(QStringLiteral("Rename"));
    remove_ = new QPushButton(QStringLiteral("Remove\u2026"));
    auto* add = new QPushButton(QStringLiteral("Add Server from File\u2026"));
    for (QPushButton* button : {use_, rename_, remove_})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(add);
    layout->addLayout(buttons);
    auto* caption = new QLabel(
        QStringLiteral("Servers such as Zipline or XBackBone export a custom uploader file "
                       "(.sxcu): open it with Shotlark, or drop it here."));
    caption->setWordWrap(true);
    caption->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(caption);

    connect(add, &QPushButton::clicked, this, [this] { chooseFile(); });
    connect(use_, &QPushButton::clicked, this, [this] { useSelected(); });
    connect(rename_, &QPushButton::clicked, this, [this] {
        if (QListWidgetItem* item = list_->currentItem())
            list_->editItem(item);
    });
    connect(remove_, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { useSelected(); });
    connect(list_, &QListWidget::itemChanged, this,
            [this](QListWidgetItem* item) { renamed(item); });
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        const bool imported = row > 0;
        rename_->setEnabled(imported);
        remove_->setEnabled(imported);
    });
    connect(&Config::shared(), &Config::changed, this, [this](const QString& key) {
        if (key == keys::destination || key == keys::server)
            refresh();
    });
    refresh();
}

void UploadServersBox::refresh() {
    refreshing_ = true;
    const QString current =
        list_->currentItem() ? list_->currentItem()->data(idRole).toString() : QStringLiteral("-");
    list_->clear();
    const auto active = destinations::active();
    const QString server = Config::shared().server();
    auto* ours = new QListWidgetItem(
        server.isEmpty() ? QStringLiteral("Shotlark server")
                         : QStringLiteral("Shotlark server (%1)").arg(QUrl(server).host()));
    ours->setData(idRole, QString());
    list_->addItem(ours);
    for (const destinations::Saved& saved : destinations::all()) {
        const QString name = saved.file.value(QLatin1StringView("Name")).toString();
        auto* item = new QListWidgetItem(name.isEmpty() ? hostOf(saved.file) : name);
        item->setData(idRole, saved.id);
        item->setToolTip(saved.file.value(QLatin1StringView("RequestURL")).toString());
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        list_->addItem(item);
    }
    for (int row = 0; row < list_->count(); ++row) {
        QListWidgetItem* item = list_->item(row);
        const bool inUse = item->data(idRole).toString() == (active ? active->id : QString());
        QFont font = item->font();
        font.setBold(inUse);
        item->setFont(font);
        item->setIcon(inUse ? QIcon::fromTheme(QStringLiteral("object-select")) : QIcon());
        if (inUse)
            current_->setText(
                QStringLiteral("Uploads go to <b>%1</b>").arg(item->text().toHtmlEscaped()));
        if (item->data(idRole).toString() == current || (current == QStringLiteral("-") && inUse))
            list_->setCurrentItem(item);
    }
    refreshing_ = false;
}

void UploadServersBox::chooseFile() {
    auto* dialog =
        new QFileDialog(this, QStringLiteral("Add Server from File"),
                        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
                        QStringLiteral("Custom uploader files (*.sxcu)"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // Shown, not run: no nested event loop under a button's signal.
    connect(dialog, &QFileDialog::fileSelected, this,
            [this](const QString& file) { import_(file); });
    dialog->open();
}

void UploadServersBox::useSelected() {
    if (QListWidgetItem* item = list_->currentItem())
        destinations::setActive(item->data(idRole).toString());
}

void UploadServersBox::removeSelected() {
    QListWidgetItem* item = list_->currentItem();
    if (!item || item->data(idRole).toString().isEmpty())
        return;
    const QString id = item->data(idRole).toString();
    auto* ask = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Remove \u201c%1\u201d?").arg(item->text()),
        QStringLiteral("Its settings, and any token in them, are deleted from this computer. "
                       "Links already uploaded stay where they are."),
        QMessageBox::Cancel, this);
    ask->addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(ask, &QMessageBox::buttonClicked, this, [this, ask, id](QAbstractButton* button) {
        if (ask->buttonRole(button) == QMessageBox::DestructiveRole) {
            destinations::remove(id);
            refresh();
        }
    });
    ask->open();
}

void UploadServersBox::renamed(QListWidgetItem* item) {
    const QString id = item->data(idRole).toString();
    if (refreshing_ || id.isEmpty())
        return;
    for (destinations::Saved saved : destinations::all()) {
        if (saved.id != id)
            continue;
        const QString name = item->text().trimmed();
        if (name.isEmpty())
            saved.file.remove(QStringLiteral("Name"));
        else
            saved.file.insert(QStringLiteral("Name"), name);
        destinations::update(id, saved.file);
    }
    refresh();
}

} // namespace shotlark
