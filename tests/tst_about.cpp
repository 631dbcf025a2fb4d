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
    void keysAndSystemInfo_data();
    void keysAndSystemInfo();

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

void TestAbout::keysAndSystemInfo_data()
{
    // "@" is the test's folder, with the programs "sys info", tools/MSINFO32.EXE and lower/msinfo32.exe.
    // A path read from the first key is started as it is; else the second key names a folder
    // holding MSINFO32.EXE.
    QTest::addColumn<QByteArray>("hive");
    QTest::addColumn<QString>("keys");   // from the first focus; Click clicks OK, Close the close box
    QTest::addColumn<int>("presses");    // of System Info (then OK is clicked)
    QTest::addColumn<QString>("started"); // the program each press starts; empty: the message instead
    const QByteArray path = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\r\n\"PATH\"=",
                     location = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\r\n\"MSINFO\"=",
                     tools = location + "\"@/tools\"";
    QTest::newRow("OK clicked") << QByteArray() << "Click" << 0 << "";
    QTest::newRow("Enter") << QByteArray() << "Enter" << 0 << "";
    QTest::newRow("Esc") << QByteArray() << "Esc" << 0 << "";
    QTest::newRow("close box") << QByteArray() << "Close" << 0 << "";
    QTest::newRow("Esc on System Info") << QByteArray() << "Tab Esc" << 0 << "";
    QTest::newRow("Tab goes round") << QByteArray() << "Tab Tab Enter" << 0 << "";
    QTest::newRow("neither key, Enter on System Info") << QByteArray() << "Tab Enter" << 1 << "";
    QTest::newRow("the path read, twice") << path + "\"@/sys info\"" + tools << "Tab Enter Enter" << 2 << "sys info";
    QTest::newRow("a path naming no file, no second try") << path + "\"@/missing\"" + tools << "Tab Enter" << 1 << "";
    QTest::newRow("a path naming a folder") << path + "\"@/tools\"" + tools << "Tab Enter" << 1 << "";
    QTest::newRow("a path that is not a string") << path + "hex:40" + tools << "Tab Enter" << 1 << "";
    QTest::newRow("a path of zero length") << path + "hex(1):" + tools << "Tab Enter" << 1 << "";
    QTest::newRow("the folder's program, by its access key") << tools << "Alt+S" << 1 << "tools/MSINFO32.EXE";
    QTest::newRow("a folder without it") << location + "\"@\"" << "Tab Enter" << 1 << "";
    QTest::newRow("its name in another case") << location + "\"@/lower\"" << "Tab Enter" << 1 << "";
}

// Shown from a window the dialog blocks it; each showing is a fresh load, unloaded when closed.
// System Info asks for read rights only.
void TestAbout::keysAndSystemInfo()
{
    QFETCH(QByteArray, hive);
    QFETCH(QString, keys);
    QFETCH(int, presses);
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
    for (int i = 0; started.isEmpty() && i < presses; ++i)
        DialogHook::answerMsgBox(Msg::OK);
    QWidget owner;
    auto *button = new QPushButton("Browse...", &owner);
    int clicks = 0;
    connect(button, &QPushButton::clicked, [&] { ++clicks; });
    owner.show();
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    const auto userClick = [&] { // through the platform, as a user's click comes
        QTest::mouseClick(owner.windowHandle(), Qt::LeftButton, {}, button->geometry().center());
    };
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
        if (presses) { // an access key presses its button after a short delay
            if (started.isEmpty())
                QTRY_COMPARE(DialogHook::shown().size(), presses);
            else
                QTRY_COMPARE(readFile(tmp_->path(started + ".ran")).size(), presses);
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
    QStringList ran;
    for (const QString &program : programs)
        if (QFile::exists(tmp_->path(program + ".ran")))
            ran << program;
    QCOMPARE(ran, started.isEmpty() ? QStringList() : QStringList{started});
    // In strict mode a message not scripted would have ended the test.
    QCOMPARE(DialogHook::shown().size(), started.isEmpty() ? presses : 0);
    for (const DialogHook::Shown &box : DialogHook::shown())
        QCOMPARE(box.title + ": " + box.text, QString("Tarvos Utility: System Information Is Unavailable At This Time"));
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
