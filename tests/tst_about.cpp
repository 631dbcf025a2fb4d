#include "forms/frmAbout.h"
#include "platform/dialogs/dialogs.h"
#include "platform/registry/registry.h"
#include "testsupport.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace TestSupport;

class TestAbout : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase() { Registry::setHiveFile(QString()); }
    void systemInfo_data();
    void systemInfo();
    void keysAndButtons_data();
    void keysAndButtons();

private:
    std::unique_ptr<TempFolder> tmp_;
};

void TestAbout::init()
{
    tmp_ = std::make_unique<TempFolder>();
    Registry::setHiveFile(tmp_->path("registry.reg"));
    writeFile(tmp_->path("registry.reg"), "Windows Registry Editor Version 5.00\r\n\r\n");
    DialogHook::reset();
    DialogHook::setStrict(true); // a message box not scripted ends the test
}

void TestAbout::systemInfo_data()
{
    // "@" stands for the test's folder. A path read from the first key is started as it is; else
    // the second key names a folder holding MSINFO32.EXE.
    QTest::addColumn<QByteArray>("hive");
    QTest::addColumn<QString>("started"); // empty: the message instead
    const QByteArray path = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\r\n\"PATH\"=",
                     location = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\r\n\"MSINFO\"=",
                     tools = location + "\"@/tools\"";
    QTest::newRow("the path read") << path + "\"@/sys info\"" + tools << "sys info";
    QTest::newRow("a path naming no file, no second try") << path + "\"@/missing\"" + tools << "";
    QTest::newRow("a path naming a folder") << path + "\"@/tools\"" + tools << "";
    QTest::newRow("a path that is not a string") << path + "hex:40" + tools << "";
    QTest::newRow("a path of zero length") << path + "hex(1):" + tools << "";
    QTest::newRow("the folder's program") << tools << "tools/MSINFO32.EXE";
    QTest::newRow("a folder without it") << location + "\"@\"" << "";
    QTest::newRow("its name in another case") << location + "\"@/lower\"" << "";
    QTest::newRow("neither key") << QByteArray() << "";
}

// Each press starts a copy of the program, or shows the message; only read rights are asked for.
void TestAbout::systemInfo()
{
    QFETCH(QByteArray, hive);
    QFETCH(QString, started);
    const QStringList programs = {"sys info", "tools/MSINFO32.EXE", "lower/msinfo32.exe"};
    QDir().mkdir(tmp_->path("tools"));
    QDir().mkdir(tmp_->path("lower"));
    for (const QString &program : programs) {
        writeFile(tmp_->path(program), "#!/bin/sh\necho >> '" + QFile::encodeName(tmp_->path(program)) + ".ran'\n");
        QFile::setPermissions(tmp_->path(program), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    writeFile(tmp_->path("registry.reg"),
              readFile(tmp_->path("registry.reg")) + hive.replace("@", QFile::encodeName(tmp_->path())) + "\r\n");
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    for (int press = 0; press < 2; ++press) {
        if (started.isEmpty())
            DialogHook::answerMsgBox(Msg::OK);
        QTest::mouseClick(dialog->findChild<QPushButton *>("cmdSysInfo"), Qt::LeftButton);
    }
    if (!started.isEmpty())
        QTRY_COMPARE(readFile(tmp_->path(started + ".ran")).size(), 2);
    QStringList ran, shown;
    for (const QString &program : programs)
        if (QFile::exists(tmp_->path(program + ".ran")))
            ran << program;
    QCOMPARE(ran, started.isEmpty() ? QStringList() : QStringList{started});
    for (const DialogHook::Shown &box : DialogHook::shown())
        shown << box.title + ": " + box.text;
    QCOMPARE(shown, started.isEmpty() ? QStringList(2, "Tarvos Utility: System Information Is Unavailable At This Time")
                                      : QStringList());
    QVERIFY(dialog && dialog->isVisible());
    delete dialog; // the program started runs on by itself
}

void TestAbout::keysAndButtons_data()
{
    QTest::addColumn<QString>("keys"); // from the first focus; Click clicks OK, Close the close box
    QTest::addColumn<bool>("sysInfo"); // System Info pressed (then OK clicked)
    QTest::newRow("OK clicked") << "Click" << false;
    QTest::newRow("Enter") << "Enter" << false;
    QTest::newRow("Esc") << "Esc" << false;
    QTest::newRow("close box") << "Close" << false;
    QTest::newRow("Esc on System Info") << "Tab Esc" << false;
    QTest::newRow("Enter on System Info") << "Tab Enter" << true;
    QTest::newRow("Tab goes round") << "Tab Tab Enter" << false;
    QTest::newRow("access key") << "Alt+S" << true;
}

// Shown from a window, the dialog blocks it; each showing is a fresh load, unloaded when closed.
void TestAbout::keysAndButtons()
{
    QFETCH(QString, keys);
    QFETCH(bool, sysInfo);
    QWidget owner;
    auto *button = new QPushButton("Browse...", &owner);
    int clicks = 0;
    connect(button, &QPushButton::clicked, [&] { ++clicks; });
    owner.show();
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    const auto userClick = [&] { // through the platform, as a user's click comes
        QTest::mouseClick(owner.windowHandle(), Qt::LeftButton, {}, button->geometry().center());
    };
    if (sysInfo)
        DialogHook::answerMsgBox(Msg::OK); // the hive is empty
    static QStringList captions; // a dialog kept from an earlier row would show "changed"
    captions.clear();
    QTimer::singleShot(0, [&] {
        QTRY_VERIFY(qobject_cast<frmAbout *>(QApplication::activeModalWidget()));
        auto *about = qobject_cast<frmAbout *>(QApplication::activeModalWidget());
        const auto closeLeftOver = qScopeGuard([&] { about->reject(); }); // fail rather than hang
        QTRY_VERIFY(about->isActiveWindow() && about->focusWidget());
        auto *title = about->findChild<QLabel *>("lblTitle");
        captions << about->windowTitle() << title->text() << about->findChild<QLabel *>("lblVersion")->text()
                 << QApplication::focusWidget()->objectName();
        title->setText("changed");
        userClick();
        const QMap<QString, Qt::Key> keyOf{{"Tab", Qt::Key_Tab}, {"Enter", Qt::Key_Return}, {"Esc", Qt::Key_Escape}};
        for (const QString &key : keys.split(' ')) {
            if (key == "Close")
                about->close();
            else if (key == "Click")
                QTest::mouseClick(about->findChild<QPushButton *>("cmdOK"), Qt::LeftButton);
            else if (key == "Alt+S")
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
            else
                QTest::keyClick(QApplication::focusWidget(), keyOf[key]);
        }
        if (sysInfo) { // an access key presses its button after a short delay
            QTRY_COMPARE(DialogHook::shown().size(), 1);
            QTest::mouseClick(about->findChild<QPushButton *>("cmdOK"), Qt::LeftButton);
        }
        QVERIFY(!about->isVisible());
    });
    frmAbout::showModalAfresh(&owner);
    QCOMPARE(captions, (QStringList{"About Tarvos Utility", "Tarvos Utility", "Version 1.0.0", "cmdOK"}));
    QVERIFY(owner.findChildren<frmAbout *>().isEmpty());
    QCOMPARE(clicks, 0);
    userClick();
    QCOMPARE(clicks, 1);
    // In strict mode an unscripted System Info message would have ended the test.
    QCOMPARE(DialogHook::shown().size(), sysInfo ? 1 : 0);
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
