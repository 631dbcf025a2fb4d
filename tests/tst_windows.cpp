#include "app/modTarBackup.h"
#include "backendmaker.h"
#include "errorcheck.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "formsupport.h"
#include "opsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/registry/registry.h"
#include "testsupport.h"

#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace FormSupport;
using namespace TestSupport;
using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;

namespace {

// Does what a user does in window: "type TEXT" into the focused field (keys for short text, else
// pasted as a whole), a key (Tab, Enter, Esc, Space, Alt+LETTER) on the focused control, the close
// box (Close), a dialog ended without a button (Reject), or a click on the button of that caption.
void act(QWidget *window, const QString &action)
{
    if (action.startsWith("type ")) {
        auto *field = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QVERIFY(field);
        typeText(field, action.mid(5));
        QCOMPARE(field->text(), action.mid(5));
        return;
    }
    const QMap<QString, Qt::Key> keys{
        {"Tab", Qt::Key_Tab}, {"Enter", Qt::Key_Return}, {"Esc", Qt::Key_Escape}, {"Space", Qt::Key_Space}};
    if (keys.contains(action))
        QTest::keyClick(QApplication::focusWidget(), keys[action]);
    else if (action.startsWith("Alt+"))
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(action.at(4).unicode()), Qt::AltModifier);
    else if (action == "Close")
        window->close();
    else if (action == "Reject") // as when the owner goes
        qobject_cast<QDialog *>(window)->reject();
    for (QAbstractButton *button : window->findChildren<QAbstractButton *>())
        if (button->isVisible() && button->text().remove('&') == action)
            QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

// The Login and About windows and the standard boxes, driven as a user would.
class TestWindows : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        tmp_ = std::make_unique<TempFolder>();
        resetProgramState(tmp_->path("settings")); // boxes scripted, strictly: one not scripted ends the test
        Registry::setHiveFile(tmp_->path("registry.reg"));
        writeFile(tmp_->path("registry.reg"), "Windows Registry Editor Version 5.00\r\n\r\n");
    }

    void cleanupTestCase() { Registry::setHiveFile(QString()); }

    void login_data()
    {
        // In a folder ("@") holding the back end "it's a back end.mdb", text.mdb (a letter), empty.mdb
        // and the folder folder.mdb.
        QTest::addColumn<QString>("backEnd");     // the path the program has
        QTest::addColumn<QStringList>("actions"); // "type TEXT" into the focused field, keys, OK, Close
        QTest::addColumn<QStringList>("answers"); // to the boxes: a button or "input TEXT"
        QTest::addColumn<QStringList>("boxes");   // messages "TEXT STYLE", input boxes "TITLE: PROMPT [DEFAULT]"
        QTest::addColumn<bool>("loggedIn");
        const QString good = "@/it's a back end.mdb";
        const auto row = [](const char *name, const QString &backEnd, const QStringList &actions,
                            const QStringList &answers, const QStringList &boxes,
                            bool ok) { QTest::newRow(name) << backEnd << actions << answers << boxes << ok; };
        const auto typed = [&](const char *name, const QString &user, const QString &password, bool ok,
                               const QString &backEnd = "@/it's a back end.mdb") {
            row(name, backEnd, {"type " + user, "Tab", "type " + password, "OK"},
                ok ? QStringList() : QStringList{"OK"}, ok ? QStringList() : QStringList{"Invalid password 48"}, ok);
        };
        // A row of User logs in with its exact password, the name in any case; nothing else does.
        typed("name in small letters", "admin", "Secret", true);
        typed("injection that is a real password", "o'Brien", "' OR '1'='1", true);
        typed("empty password", "guest", "", true);
        typed("blanks of the row kept", "  spaced  ", "  blanks  ", true);
        typed("password of 40,000 characters", "long", QString(40000, u'p'), true);
        typed("password in small letters", "ADMIN", "secret", false);
        typed("that long password cut short", "long", QString(32767, u'p'), false);
        typed("letters beyond ASCII", "jürgen", "Paßwort ✓", true);
        // Whatever the table declares, the texts are compared as they are: a numeric column must not
        // take "01234" for 1234, nor a column without regard to case "DEMO" for "demo".
        const QString loose = "@/loose types.mdb";
        typed("numeric column, the number as stored", "1234", "pass", true, loose);
        typed("numeric column, the number with a leading zero", "01234", "pass", false, loose);
        typed("column without case, the password as stored", "demo", "demo", true, loose);
        typed("column without case, the password in capitals", "demo", "DEMO", false, loose);

        const QStringList type = {"type ADMIN", "Tab", "type Secret"}, typeOK = type + QStringList{"OK"};
        row("Enter presses OK", good, type + QStringList{"Enter"}, {}, {}, true);
        row("access keys", good, {"Alt+P", "type Secret", "Alt+U", "type admin", "Enter"}, {}, {}, true);
        row("Tab to Cancel", good, type + QStringList{"Tab", "Tab", "Space"}, {}, {}, false);
        row("Esc cancels", good, type + QStringList{"Esc"}, {}, {}, false);
        row("close box", good, type + QStringList{"Close"}, {}, {}, false);
        // A file that is no database is an error, not a wrong password.
        const QString open = "26: Cannot open database \"@/";
        row("not a database", "@/text.mdb", typeOK, {"OK"}, {open + "text.mdb\": the file is not a database 16"},
            false);
        row("empty", "@/empty.mdb", typeOK, {"OK"}, {open + "empty.mdb\": the file is empty, not a database 16"},
            false);
        // A missing back end is asked for until found; an empty answer and a folder are not found.
        const QString gone = "@/gone.mdb not found. 53", ask = "BackEnd: Please specify the path of BACK.MDB [";
        row("missing, Cancel", "@/gone.mdb", typeOK, {"Cancel"}, {gone}, false);
        row("missing, then found", "@/gone.mdb", typeOK,
            {"Retry", "input ", "Retry", "input @/folder.mdb", "Retry", "input " + good},
            {gone, ask + "@/gone.mdb]", " not found. 53", ask + "]", "@/folder.mdb not found. 53",
             ask + "@/folder.mdb]"},
            true);
    }

    void login()
    {
        QFETCH(QString, backEnd);
        QFETCH(QStringList, actions);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, boxes);
        QFETCH(bool, loggedIn);
        TempFolder &tmp = *tmp_;
        const auto at = [&](QString text) { return text.replace("@", tmp.path()); };
        const QList<BackendMaker::Account> users{
            {"ADMIN", "Secret"}, {"O'BRIEN", "' OR '1'='1"},     {"  SPACED  ", "  blanks  "},
            {"GUEST", ""},       {"LONG", QString(40000, u'p')}, {"JÜRGEN", "Paßwort ✓"}};
        BackendMaker::make(tmp.path("it's a back end.mdb"), {users});
        QVERIFY(rawExec(rawOpen(tmp.path("loose types.mdb"), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).get(),
                        "CREATE TABLE User (UserName NUMERIC COLLATE NOCASE, UserPassword NUMERIC COLLATE NOCASE);"
                        "INSERT INTO User VALUES ('1234', 'pass'), ('DEMO', 'demo');"));
        writeFile(tmp.path("text.mdb"), QByteArray("This is a letter, not a database.\n").repeated(200));
        writeFile(tmp.path("empty.mdb"), {});
        QVERIFY(QDir(tmp.path()).mkdir("folder.mdb"));
        const auto files = [&] { return readFile(tmp.path("it's a back end.mdb")) + readFile(tmp.path("text.mdb")); };
        const QByteArray before = files();
        BackEndPath = at(backEnd);
        for (const QString &answer : answers)
            if (answer.startsWith("input "))
                DialogHook::answerInput(at(answer.mid(6)));
            else
                DialogHook::answerMsgBox(answer == "OK" ? Msg::OK : answer == "Retry" ? Msg::Retry : Msg::Cancel);
        LoggedIn = !loggedIn && boxes.isEmpty() && !actions.contains("Close"); // so that a Cancel must log out

        frmLogin dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QTRY_COMPARE(QApplication::focusWidget(), dlg.txtUserName);
        for (const QString &action : actions) {
            act(&dlg, action);
            // What the password field shows: a star for each character typed, nothing of the text.
            QCOMPARE(dlg.txtPassword->displayText(), QString(dlg.txtPassword->text().size(), u'*'));
        }
        QStringList shown;
        for (const DialogHook::Shown &box : DialogHook::shown())
            shown << (box.kind == DialogHook::Kind::Input ? box.title + ": " + box.text + " [" + box.defaultText + "]"
                                                          : box.text + " " + QString::number(box.style));
        QCOMPARE(shown.join('\n'), at(boxes.join('\n')));
        QCOMPARE(LoggedIn, loggedIn);
        QCOMPARE(dlg.isVisible(), !loggedIn && !boxes.isEmpty());
        QCOMPARE(BackEndPath, at(loggedIn && !backEnd.contains("loose") ? "@/it's a back end.mdb" : backEnd));
        QCOMPARE(files(), before);                     // a login only reads
        if (boxes.value(0) == "Invalid password 48") { // the password selected: typing replaces it
            QCOMPARE(QApplication::focusWidget(), dlg.txtPassword);
            QCOMPARE(dlg.txtPassword->selectedText(), actions[2].mid(5));
            act(&dlg, "type Secret");
        }
    }

    void keysAndSystemInfo_data()
    {
        // "@" is the test's folder, with the programs "sys info" and tools/MSINFO32.EXE.
        // A path read from the first key is started as it is; else the second key names a folder
        // holding MSINFO32.EXE.
        QTest::addColumn<QByteArray>("hive");
        QTest::addColumn<QString>("keys");    // from the first focus, as act() does them
        QTest::addColumn<int>("presses");     // of System Info (then OK is clicked)
        QTest::addColumn<QString>("started"); // the program each press starts; empty: the message instead
        const QByteArray path = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\r\n\"PATH\"=";
        const QByteArray tools =
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\r\n\"MSINFO\"=\"@/tools\"";
        const auto row = [](const char *name, const QByteArray &hive, const char *keys, int presses,
                            const char *started) { QTest::newRow(name) << hive << keys << presses << started; };
        row("Esc", {}, "Esc", 0, "");
        row("neither key, Enter on System Info", {}, "Tab Enter", 1, "");
        row("the path read, twice", path + "\"@/sys info\"" + tools, "Tab Enter Enter", 2, "sys info");
        row("a path naming no file, no second try", path + "\"@/missing\"" + tools, "Tab Enter", 1, "");
        row("the folder's program, by its access key", tools, "Alt+S", 1, "tools/MSINFO32.EXE");
        row("a path with letters beyond ASCII", path + "\"@/Systemübersicht ✓\"", "Tab Enter", 1, "Systemübersicht ✓");
    }

    // Shown modal from a window, unloaded when closed. System Info asks for read rights only.
    void keysAndSystemInfo()
    {
        QFETCH(QByteArray, hive);
        QFETCH(QString, keys);
        QFETCH(int, presses);
        QFETCH(QString, started);
        QDir().mkdir(tmp_->path("tools"));
        const QString ran = tmp_->path("ran");
        for (const QString program : {"sys info", "tools/MSINFO32.EXE", "Systemübersicht ✓"}) { // each logs its start
            writeFile(tmp_->path(program),
                      "#!/bin/sh\necho '" + program.toUtf8() + "' >> '" + QFile::encodeName(ran) + "'\n");
            QFile::setPermissions(tmp_->path(program), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        writeFile(tmp_->path("registry.reg"),
                  readFile(tmp_->path("registry.reg")) + hive.replace("@", QFile::encodeName(tmp_->path())) + "\r\n");
        for (int i = 0; started.isEmpty() && i < presses; ++i)
            DialogHook::answerMsgBox(Msg::OK);
        QWidget owner;
        owner.show();
        QVERIFY(QTest::qWaitForWindowActive(&owner));
        QStringList captions;
        QTimer::singleShot(0, [&] {
            QTRY_VERIFY(qobject_cast<frmAbout *>(QApplication::activeModalWidget()));
            auto *about = qobject_cast<frmAbout *>(QApplication::activeModalWidget());
            const auto closeLeftOver = qScopeGuard([&] { about->reject(); }); // fail rather than hang
            QTRY_VERIFY(about->isActiveWindow() && about->focusWidget());
            captions << about->windowTitle() << about->findChild<QLabel *>("lblTitle")->text()
                     << about->findChild<QLabel *>("lblVersion")->text() << QApplication::focusWidget()->objectName();
            for (const QString &key : keys.split(' '))
                act(about, key);
            if (presses) { // an access key presses its button after a short delay
                if (started.isEmpty())
                    QTRY_COMPARE(DialogHook::shown().size(), presses);
                else
                    QTRY_COMPARE(readFile(ran), (started + "\n").repeated(presses).toUtf8());
                QTest::mouseClick(about->findChild<QPushButton *>("cmdOK"), Qt::LeftButton);
            }
            QVERIFY(!about->isVisible());
        });
        frmAbout::showModalAfresh(&owner);
        QCOMPARE(captions, (QStringList{"About Tarvos Utility", "Tarvos Utility", "Version 1.0.0", "cmdOK"}));
        QVERIFY(owner.findChildren<frmAbout *>().isEmpty());
        QCOMPARE(readFile(ran), (started.isEmpty() ? QString() : started + "\n").repeated(presses).toUtf8());
        // In strict mode a message not scripted would have ended the test.
        QCOMPARE(DialogHook::shown().size(), started.isEmpty() ? presses : 0);
        for (const DialogHook::Shown &box : DialogHook::shown())
            QCOMPARE(box.title + ": " + box.text,
                     QString("Tarvos Utility: System Information Is Unavailable At This Time"));
    }

    void realBoxes_data()
    {
        QTest::addColumn<QString>("kind");        // message, input or file
        QTest::addColumn<int>("style");           // of a message
        QTest::addColumn<QStringList>("actions"); // keys, a button's caption, "Close", "Reject" or "type TEXT"
        QTest::addColumn<QString>("expected");    // the button's number, the text or the file; "-" for a cancel
        const auto row = [](const char *name, const char *kind, int style, const QStringList &actions,
                            const QString &result) { QTest::newRow(name) << kind << style << actions << result; };
        const int rc = Msg::RetryCancel + Msg::Exclamation;
        const QString ok = QString::number(Msg::OK), retry = QString::number(Msg::Retry),
                      cancel = QString::number(Msg::Cancel);
        row("error, OK clicked", "message", Msg::Critical, {"OK"}, ok);
        row("success, Enter is OK", "message", Msg::Information, {"Enter"}, ok);
        row("no icon, Esc is OK", "message", 0, {"Esc"}, ok);
        row("not found, Retry", "message", rc, {"Retry"}, retry);
        row("not found, Esc is Cancel", "message", rc, {"Esc"}, cancel);
        row("not found, close box is Cancel", "message", rc, {"Close"}, cancel);
        row("not found, ended without a button", "message", rc, {"Reject"}, cancel);
        row("input typed over the default", "input", 0, {"type /srv/BACK.MDB", "OK"}, "/srv/BACK.MDB");
        row("input, Cancel", "input", 0, {"type x", "Cancel"}, "-");
        // A name without an extension gets the default one; a folder typed opens it.
        row("file with an extension", "file", 0, {"type nightly.tvb", "Open"}, "nightly.tvb");
        row("a folder opens, then a name", "file", 0, {"type sub", "Open", "type new", "Open"}, "sub/new.mdb");
        row("file, Cancel after typing", "file", 0, {"type other", "Cancel"}, "-");
    }

    void realBoxes()
    {
        DialogHook::reset(); // nothing scripted: the real boxes show
        QFETCH(QString, kind);
        QFETCH(int, style);
        QFETCH(QStringList, actions);
        QFETCH(QString, expected);
        TempFolder tmp;
        writeFile(tmp.path("BACK.MDB"), "db");
        QVERIFY(QDir(tmp.path()).mkdir("sub"));
        QWidget owner; // a box belongs to the active window
        owner.show();
        QVERIFY(QTest::qWaitForWindowActive(&owner));
        const QString text = "2: Cannot open \"/data/<b>a & b</b>.mdb\""; // shown as typed, not as markup
        bool seen = false;
        QTimer::singleShot(0, [&] {
            QDialog *box = nullptr;
            const auto closeLeftOver = qScopeGuard([&] { // a box left open fails the test rather than hanging it
                if (auto *left = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                    left->reject();
                    QFAIL("the box was left open");
                }
            });
            QTRY_VERIFY((box = qobject_cast<QDialog *>(QApplication::activeModalWidget())));
            QTRY_VERIFY(box->isActiveWindow() && box->isAncestorOf(QApplication::focusWidget()));
            seen = true;
            QCOMPARE(box->parentWidget(), &owner);
            if (auto *message = qobject_cast<QMessageBox *>(box)) {
                QCOMPARE(message->windowTitle() + ": " + message->text(), "Tarvos Utility: " + text);
                QCOMPARE(message->textFormat(), Qt::PlainText);
                const QList<QMessageBox::Icon> icons{QMessageBox::NoIcon, QMessageBox::Critical, QMessageBox::Question,
                                                     QMessageBox::Warning, QMessageBox::Information}; // by style / 16
                QCOMPARE(message->icon(), icons.value(style >> 4 & 7));
                QCOMPARE(message->buttons().size(), (style & 7) == Msg::RetryCancel ? 2 : 1);
            } else if (auto *files = qobject_cast<QFileDialog *>(box)) {
                QCOMPARE(files->windowTitle() + ": " + files->nameFilters().join(';'),
                         QString("Select: Microsoft Access (*.mdb) (*.mdb)")); // the filter shown as its first part
            } else if (auto *input = qobject_cast<QInputDialog *>(box)) {
                QCOMPARE(input->windowTitle() + ": " + input->labelText(), "BackEnd: " + text);
                QCOMPARE(input->findChild<QLabel *>()->textFormat(), Qt::PlainText);
                QCOMPARE(input->findChild<QLineEdit *>()->selectedText(), tmp.path("BACK.MDB")); // typing replaces it
            }
            auto *edit = box->findChild<QLineEdit *>("fileNameEdit");
            for (const QString &action : actions) {
                // The file dialog's field, once the folder is listed (which puts the current file in it), is cleared
                // and typed into with the focus, as a user does: Open reads the field only when it has the focus.
                if (kind == "file" && action.startsWith("type ")) {
                    if (action == actions[0])
                        QTRY_COMPARE(edit->text(), QString("BACK.MDB"));
                    edit->setFocus();
                    QTRY_VERIFY(edit->hasFocus());
                    edit->clear();
                }
                act(box, action);
            }
        });
        QString answer;
        if (kind == "message") {
            answer = QString::number(MsgBox(text, style));
        } else if (kind == "input") {
            answer = InputBox(text, "BackEnd", tmp.path("BACK.MDB")).value_or("-");
        } else {
            CommonDialog dialog;
            dialog.setDialogTitle("Select");
            dialog.setDefaultExt("mdb");
            dialog.setFilter("Microsoft Access (*.mdb)|*.mdb");
            dialog.setFileName(tmp.path("BACK.MDB"));
            const std::optional<Error> e = errorFrom([&] { dialog.ShowOpen(); });
            QVERIFY(!e || e->number() == ErrorNumber::DialogCancelled);
            // A cancel leaves the name as it was.
            QCOMPARE(dialog.FileName(), tmp.path(e ? "BACK.MDB" : expected));
            answer = e ? "-" : expected;
        }
        QVERIFY(seen);
        QCOMPARE(answer, expected);
    }

private:
    std::unique_ptr<TempFolder> tmp_;
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
