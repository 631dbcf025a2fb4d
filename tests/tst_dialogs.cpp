#include "errorcheck.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "testsupport.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>

using namespace TestSupport;
using DialogHook::Kind;
using DialogHook::Shown;

namespace {

const QString databaseFilter = "Microsoft Access (*.mdb)|*.mdb";
const QString backupFilter = "Tarvos Backup (*.tvb)|*.tvb";

// Runs act on the modal dialog of type D that the code under test shows next: the zero-delay
// timer fires inside the dialog's own event loop. If act leaves the dialog open (a failed
// check), the dialog is rejected so that the test reports the failure instead of hanging.
template <class D> void whenShown(std::function<void(D *)> act)
{
    QTimer::singleShot(0, [act] {
        QPointer<D> dialog;
        const auto closeLeftOver = qScopeGuard([&] {
            QWidget *open = dialog ? dialog.data() : QApplication::activeModalWidget();
            if (auto *left = qobject_cast<QDialog *>(open); left && left->isVisible())
                left->reject();
        });
        QTRY_VERIFY((dialog = qobject_cast<D *>(QApplication::activeModalWidget())));
        act(dialog);
    });
}

void press(QFileDialog *dialog, QDialogButtonBox::StandardButton which)
{
    QTest::mouseClick(dialog->findChild<QDialogButtonBox *>("buttonBox")->button(which), Qt::LeftButton);
}

// Types name into the dialog's name field as a user would: once the folder is listed (the
// dialog puts its preselected file into the field when the listing arrives), with the focus.
void typeFileName(QFileDialog *dialog, const QString &name)
{
    auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit");
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    auto *view = dialog->findChild<QListView *>("listView");
    QTRY_VERIFY(view->model()->rowCount(view->rootIndex()) > 0);
    edit->setFocus();
    edit->clear();
    QTest::keyClicks(edit, name);
}

// Records as the boxes make them.
Shown message(const QString &text, int style)
{
    Shown box;
    box.text = text;
    box.style = style;
    box.title = "Tarvos Utility";
    return box;
}

Shown input(const QString &prompt, const QString &title, const QString &defaultText)
{
    Shown box;
    box.kind = Kind::Input;
    box.text = prompt;
    box.title = title;
    box.defaultText = defaultText;
    return box;
}

Shown fileOpen(const QString &filter, const QString &initialFileName)
{
    Shown box;
    box.kind = Kind::FileOpen;
    box.title = "Select";
    box.filter = filter;
    box.defaultExt = "mdb";
    box.initialFileName = initialFileName;
    return box;
}

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
    void cleanup() { DialogHook::reset(); }

    void scriptedAnswersAreUsedInOrderAndRecorded();
    void observerClearAndReset();
    void strictModeStopsAtAnUnscriptedBox();
    void filterStringsBecomeNameFilters_data();
    void filterStringsBecomeNameFilters();

    void realMessageBox_data();
    void realMessageBox();
    void realInputBox_data();
    void realInputBox();
    void realFileDialog_data();
    void realFileDialog();
};

void TestDialogs::scriptedAnswersAreUsedInOrderAndRecorded()
{
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(QString("D:\\data\\BACK.MDB"));
    DialogHook::answerMsgBox(Msg::Cancel);
    DialogHook::answerInput(QString(""));
    DialogHook::answerInput(std::nullopt);
    DialogHook::answerFileOpen(QString("/backups/a.tvb"));
    DialogHook::answerFileOpen(std::nullopt);
    QCOMPARE(DialogHook::pendingAnswers(), 7);
    // Scripted answers never build a widget.
    DialogHook::setObserver([](const Shown &) { QCOMPARE(QApplication::topLevelWidgets().size(), 0); });

    QCOMPARE(MsgBox("x not found.", Msg::RetryCancel + Msg::Exclamation), Msg::Retry);
    // Each kind has its own queue: the message answer queued between two input answers waits.
    QCOMPARE(InputBox("Path?", "BackEnd", "C:\\BACK\\BACK.MDB"), std::optional<QString>("D:\\data\\BACK.MDB"));
    const std::optional<QString> empty = InputBox("Path?", "", "");
    QVERIFY(empty && empty->isEmpty()); // confirmed empty, not cancelled
    QVERIFY(!InputBox("Path?", "BackEnd", ""));
    QCOMPARE(MsgBox("Backup successful.", Msg::Information), Msg::Cancel);

    CommonDialog dialog;
    setUp(dialog, backupFilter, "/old/BACK.MDB");
    QCOMPARE(errorMessage([&] { dialog.ShowOpen(); }), QString());
    QCOMPARE(dialog.FileName(), QString("/backups/a.tvb"));
    QVERIFY_THROWS_EXCEPTION(Error, dialog.ShowOpen());
    QCOMPARE(dialog.FileName(), QString("/backups/a.tvb"));
    QCOMPARE(DialogHook::pendingAnswers(), 0);

    const QList<Shown> expected{message("x not found.", 53),
                                input("Path?", "BackEnd", "C:\\BACK\\BACK.MDB"),
                                input("Path?", "Tarvos Utility", ""), // untitled: the application's title
                                input("Path?", "BackEnd", ""),
                                message("Backup successful.", 64),
                                fileOpen(backupFilter, "/old/BACK.MDB"),
                                fileOpen(backupFilter, "/backups/a.tvb")};
    QCOMPARE(DialogHook::shown(), expected);
}

