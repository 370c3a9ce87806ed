#pragma once

#include <QGroupBox>

#include <functional>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace shotlark {

// Where uploads go: the Shotlark server and the upload servers imported from custom uploader
// files, the one in use checked. Imported ones can be renamed in place and removed.
class UploadServersBox : public QGroupBox {
public:
    // `import` adds the servers of a custom uploader file (it asks first).
    explicit UploadServersBox(std::function<void(const QString& file)> import);

    QListWidget* list() const { return list_; }
    QPushButton* useButton() const { return use_; }
    QPushButton* removeButton() const { return remove_; }

    // Reads the saved servers again.
    void refresh();

private:
    void chooseFile();
    void useSelected();
    void removeSelected();
    void renamed(QListWidgetItem* item);

    std::function<void(const QString&)> import_;
    QLabel* current_;
    QListWidget* list_;
    QPushButton* use_;
    QPushButton* rename_;
    QPushButton* remove_;
    bool refreshing_ = false;
};

} // namespace shotlark
