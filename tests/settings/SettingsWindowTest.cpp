// The settings window on Qt's offscreen platform, against a loopback test server.
#include "platform/LinuxBackends.h"
#include "server/ServerInfo.h"
#include "settings/SettingsWindowController.h"
#include "settings/UploadServersBox.h"
#include "store/Config.h"
#include "store/Destinations.h"
#include "support/Await.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

namespace {

// What a person reads or clicks: each at least the size it asks for (no text cut, wrapped text
// given its height), and none over another.
void expectReadable(QWidget* window, const char* when) {
    QList<QWidget*> controls;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QLabel*>(widget) ||
                             qobject_cast<QAbstractButton*>(widget) ||
                             qobject_cast<QComboBox*>(widget) || qobject_cast<QLineEdit*>(widget);
        if (!control || !widget->isVisibleTo(window))
            continue;
        const QString name = widget->metaObject()->className() + u" \""_s +
                             widget->property("text").toString().left(30) + u'"';
        const int height = widget->hasHeightForWidth() ? widget->heightForWidth(widget->width())
                                                       : widget->minimumSizeHint().height();
        EXPECT_GE(widget->height(), height) << when << ": " << name;
        EXPECT_GE(widget->width(), widget->minimumSizeHint().width()) << when << ": " << name;
        controls.append(widget);
    }
    EXPECT_GT(controls.size(), 30) << when;
    for (qsizetype i = 0; i < controls.size(); ++i) {
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            QWidget* a = controls[i];
            QWidget* b = controls[j];
            if (a->isAncestorOf(b) || b->isAncestorOf(a))
                continue;
            const QRect ra(a->mapTo(window, QPoint()), a->size());
            const QRect rb(b->mapTo(window, QPoint()), b->size());
            EXPECT_FALSE(ra.intersects(rb)) << when << ": " << a->property("text").toString()
                                            << " over " << b->property("text").toString();
        }
    }
}

struct Backends {
    platform::XdgAutostart autostart;
    platform::CanberraSounds sounds;
    platform::NoGlobalHotkeys keys;
};

} // namespace

TEST(SettingsWindow, EveryRowReadableAtTheOpeningSizeWithLargeFontsAndLongTexts) {
    const QFont standard = QApplication::font();
    for (const double scale : {1.0, 2.0}) {
        QFont font = standard;
        font.setPointSizeF(standard.pointSizeF() * scale); // text as on a screen at 2×
        QApplication::setFont(font);
        Backends backends;
        SettingsWindowController settings(backends.autostart, backends.sounds, backends.keys);
        settings.show();
        SettingsView* view = settings.view();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
        EXPECT_EQ(view->size(), QSize(500, 700)) << "the size it opens at";
        EXPECT_LT(view->minimumWidth(), 500) << "and it can be resized";
        QTest::qWait(50);
        expectReadable(view, scale == 1.0 ? "as it opens" : "fonts at 2x");
        if (scale == 1.0) {
            auto* area = view->findChild<QScrollArea*>();
            ASSERT_TRUE(area);
            EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << "wider than the window";
            // The wheel over a choice scrolls the form and leaves the choice as it was.
            QComboBox* rate = nullptr;
            for (QComboBox* combo : view->findChildren<QComboBox*>())
                rate = combo->findText(u"30 fps"_s) >= 0 ? combo : rate;
            ASSERT_TRUE(rate);
            const int chosen = rate->currentIndex();
            QWheelEvent wheel(QPointF(5, 5), rate->mapToGlobal(QPointF(5, 5)), {}, QPoint(0, -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(rate, &wheel);
            EXPECT_EQ(rate->currentIndex(), chosen);
            EXPECT_GT(area->verticalScrollBar()->value(), 0);
        }

        // Texts twice as long, as some languages make them.
        for (QLabel* label : view->findChildren<QLabel*>())
            label->setText(label->text() + u' ' + label->text());
        for (QCheckBox* box : view->findChildren<QCheckBox*>())
            box->setText(box->text() + u' ' + box->text());
        QTest::qWait(50);
        expectReadable(view, scale == 1.0 ? "long texts" : "long texts, fonts at 2x");
    }
    QApplication::setFont(standard);
}

TEST(SettingsWindow, ConnectSavesOnlyWhatTheServerAccepted) {
    TestHttpServer server;
    CannedResponse me{401, R"({"error":"Unknown token"})"};
    server.setHandler([&](const RecordedRequest& request) {
        if (request.path() == "/api/features")
            return CannedResponse{200, R"({"enabled":["app_presence"]})"};
        return request.path() == "/api/me" ? me : CannedResponse{404, R"({"error":"Not found"})"};
    });
    Backends backends;
    SettingsWindowController settings(backends.autostart, backends.sounds, backends.keys);
    settings.show();
    SettingsView* form = settings.view();
    ASSERT_TRUE(form && form->isVisible());
    EXPECT_FALSE(form->connectButton()->isEnabled()) << "nothing typed yet";

    form->serverField()->setText(u"  "_s + server.url() + u"/ "_s);
    form->tokenField()->setText(u"   "_s);
    EXPECT_TRUE(form->connectButton()->isEnabled()) << "blanks count as typed";
    form->connectButton()->click();
    EXPECT_EQ(form->connectButton()->text(), u"Checking\u2026"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->connectButton()->isEnabled(); }, 10000));
    EXPECT_TRUE(form->statusLine()->text().contains(u"Unknown token"_s));
    EXPECT_FALSE(Config::shared().stringValue(keys::server));
    // An empty value is passed on ("Bearer " arrives trimmed, as header values are).
    EXPECT_EQ(server.requestsTo("/api/me").back().header("Authorization"), "Bearer");

    me = {200, R"({"username":"ada"})"};
    form->tokenField()->setText(u" slk_typed \n"_s);
    form->connectButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->connectButton()->isEnabled(); }, 10000));
    EXPECT_EQ(form->statusLine()->text(), u"\u2714 Connected as ada"_s);
    EXPECT_EQ(Config::shared().server(), server.url());
    EXPECT_EQ(form->serverField()->text(), server.url());
    EXPECT_EQ(Config::shared().token(), u"slk_typed"_s);
    EXPECT_EQ(Config::shared().username(), u"ada"_s);

    // Where the track the user listens to is shown, linked beside the choice to share it.
    await(ServerInfo::shared().refresh(true));
    const QList<QLabel*> labels = form->findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* label) {
        return label->isVisibleTo(form) && label->text().contains(server.url() + u"/@ada\""_s);
    }));
}