// The observer sees the window as it is while a box is up (scripted, or real and not yet
// answered); clear() forgets what was shown but keeps answers and observer; reset() drops all.
void TestDialogs::observerClearAndReset()
{
    QPushButton start("Start");
    start.setEnabled(false);
    QList<Shown> seen;
    QList<bool> enabledWhenShown;
    DialogHook::setObserver([&](const Shown &box) {
        seen << box;
        enabledWhenShown << start.isEnabled();
    });
    DialogHook::answerMsgBox(Msg::OK);
    DialogHook::answerMsgBox(Msg::Retry);
    QCOMPARE(MsgBox("123: broken", Msg::Critical), Msg::OK);
    DialogHook::clear();
    QVERIFY(DialogHook::shown().isEmpty());
    start.setEnabled(true);
    QCOMPARE(MsgBox("two", Msg::RetryCancel), Msg::Retry);
    QCOMPARE(DialogHook::shown().size(), 1);
    whenShown<QMessageBox>([&](QMessageBox *box) {
        QCOMPARE(seen.size(), 3);
        box->button(QMessageBox::Ok)->click();
    });
    QCOMPARE(MsgBox("Database compacted.", Msg::Information), Msg::OK);
    QCOMPARE(seen, (QList<Shown>{message("123: broken", 16), message("two", 5), message("Database compacted.", 64)}));
    QCOMPARE(enabledWhenShown, (QList<bool>{false, true, true}));

    DialogHook::answerInput(QString("left over"));
    DialogHook::setStrict(true);
    DialogHook::reset();
    QCOMPARE(DialogHook::pendingAnswers(), 0);
    QVERIFY(DialogHook::shown().isEmpty());
    // No observer, no strict mode: the real box shows.
    whenShown<QInputDialog>([](QInputDialog *box) { box->reject(); });
    QVERIFY(!InputBox("p", "t", "d"));
    QCOMPARE(seen.size(), 3);
}

void TestDialogs::strictModeStopsAtAnUnscriptedBox()
{
    if (qEnvironmentVariableIsSet("TST_DIALOGS_STRICT_CHILD")) {
        // The child run: one scripted box passes, the unscripted one must end the program.
        DialogHook::setStrict(true);
        DialogHook::answerMsgBox(Msg::OK);
        QCOMPARE(MsgBox("scripted"), Msg::OK);
        (void)InputBox("Nobody answers this", "BackEnd", "C:\\BACK\\BACK.MDB");
        QFAIL("the unscripted box returned");
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TST_DIALOGS_STRICT_CHILD", "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"strictModeStopsAtAnUnscriptedBox"});
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    QVERIFY2((child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0) &&
                 output.contains("Unscripted input box") && output.contains("Nobody answers this") &&
                 !output.contains("the unscripted box returned"),
             qPrintable(output));
}

