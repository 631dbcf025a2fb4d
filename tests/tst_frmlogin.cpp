#include "app/modTarBackup.h"
#include "forms/frmLogin.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace FormSupport;
using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;

namespace {

// Rows of the User table, as "NAME:PASSWORD" (the name ends at the first colon).
const QStringList Users = {
    "ADMIN:Secret",
    "100%_*:it's \"quoted\"", // wildcards of LIKE and GLOB in a name, quotes in a password
    "O'BRIEN:' OR '1'='1",    // an injection as somebody's real password
    "ÉLODIE:mot de passe",    // upper-cased non-ASCII
    "  SPACED  :  blanks  ",  // blanks are characters too
    "GUEST:",
    "LONG:" + QString(40000, u'p'), // longer than a line edit holds by default
};

QStringList texts(const QList<DialogHook::Shown> &boxes)
{
    QStringList texts;
    for (const DialogHook::Shown &box : boxes)
        texts << box.text + " " + QString::number(box.style);
    return texts;
}

} // namespace

class TestLogin : public QObject {
    Q_OBJECT

private slots:
    void init();
    void focusOrderAndAccessKeys();
    void onlyExactRowsLogIn_data();
    void onlyExactRowsLogIn();
    void unreadableBackEnd();
    void missingBackEndLoop();
    void keysOfTheModalDialog();

private:
    std::unique_ptr<TestSupport::TempFolder> tmp;
    QString db;
};

void TestLogin::init()
{
    tmp = std::make_unique<TestSupport::TempFolder>();
    resetProgramState(tmp->path("settings"));
    db = tmp->path("it's a back end.mdb");
    makeBackEnd(db, Users);
    BackEndPath = db;
}

void TestLogin::focusOrderAndAccessKeys()
{
    frmLogin dlg;
    dlg.show();
    QTRY_COMPARE(QApplication::focusWidget(), dlg.txtUserName);
    for (QWidget *next : QList<QWidget *>{dlg.txtPassword, dlg.cmdOK, dlg.cmdCancel, dlg.txtUserName}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.txtPassword);
    QTest::keyClick(&dlg, Qt::Key_U, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.txtUserName);
}

void TestLogin::onlyExactRowsLogIn_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    // Each row logs in with its exact password, the name in any case.
    QTest::newRow("name in small letters") << "admin" << "Secret" << true;
    QTest::newRow("wildcard name, quoted password") << "100%_*" << "it's \"quoted\"" << true;
    QTest::newRow("injection that is a real password") << "o'Brien" << "' OR '1'='1" << true;
    QTest::newRow("accented name in small letters") << "élodie" << "mot de passe" << true;
    QTest::newRow("blanks of the row kept") << "  spaced  " << "  blanks  " << true;
    QTest::newRow("empty password") << "guest" << "" << true;
    QTest::newRow("password of 40,000 characters") << "long" << QString(40000, u'p') << true;

    QTest::newRow("password in small letters") << "ADMIN" << "secret" << false;
    QTest::newRow("that long password cut short") << "long" << QString(32767, u'p') << false;
    QTest::newRow("empty name and password") << "" << "" << false;
    for (const char *sql : {"' OR 1=1 --", "ADMIN' OR '1'='1", "'; DELETE FROM User; --"}) {
        QTest::addRow("name %s", sql) << QString::fromUtf8(sql) << "Secret" << false;
        QTest::addRow("password %s", sql) << "ADMIN" << QString::fromUtf8(sql) << false;
    }
    QTest::newRow("quote doubled as SQL escapes it") << "O''BRIEN" << "' OR '1'='1" << false;
    QTest::newRow("percent for both") << "%" << "%" << false;
    QTest::newRow("underscores as long as ADMIN") << "_____" << "Secret" << false;
    QTest::newRow("NUL after the name") << QString("ADMIN") + QChar(0) << "Secret" << false;
    QTest::newRow("NUL after the password") << "ADMIN" << QString("Secret") + QChar(0) + "junk" << false;
    QTest::newRow("decomposed accent") << "E\u0301LODIE" << "mot de passe" << false;
    QTest::newRow("Cyrillic A") << "АDMIN" << "Secret" << false;
    QTest::newRow("trailing blank in name") << "ADMIN " << "Secret" << false;
    QTest::newRow("blanks of the row dropped") << "SPACED" << "blanks" << false;
}

