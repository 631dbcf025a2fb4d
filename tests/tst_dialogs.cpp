#include "errorcheck.h"
#include "platform/dialogs/dialogs.h"
#include "testsupport.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using namespace TestSupport;
using DialogHook::Shown;

namespace {

void setUp(CommonDialog &dialog, const QString &filter, const QString &fileName)
{
    dialog.setDialogTitle("Select");
    dialog.setDefaultExt("mdb");
    dialog.setFilter(filter);
    dialog.setFileName(fileName);
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private slots:
    void init() { DialogHook::reset(); }
    void scriptedAnswers();
    void realBoxes_data();
    void realBoxes();
};

// Scripted answers build no widget, and every box is recorded as the program asked for it.
void TestDialogs::scriptedAnswers()
{
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(std::nullopt);
    DialogHook::answerFileOpen(QString("/new.tvb"));
    QCOMPARE(MsgBox("x not found.", Msg::RetryCancel + Msg::Exclamation), Msg::Retry);
    QCOMPARE(InputBox("Path?", "", "C:\\BACK.MDB"), std::optional<QString>());
    CommonDialog dialog;
    setUp(dialog, "Backup|*.tvb", "/old/BACK.MDB");
    dialog.ShowOpen();
    QCOMPARE(dialog.FileName(), QString("/new.tvb"));
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
    QStringList shown;
    for (const Shown &box : DialogHook::shown())
        shown << DialogHook::describe(box);
    QCOMPARE(shown, (QStringList{"message box \"Tarvos Utility\", style 53: \"x not found.\"",
                                 "input box \"Tarvos Utility\": \"Path?\", default \"C:\\BACK.MDB\"", // untitled
                                 "file-open dialog \"Select\", filter \"Backup|*.tvb\", default extension \"mdb\", "
                                 "file name \"/old/BACK.MDB\""}));
    // A malformed filter is refused before anything is shown.
    for (const QString filter : {"Microsoft Access (*.mdb)", "A|*.a|B", "A|"}) {
        setUp(dialog, filter, "/keep/me.mdb");
        DialogHook::answerFileOpen(QString("/other.mdb"));
        QCOMPARE(errorMismatch([&] { dialog.ShowOpen(); }, ErrorNumber::InvalidArgument, {filter}), QString());
        QCOMPARE(dialog.FileName(), QString("/keep/me.mdb"));
    }
    QCOMPARE(DialogHook::shown().size(), 3);
}

void TestDialogs::realBoxes_data()
{
    QTest::addColumn<QString>("kind"); // message, input or file
    QTest::addColumn<int>("style");    // of a message
    QTest::addColumn<QStringList>("actions"); // keys, a button's caption, "Close", "Reject" or "type TEXT"
    QTest::addColumn<QString>("expected");    // the button's number, the text or the file; "-" for a cancel
    const auto row = [](const char *name, const char *kind, int style, const QStringList &actions, const QString &result) {
        QTest::newRow(name) << kind << style << actions << result;
    };
    const int rc = Msg::RetryCancel + Msg::Exclamation;
    const QString ok = QString::number(Msg::OK), retry = QString::number(Msg::Retry), cancel = QString::number(Msg::Cancel);
    row("error, OK clicked", "message", Msg::Critical, {"OK"}, ok);
    row("success, Enter", "message", Msg::Information, {"Enter"}, ok);
    row("no icon, Esc is OK", "message", 0, {"Esc"}, ok);
    row("warning, close box is OK", "message", Msg::Exclamation, {"Close"}, ok);
    row("not found, Retry", "message", rc, {"Retry"}, retry);
    row("not found, Enter is Retry", "message", rc, {"Enter"}, retry);
    row("not found, Cancel", "message", rc, {"Cancel"}, cancel);
    row("not found, Esc is Cancel", "message", rc, {"Esc"}, cancel);
    row("not found, close box is Cancel", "message", rc, {"Close"}, cancel);
    row("not found, ended without a button", "message", rc, {"Reject"}, cancel); // as when its owner goes
    row("input typed over the default", "input", 0, {"type /srv/BACK.MDB", "OK"}, "/srv/BACK.MDB");
    row("input emptied and confirmed", "input", 0, {"Backspace", "OK"}, "");
    row("input, Cancel", "input", 0, {"type x", "Cancel"}, "-");
    row("input, Esc", "input", 0, {"Esc"}, "-");
    // A name without an extension gets the default one; a folder typed opens it.
    row("file with an extension", "file", 0, {"type nightly.tvb", "Open"}, "nightly.tvb");
    row("existing file", "file", 0, {"type BACK.MDB", "Open"}, "BACK.MDB");
    row("path into a subfolder", "file", 0, {"type sub/new", "Open"}, "sub/new.mdb");
    row("a folder opens, then a name", "file", 0, {"type sub", "Open", "type new", "Open"}, "sub/new.mdb");
    row("file, Cancel after typing", "file", 0, {"type other", "Cancel"}, "-");
    row("file, Esc", "file", 0, {"Esc"}, "-");
}

void TestDialogs::realBoxes()
{
    QFETCH(QString, kind);
    QFETCH(int, style);
    QFETCH(QStringList, actions);
    QFETCH(QString, expected);
    TempFolder tmp;
    writeFile(tmp.path("BACK.MDB"), "db");
    QVERIFY(QDir(tmp.path()).mkdir("sub"));
    writeFile(tmp.path("sub/inner.mdb"), "db");
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
        QVERIFY(QTest::qWaitForWindowActive(box));
        seen = true;
        QCOMPARE(box->parentWidget(), &owner);
        if (auto *message = qobject_cast<QMessageBox *>(box)) {
            QCOMPARE(message->windowTitle(), QString("Tarvos Utility"));
            QCOMPARE(message->text(), text);
            QCOMPARE(message->textFormat(), Qt::PlainText);
            const QMap<int, QMessageBox::Icon> icons{
                {Msg::Critical, QMessageBox::Critical}, {Msg::Exclamation, QMessageBox::Warning}, {Msg::Information, QMessageBox::Information}};
            QCOMPARE(message->icon(), icons.value(style & 0x70, QMessageBox::NoIcon));
            QCOMPARE(message->buttons().size(), (style & 7) == Msg::RetryCancel ? 2 : 1);
        } else if (auto *files = qobject_cast<QFileDialog *>(box)) {
            QCOMPARE(files->nameFilters(), QStringList{"Microsoft Access (*.mdb) (*.mdb)"}); // shown as the first part
        } else if (auto *input = qobject_cast<QInputDialog *>(box)) {
            QCOMPARE(input->windowTitle(), QString("BackEnd"));
            QCOMPARE(input->findChild<QLabel *>()->text(), text);
            QCOMPARE(input->findChild<QLabel *>()->textFormat(), Qt::PlainText);
            QCOMPARE(input->findChild<QLineEdit *>()->selectedText(), tmp.path("BACK.MDB")); // typing replaces it
        }
        auto *edit = box->findChild<QLineEdit *>(kind == "file" ? "fileNameEdit" : QString());
        const QMap<QString, Qt::Key> keys{{"Enter", Qt::Key_Return}, {"Esc", Qt::Key_Escape}, {"Backspace", Qt::Key_Backspace}};
        for (const QString &action : actions) {
            if (keys.contains(action)) {
                QTest::keyClick(action == "Backspace" ? edit : (QWidget *)box, keys[action]);
            } else if (action == "Close") {
                box->close();
            } else if (action == "Reject") {
                box->reject();
            } else if (action.startsWith("type ")) {
                if (kind == "file") { // once the folder is listed, which puts the current file in the field
                    if (action == actions[0])
                        QTRY_COMPARE(edit->text(), QString("BACK.MDB"));
                    edit->setFocus();
                    QTRY_VERIFY(edit->hasFocus()); // Open takes the name typed only from a focused field
                    edit->clear();
                }
                QTest::keyClicks(edit, action.mid(5));
            } else {
                for (QAbstractButton *button : box->findChildren<QAbstractButton *>())
                    if (button->isVisible() && button->text().remove('&') == action)
                        QTest::mouseClick(button, Qt::LeftButton);
            }
        }
    });
    QString answer;
    if (kind == "message") {
        answer = QString::number(MsgBox(text, style));
    } else if (kind == "input") {
        answer = InputBox(text, "BackEnd", tmp.path("BACK.MDB")).value_or("-");
    } else {
        CommonDialog dialog;
        setUp(dialog, "Microsoft Access (*.mdb)|*.mdb", tmp.path("BACK.MDB"));
        const std::optional<Error> e = errorFrom([&] { dialog.ShowOpen(); });
        QVERIFY(!e || e->number() == ErrorNumber::DialogCancelled);
        // A cancel leaves the name as it was.
        QCOMPARE(dialog.FileName(), tmp.path(e ? "BACK.MDB" : expected));
        answer = e ? "-" : expected;
    }
    QVERIFY(seen);
    QCOMPARE(answer, expected);
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