void TestDialogs::filterStringsBecomeNameFilters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected"); // empty for a malformed filter, with "bad" set
    QTest::addColumn<bool>("bad");

    QTest::newRow("database") << databaseFilter << QStringList{"Microsoft Access (*.mdb) (*.mdb)"} << false;
    QTest::newRow("several pairs and patterns")
        << "Databases|*.mdb;*.db|All files|*" << QStringList{"Databases (*.mdb *.db)", "All files (*)"} << false;
    QTest::newRow("empty shows all") << "" << QStringList{} << false;
    QTest::newRow("description alone") << "Microsoft Access (*.mdb)" << QStringList{} << true;
    QTest::newRow("pair and a half") << "A|*.a|B" << QStringList{} << true;
    QTest::newRow("empty pattern") << "A|" << QStringList{} << true;
}

void TestDialogs::filterStringsBecomeNameFilters()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);
    QFETCH(bool, bad);
    if (!bad) {
        QCOMPARE(CommonDialog::nameFilters(filter), expected);
        return;
    }
    // ShowOpen refuses a malformed filter before anything is shown, and keeps FileName.
    CommonDialog dialog;
    setUp(dialog, filter, "/keep/me.mdb");
    DialogHook::answerFileOpen(QString("/other.mdb"));
    QCOMPARE(errorMismatch([&] { dialog.ShowOpen(); }, ErrorNumber::InvalidArgument, {filter}), QString());
    QCOMPARE(dialog.FileName(), QString("/keep/me.mdb"));
    QVERIFY(DialogHook::shown().isEmpty());
}

void TestDialogs::realMessageBox_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("press"); // a button's text, or Enter, Esc, Close, Reject
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");

    const int ok = QMessageBox::Ok, retryCancel = QMessageBox::Retry | QMessageBox::Cancel;
    QTest::newRow("error, OK clicked") << 16 << "OK" << Msg::OK << int(QMessageBox::Critical) << ok;
    QTest::newRow("success, Enter") << 64 << "Enter" << Msg::OK << int(QMessageBox::Information) << ok;
    QTest::newRow("no icon, Esc is OK") << 0 << "Esc" << Msg::OK << int(QMessageBox::NoIcon) << ok;
    QTest::newRow("invalid password, close box is OK") << 48 << "Close" << Msg::OK << int(QMessageBox::Warning) << ok;
    QTest::newRow("not found, Retry") << 53 << "Retry" << Msg::Retry << int(QMessageBox::Warning) << retryCancel;
    const int warning = QMessageBox::Warning;
    QTest::newRow("not found, Enter is Retry") << 53 << "Enter" << Msg::Retry << warning << retryCancel;
    QTest::newRow("not found, Cancel") << 53 << "Cancel" << Msg::Cancel << warning << retryCancel;
    QTest::newRow("not found, Esc is Cancel") << 53 << "Esc" << Msg::Cancel << warning << retryCancel;
    QTest::newRow("not found, close box is Cancel") << 53 << "Close" << Msg::Cancel << warning << retryCancel;
    // Ended without a button (as when its owner goes away).
    QTest::newRow("not found, rejected is Cancel") << 53 << "Reject" << Msg::Cancel << warning << retryCancel;
}

void TestDialogs::realMessageBox()
{
    QFETCH(int, style);
    QFETCH(QString, press);
    QFETCH(int, expected);
    QFETCH(int, icon);
    QFETCH(int, buttons);

    // The box belongs to the active window.
    QWidget owner;
    owner.show();
    owner.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&owner));

    // Markup-like text is shown as typed, not interpreted.
    const QString text = "2: Cannot open \"/data/<b>a & b</b>.mdb\"";
    bool seen = false;
    whenShown<QMessageBox>([&](QMessageBox *box) {
        seen = true;
        QCOMPARE(box->windowTitle(), QString("Tarvos Utility"));
        QCOMPARE(box->text(), text);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->windowModality(), Qt::ApplicationModal);
        QCOMPARE(int(box->icon()), icon);
        QCOMPARE(int(box->standardButtons()), buttons);
        QCOMPARE(box->parentWidget(), &owner);
        if (press == "Enter" || press == "Esc") {
            QTest::keyClick(box, press == "Enter" ? Qt::Key_Return : Qt::Key_Escape);
        } else if (press == "Close") {
            box->close();
        } else if (press == "Reject") {
            box->reject();
        } else {
            for (QAbstractButton *button : box->buttons()) {
                if (button->text().remove('&').compare(press, Qt::CaseInsensitive) == 0)
                    QTest::mouseClick(button, Qt::LeftButton);
            }
        }
    });
    QCOMPARE(MsgBox(text, style), expected);
    QVERIFY(seen);
}

