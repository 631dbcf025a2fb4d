#include "app/modTarBackup.h"
#include "forms/frmLogin.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace FormSupport;
using namespace TestSupport;
using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;

class TestLogin : public QObject {
    Q_OBJECT

private slots:
    void login_data();
    void login();
};

void TestLogin::login_data()
{
    // In a folder ("@") holding the back end "it's a back end.mdb", text.mdb (a letter), empty.mdb
    // and the folder folder.mdb.
    QTest::addColumn<QString>("backEnd"); // the path the program has
    QTest::addColumn<QStringList>("actions"); // "type TEXT" into the focused field, keys, OK, Close
    QTest::addColumn<QStringList>("answers"); // to the boxes: a button, "input TEXT", "input cancelled"
    QTest::addColumn<QStringList>("boxes");   // messages "TEXT STYLE", input boxes "TITLE: PROMPT [DEFAULT]"
    QTest::addColumn<bool>("loggedIn");
    const QString good = "@/it's a back end.mdb", refused = "Invalid password 48";
    const auto typed = [&](const char *name, const QString &user, const QString &password, bool ok) {
        QTest::newRow(name) << good << QStringList{"type " + user, "Tab", "type " + password, "OK"}
                            << (ok ? QStringList() : QStringList{"OK"}) << (ok ? QStringList() : QStringList{refused}) << ok;
    };
    // A row of User logs in with its exact password, the name in any case; nothing else does.
    typed("name in small letters", "admin", "Secret", true);
    typed("wildcard name, quoted password", "100%_*", "it's \"quoted\"", true);
    typed("injection that is a real password", "o'Brien", "' OR '1'='1", true);
    typed("accented name in small letters", "élodie", "mot de passe", true);
    typed("blanks of the row kept", "  spaced  ", "  blanks  ", true);
    typed("empty password", "guest", "", true);
    typed("password of 40,000 characters", "long", QString(40000, u'p'), true);
    typed("password in small letters", "ADMIN", "secret", false);
    typed("that long password cut short", "long", QString(32767, u'p'), false);
    for (const char *sql : {"' OR 1=1 --", "ADMIN' OR '1'='1", "'; DELETE FROM User; --"}) {
        typed(qPrintable(QString("name ") + sql), sql, "Secret", false);
        typed(qPrintable(QString("password ") + sql), "ADMIN", sql, false);
    }
    typed("quote doubled as SQL escapes it", "O''BRIEN", "' OR '1'='1", false);
    typed("percent for both", "%", "%", false);
    typed("NUL after the password", "ADMIN", QString("Secret") + QChar(0) + "junk", false);
    typed("decomposed accent", "E\u0301LODIE", "mot de passe", false);
    typed("blanks of the row dropped", "SPACED", "blanks", false);

    const QStringList type = {"type ADMIN", "Tab", "type Secret"};
    QTest::newRow("Enter presses OK") << good << type + QStringList{"Enter"} << QStringList() << QStringList() << true;
    QTest::newRow("access keys") << good << QStringList{"Alt+P", "type Secret", "Alt+U", "type admin", "Enter"}
                                 << QStringList() << QStringList() << true;
    QTest::newRow("Tab to OK") << good << type + QStringList{"Tab", "Space"} << QStringList() << QStringList() << true;
    QTest::newRow("Tab to Cancel") << good << type + QStringList{"Tab", "Tab", "Space"} << QStringList() << QStringList()
                                   << false;
    QTest::newRow("Esc cancels") << good << type + QStringList{"Esc"} << QStringList() << QStringList() << false;
    QTest::newRow("close box") << good << type + QStringList{"Close"} << QStringList() << QStringList() << false;

    // A file that is no database is an error, not a wrong password.
    QTest::newRow("not a database") << "@/text.mdb" << type + QStringList{"OK"} << QStringList{"OK"}
                                    << QStringList{"26: Cannot open database \"@/text.mdb\": the file is not a database 16"}
                                    << false;
    QTest::newRow("empty file") << "@/empty.mdb" << type + QStringList{"OK"} << QStringList{"OK"}
                                << QStringList{"26: Cannot open database \"@/empty.mdb\": the file is empty, not a "
                                               "database 16"}
                                << false;
    // A missing back end is asked for until found; an empty answer and a folder are not found.
    const QString gone = "@/gone.mdb not found. 53", asked = "BackEnd: Please specify the path of BACK.MDB [@/gone.mdb]";
    QTest::newRow("missing, Cancel") << "@/gone.mdb" << type + QStringList{"OK"} << QStringList{"Cancel"}
                                     << QStringList{gone} << false;
    QTest::newRow("missing, the path not given") << "@/gone.mdb" << type + QStringList{"OK"}
                                                 << QStringList{"Retry", "input cancelled"} << QStringList{gone, asked}
                                                 << false;
    QTest::newRow("missing, then found")
        << "@/gone.mdb" << type + QStringList{"OK"}
        << QStringList{"Retry", "input ", "Retry", "input @/folder.mdb", "Retry", "input " + good}
        << QStringList{gone, asked, " not found. 53", "BackEnd: Please specify the path of BACK.MDB []",
                       "@/folder.mdb not found. 53", "BackEnd: Please specify the path of BACK.MDB [@/folder.mdb]"}
        << true;
}

