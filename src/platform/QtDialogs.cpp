#include "platform/LinuxBackends.h"

#include <QApplication>
#include <QCoro/QCoroSignal>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>
#include <memory>

namespace shotlark::platform {

namespace {

// The dialog may still be inside its own signal emission when the awaiting flow goes on.
struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Shows `dialog` in front, and waits for it to close without a nested
// event loop (exec() would re-enter whatever handler started the flow).
QCoro::Task<int> showAndWait(QDialog& dialog) {
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.open();
    dialog.activateWindow();
    dialog.raise();
    auto closing = qCoro(&dialog, &QDialog::finished);
    const int result = co_await std::move(closing);
    co_return result;
}

} // namespace

QCoro::Task<int> QtDialogs::alert(Alert alert) {
    // Warnings also go to the log (the journal, or the terminal the app was started from).
    if (alert.style == Alert::Style::Warning)
        std::fprintf(stderr, "shotlark: %s: %s\n", qPrintable(alert.message),
                     qPrintable(alert.informative));
    std::unique_ptr<QMessageBox, DeleteLater> box(new QMessageBox(
        alert.style == Alert::Style::Warning ? QMessageBox::Warning : QMessageBox::Information,
        QStringLiteral("Shotlark"), alert.message));
    box->setInformativeText(alert.informative);
    QList<QAbstractButton*> buttons;
    if (alert.buttons.isEmpty()) {
        buttons.append(box->addButton(QMessageBox::Ok));
    } else {
        for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
            // The first button is the default one, the last of several is what Escape means.
            QPushButton* button = box->addButton(
                alert.buttons[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
            buttons.append(button);
            if (i == 0)
                box->setDefaultButton(button);
            if (i + 1 == alert.buttons.size() && i > 0)
                box->setEscapeButton(button);
        }
    }
    auto showing = showAndWait(*box);
    co_await std::move(showing);
    co_return static_cast<int>(buttons.indexOf(box->clickedButton()));
}

QCoro::Task<QStringList> QtDialogs::chooseFiles(const QString& startIn) {
    std::unique_ptr<QFileDialog, DeleteLater> dialog(
        new QFileDialog(nullptr, QStringLiteral("Upload Files"), startIn));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Upload"));
    auto showing = showAndWait(*dialog);
    const int result = co_await std::move(showing);
    if (result != QDialog::Accepted)
        co_return QStringList();
    co_return dialog->selectedFiles();
}

QCoro::Task<QString> QtDialogs::chooseSaveFile(const QString& suggested) {
    std::unique_ptr<QFileDialog, DeleteLater> dialog(
        new QFileDialog(nullptr, QStringLiteral("Save Region"), suggested));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(QStringLiteral("PNG pictures (*.png)"));
    dialog->setDefaultSuffix(QStringLiteral("png"));
    dialog->selectFile(suggested);
    auto showing = showAndWait(*dialog);
    const int result = co_await std::move(showing);
    if (result != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        co_return QString();
    co_return dialog->selectedFiles().front();
}

} // namespace shotlark::platform