// A wrong login says so, keeps the dialog and selects the password, so that typing replaces
// it; nothing typed changes the back end.
void TestLogin::onlyExactRowsLogIn()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    const QByteArray before = TestSupport::readFile(db);
    if (!accepted)
        DialogHook::answerMsgBox(Msg::OK);
    frmLogin dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    if (password.size() > 200) { // pasted: typing 40,000 keys takes minutes
        dlg.txtUserName->insert(user);
        dlg.txtPassword->insert(password);
        QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    } else {
        typeLogin(&dlg, user, password);
        QCOMPARE(dlg.txtUserName->text(), user);
    }
    QCOMPARE(LoggedIn, accepted);
    QCOMPARE(dlg.isVisible(), !accepted);
    QCOMPARE(texts(DialogHook::shown()), accepted ? QStringList() : QStringList{"Invalid password 48"});
    QCOMPARE(TestSupport::readFile(db), before);
    if (accepted)
        return;
    QCOMPARE(QApplication::focusWidget(), dlg.txtPassword);
    QCOMPARE(dlg.txtPassword->selectedText(), password);
    QTest::keyClicks(dlg.txtPassword, "Secret");
    QCOMPARE(dlg.txtPassword->text(), QString("Secret"));
}

// The cause is shown as an error, not as a wrong password, and the file is left alone.
void TestLogin::unreadableBackEnd()
{
    BackEndPath = tmp->path("odd.mdb");
    frmLogin dlg;
    dlg.show();
    for (const QByteArray &content : {QByteArray("This is a letter, not a database.\n").repeated(200), QByteArray()}) {
        TestSupport::writeFile(BackEndPath, content);
        DialogHook::clear();
        DialogHook::answerMsgBox(Msg::OK);
        typeLogin(&dlg, "ADMIN", "Secret");
        QVERIFY(!LoggedIn && dlg.isVisible());
        QCOMPARE(DialogHook::shown().size(), 1);
        const DialogHook::Shown box = DialogHook::shown().at(0);
        QCOMPARE(box.style, Msg::Critical);
        QVERIFY2(box.text.contains(": Cannot open database " + quotedPath(BackEndPath) + ": ") &&
                     box.text.contains("not a database"),
                 qPrintable(box.text));
        QCOMPARE(TestSupport::readFile(BackEndPath), content);
    }
}

void TestLogin::missingBackEndLoop()
{
    const QString gone = tmp->path("gone.mdb"), folder = tmp->path("a folder.mdb");
    QDir().mkdir(folder);
    BackEndPath = gone;
    frmLogin dlg;
    dlg.show();
    // Cancel in the message box; then a cancelled input box: the dialog stays, the path is kept.
    DialogHook::answerMsgBox(Msg::Cancel);
    typeLogin(&dlg, "ADMIN", "Secret");
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(std::nullopt);
    QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    QVERIFY(dlg.isVisible());
    QCOMPARE(BackEndPath, gone);
    // An empty answer and a folder count as not found; a good path goes on at once.
    for (const QString &answer : {QString(""), folder, db}) {
        DialogHook::answerMsgBox(Msg::Retry);
        DialogHook::answerInput(answer);
    }
    QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    const QString notFound = " not found. 53", prompt = "Please specify the path of BACK.MDB 0";
    QCOMPARE(texts(DialogHook::shown()), QStringList({gone + notFound, gone + notFound, prompt, gone + notFound, prompt,
                                                      notFound, prompt, folder + notFound, prompt}));
    QCOMPARE(DialogHook::shown()[2].title, QString("BackEnd"));
    QCOMPARE(DialogHook::shown()[2].defaultText, gone);
    QVERIFY(LoggedIn);
    QCOMPARE(BackEndPath, db);
    QVERIFY(!dlg.isVisible());
}

void TestLogin::keysOfTheModalDialog()
{
    // Enter presses OK; Esc runs Cancel, which logs out; the close box closes without a login.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_unknown}) {
        LoggedIn = key == Qt::Key_Escape;
        whenLoginShown([key](frmLogin *dlg) {
            QTest::keyClicks(dlg->txtUserName, "admin");
            QTest::keyClicks(dlg->txtPassword, "Secret");
            if (key == Qt::Key_unknown)
                dlg->close();
            else
                QTest::keyClick(dlg->txtPassword, key);
        });
        frmLogin::ShowModal();
        QCOMPARE(LoggedIn, key == Qt::Key_Return);
        QVERIFY(!frmLogin::instance());
    }
}

QTEST_MAIN(TestLogin)
#include "tst_frmlogin.moc"