void TestDialogs::realInputBox_data()
{
    QTest::addColumn<QString>("typed"); // typed over the default then OK; "<Esc>" and "<Cancel>" cancel
    QTest::addColumn<std::optional<QString>>("expected");

    QTest::newRow("path typed over the default") << "/srv/BACK.MDB" << std::optional<QString>("/srv/BACK.MDB");
    QTest::newRow("emptied and confirmed") << "" << std::optional<QString>("");
    QTest::newRow("Cancel button") << "<Cancel>" << std::optional<QString>();
    QTest::newRow("Esc") << "<Esc>" << std::optional<QString>();
}

void TestDialogs::realInputBox()
{
    QFETCH(QString, typed);
    QFETCH(std::optional<QString>, expected);

    const QString defaultPath = "C:\\BACK\\BACK.MDB";
    bool seen = false;
    whenShown<QInputDialog>([&](QInputDialog *box) {
        seen = true;
        QCOMPARE(box->windowTitle(), QString("BackEnd"));
        QCOMPARE(box->labelText(), QString("Please specify the path of BACK.MDB"));
        QCOMPARE(box->findChild<QLabel *>()->textFormat(), Qt::PlainText);
        auto *field = box->findChild<QLineEdit *>();
        auto *buttons = box->findChild<QDialogButtonBox *>();
        QCOMPARE(field->selectedText(), defaultPath); // typing replaces it, Backspace empties the field
        if (typed == "<Esc>") {
            QTest::keyClick(field, Qt::Key_Escape);
        } else if (typed == "<Cancel>") {
            QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        } else {
            if (typed.isEmpty())
                QTest::keyClick(field, Qt::Key_Backspace);
            QTest::keyClicks(field, typed);
            QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
        }
    });
    QCOMPARE(InputBox("Please specify the path of BACK.MDB", "BackEnd", defaultPath), expected);
    QVERIFY(seen);
}

void TestDialogs::realFileDialog_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("typed"); // each typed, then Open (or "<Cancel>"); "<Esc>" cancels
    QTest::addColumn<QString>("expected");  // empty: cancelled
    QTest::newRow("name with an extension is kept") << backupFilter << QStringList{"nightly.tvb"} << "nightly.tvb";
    QTest::newRow("existing file") << databaseFilter << QStringList{"BACK.MDB"} << "BACK.MDB";
    QTest::newRow("path into a subfolder") << databaseFilter << QStringList{"sub/new"} << "sub/new.mdb";
    QTest::newRow("folder opens, then a name") << databaseFilter << QStringList{"sub", "new"} << "sub/new.mdb";
    QTest::newRow("Cancel after typing") << databaseFilter << QStringList{"other", "<Cancel>"} << "";
    QTest::newRow("Esc") << databaseFilter << QStringList{"<Esc>"} << "";
}

// Names typed into the real dialog come back as paths, a name without extension getting the
// default one; a cancel throws and leaves FileName as it was.
void TestDialogs::realFileDialog()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, typed);
    QFETCH(QString, expected);
    TempFolder tmp;
    writeFile(tmp.path("BACK.MDB"), "db");
    QVERIFY(QDir(tmp.path()).mkdir("sub"));
    writeFile(tmp.path("sub/inner.mdb"), "db");
    CommonDialog dialog;
    setUp(dialog, filter, tmp.path("BACK.MDB"));

    whenShown<QFileDialog>([&](QFileDialog *box) {
        for (int i = 0; i < typed.size(); ++i) {
            if (typed[i] == "<Esc>") {
                QTest::keyClick(box, Qt::Key_Escape);
            } else if (typed[i] == "<Cancel>") {
                press(box, QDialogButtonBox::Cancel);
            } else {
                typeFileName(box, typed[i]);
                if (typed.value(i + 1) != "<Cancel>")
                    press(box, QDialogButtonBox::Open);
            }
        }
    });
    if (expected.isEmpty()) {
        QCOMPARE(errorMismatch([&] { dialog.ShowOpen(); }, ErrorNumber::DialogCancelled), QString());
        QCOMPARE(dialog.FileName(), tmp.path("BACK.MDB"));
    } else {
        QCOMPARE(errorMessage([&] { dialog.ShowOpen(); }), QString());
        QCOMPARE(dialog.FileName(), tmp.path(expected));
    }
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