TEST(SettingsWindow, UploadServersChosenRenamedRemovedAndDropped) {
    const QString zipline = *destinations::add(QJsonObject{
        {u"Name"_s, u"Zipline"_s}, {u"RequestURL"_s, u"https://z.example/api/upload"_s}});
    const QString other =
        *destinations::add(QJsonObject{{u"RequestURL"_s, u"https://x.example/upload"_s}});
    Backends backends;
    QStringList imported;
    SettingsView form(backends.autostart, backends.sounds, backends.keys,
                      [&](const QString& file) { imported.append(file); });
    form.show();
    UploadServersBox* box = form.uploadServers();
    ASSERT_EQ(box->list()->count(), 3);
    EXPECT_EQ(box->list()->item(2)->text(), u"x.example"_s) << "named by its host";

    box->list()->setCurrentRow(1);
    box->useButton()->click();
    EXPECT_EQ(destinations::active()->id, zipline);
    EXPECT_TRUE(box->findChild<QLabel*>()->text().contains(u"<b>Zipline</b>"_s));
    box->list()->item(2)->setText(u"Files at work"_s); // edited in place
    EXPECT_EQ(destinations::all()[1].file[u"Name"_s], u"Files at work"_s);

    // Removing asks; the one in use goes, and uploads go to the Shotlark server again.
    box->list()->setCurrentRow(1);
    box->removeButton()->click();
    auto* ask = box->findChild<QMessageBox*>();
    ASSERT_TRUE(ask);
    for (QAbstractButton* button : ask->buttons())
        if (ask->buttonRole(button) == QMessageBox::DestructiveRole)
            button->click();
    ASSERT_EQ(destinations::all().size(), 1);
    EXPECT_EQ(destinations::all()[0].id, other);
    EXPECT_FALSE(destinations::active());
    EXPECT_EQ(box->list()->count(), 2);

    // A custom uploader file dropped on the window is imported; other files are not taken.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(u"/tmp/a.png"_s), QUrl::fromLocalFile(u"/tmp/Home.SXCU"_s)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &enter); // Qt drops only on the widget that took the enter
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &drop);
    EXPECT_EQ(imported, QStringList{u"/tmp/Home.SXCU"_s});
}
