#include "platform/LinuxBackends.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace shotlark::platform {

int QtDialogs::alert(const Alert& alert) {
    QMessageBox box(alert.style == Alert::Style::Warning ? QMessageBox::Warning
                                                         : QMessageBox::Information,
                    QStringLiteral("Shotlark"), alert.message);
    box.setInformativeText(alert.informative);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    QList<QAbstractButton*> buttons;
    if (alert.buttons.isEmpty()) {
        buttons.append(box.addButton(QMessageBox::Ok));
    } else {
        for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
            // The first button is the default one, the last of several is what Escape means.
            QPushButton* button = box.addButton(alert.buttons[i], i == 0 ? QMessageBox::AcceptRole
                                                                         : QMessageBox::RejectRole);
            buttons.append(button);
            if (i == 0)
                box.setDefaultButton(button);
            if (i + 1 == alert.buttons.size() && i > 0)
                box.setEscapeButton(button);
        }
    }
    box.activateWindow();
    box.raise();
    box.exec();
    return static_cast<int>(buttons.indexOf(box.clickedButton()));
}

QStringList QtDialogs::chooseFiles() {
    QFileDialog dialog(nullptr, QStringLiteral("Upload Files"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Upload"));
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.activateWindow();
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

} // namespace shotlark::platform