void TestLogin::login()
{
    QFETCH(QString, backEnd);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, boxes);
    QFETCH(bool, loggedIn);
    TempFolder tmp;
    const auto at = [&](QString text) { return text.replace("@", tmp.path()); };
    resetProgramState(tmp.path("settings"));
    makeBackEnd(tmp.path("it's a back end.mdb"),
                {"ADMIN:Secret", "100%_*:it's \"quoted\"", "O'BRIEN:' OR '1'='1", "ÉLODIE:mot de passe",
                 "  SPACED  :  blanks  ", "GUEST:", "LONG:" + QString(40000, u'p')});
    writeFile(tmp.path("text.mdb"), QByteArray("This is a letter, not a database.\n").repeated(200));
    writeFile(tmp.path("empty.mdb"), {});
    QVERIFY(QDir(tmp.path()).mkdir("folder.mdb"));
    const auto files = [&] { return readFile(tmp.path("it's a back end.mdb")) + readFile(tmp.path("text.mdb")); };
    const QByteArray before = files();
    BackEndPath = at(backEnd);
    for (const QString &answer : answers) {
        if (answer.startsWith("input "))
            DialogHook::answerInput(answer == "input cancelled" ? std::nullopt : std::optional(at(answer.mid(6))));
        else
            DialogHook::answerMsgBox(answer == "OK" ? Msg::OK : answer == "Retry" ? Msg::Retry : Msg::Cancel);
    }
    LoggedIn = !loggedIn && boxes.isEmpty() && !actions.contains("Close"); // Cancel logs out

    frmLogin dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QTRY_COMPARE(QApplication::focusWidget(), dlg.txtUserName);
    const QMap<QString, Qt::Key> keys{
        {"Tab", Qt::Key_Tab}, {"Enter", Qt::Key_Return}, {"Esc", Qt::Key_Escape}, {"Space", Qt::Key_Space}};
    for (const QString &action : actions) {
        auto *field = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        if (action.startsWith("type ")) { // keys for plain text, else pasted as a whole
            const QString text = action.mid(5);
            QVERIFY(field);
            if (text.size() < 100 && text.toLatin1() == text.toUtf8() && !text.contains(QChar(0)))
                QTest::keyClicks(field, text);
            else
                field->insert(text);
            QCOMPARE(field->text(), text);
        } else if (action.startsWith("Alt+")) {
            QTest::keyClick(&dlg, Qt::Key(action.at(4).unicode()), Qt::AltModifier);
        } else if (action == "OK") {
            QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
        } else if (action == "Close") {
            dlg.close();
        } else {
            QTest::keyClick(QApplication::focusWidget(), keys.value(action));
        }
    }
    QStringList shown;
    for (const DialogHook::Shown &box : DialogHook::shown())
        shown << (box.kind == DialogHook::Kind::Input ? box.title + ": " + box.text + " [" + box.defaultText + "]"
                                                      : box.text + " " + QString::number(box.style));
    QCOMPARE(shown.join('\n'), at(boxes.join('\n')));
    QCOMPARE(LoggedIn, loggedIn);
    QCOMPARE(dlg.isVisible(), !loggedIn && !boxes.isEmpty());
    QCOMPARE(BackEndPath, at(loggedIn ? "@/it's a back end.mdb" : backEnd));
    QCOMPARE(files(), before); // a login only reads
    if (boxes.value(0) == "Invalid password 48") { // the password selected: typing replaces it
        QCOMPARE(QApplication::focusWidget(), dlg.txtPassword);
        QCOMPARE(dlg.txtPassword->selectedText(), actions[2].mid(5));
        QTest::keyClicks(dlg.txtPassword, "Secret");
        QCOMPARE(dlg.txtPassword->text(), QString("Secret"));
    }
}

QTEST_MAIN(TestLogin)
#include "tst_frmlogin.moc"
