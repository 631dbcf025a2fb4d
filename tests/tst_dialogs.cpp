#include "errorcheck.h"
#include "platform/dialogs/dialogs.h"
#include "testsupport.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using namespace TestSupport;
using DialogHook::Kind;
using DialogHook::Shown;

namespace {

// Runs act on the modal dialog of type D that the code under test shows next, from inside its
// event loop. A dialog that act leaves open (a failed check) is rejected, so the test fails
// instead of hanging.
template <class D> void whenShown(std::function<void(D *)> act)
{
    QTimer::singleShot(0, [act] {
        QPointer<D> dialog;
        const auto closeLeftOver = qScopeGuard([&] {
            if (auto *left = qobject_cast<QDialog *>(QApplication::activeModalWidget()); left && left->isVisible())
                left->reject();
        });
        QTRY_VERIFY((dialog = qobject_cast<D *>(QApplication::activeModalWidget())));
        act(dialog);
    });
}

Shown box(Kind kind, const QString &text, const QString &title, int style = 0, const QString &initial = QString())
{
    Shown box;
    box.kind = kind;
    box.text = text;
    box.title = title;
    box.style = style;
    box.defaultText = kind == Kind::Input ? initial : QString();
    box.initialFileName = kind == Kind::FileOpen ? initial : QString();
    box.filter = kind == Kind::FileOpen ? "Tarvos Backup (*.tvb)|*.tvb" : QString();
    box.defaultExt = kind == Kind::FileOpen ? "mdb" : QString();
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
    void scriptedAnswersAreUsedInOrderAndRecorded();
    void filters_data();
    void filters();
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
    int observed = 0; // scripted answers never build a widget
    DialogHook::setObserver([&](const Shown &) { observed += QApplication::topLevelWidgets().isEmpty(); });

    QCOMPARE(MsgBox("x not found.", Msg::RetryCancel + Msg::Exclamation), Msg::Retry);
    // Each kind has its own queue: the message answer queued between two input answers waits.
    QCOMPARE(InputBox("Path?", "BackEnd", "C:\\BACK.MDB"), std::optional<QString>("D:\\data\\BACK.MDB"));
    QCOMPARE(InputBox("Path?", "", ""), std::optional<QString>("")); // confirmed empty, not cancelled
    QCOMPARE(InputBox("Path?", "BackEnd", ""), std::optional<QString>());
    QCOMPARE(MsgBox("Backup successful.", Msg::Information), Msg::Cancel);
    CommonDialog dialog;
    setUp(dialog, "Tarvos Backup (*.tvb)|*.tvb", "/old/BACK.MDB");
    dialog.ShowOpen();
    QCOMPARE(dialog.FileName(), QString("/backups/a.tvb"));
    QVERIFY_THROWS_EXCEPTION(Error, dialog.ShowOpen());
    QCOMPARE(dialog.FileName(), QString("/backups/a.tvb")); // a cancel leaves the name alone
    QCOMPARE(DialogHook::pendingAnswers(), 0);
    QCOMPARE(observed, 7);
    QCOMPARE(DialogHook::shown(), (QList<Shown>{box(Kind::Message, "x not found.", "Tarvos Utility", 53),
                                               box(Kind::Input, "Path?", "BackEnd", 0, "C:\\BACK.MDB"),
                                               box(Kind::Input, "Path?", "Tarvos Utility"), // untitled
                                               box(Kind::Input, "Path?", "BackEnd"),
                                               box(Kind::Message, "Backup successful.", "Tarvos Utility", 64),
                                               box(Kind::FileOpen, "", "Select", 0, "/old/BACK.MDB"),
                                               box(Kind::FileOpen, "", "Select", 0, "/backups/a.tvb")}));
}

void TestDialogs::filters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected"); // {"bad"}: refused before anything is shown
    QTest::newRow("database") << "Microsoft Access (*.mdb)|*.mdb" << QStringList{"Microsoft Access (*.mdb) (*.mdb)"};
    QTest::newRow("several pairs and patterns")
        << "Databases|*.mdb;*.db|All files|*" << QStringList{"Databases (*.mdb *.db)", "All files (*)"};
    QTest::newRow("empty shows all") << "" << QStringList{};
    QTest::newRow("description alone") << "Microsoft Access (*.mdb)" << QStringList{"bad"};
    QTest::newRow("pair and a half") << "A|*.a|B" << QStringList{"bad"};
    QTest::newRow("empty pattern") << "A|" << QStringList{"bad"};
}

void TestDialogs::filters()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);
    if (expected != QStringList{"bad"}) {
        QCOMPARE(CommonDialog::nameFilters(filter), expected);
        return;
    }
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
    const int rc = Msg::RetryCancel + Msg::Exclamation, warning = QMessageBox::Warning;
    QTest::newRow("error, OK clicked") << 16 << "OK" << Msg::OK << int(QMessageBox::Critical);
    QTest::newRow("success, Enter") << 64 << "Enter" << Msg::OK << int(QMessageBox::Information);
    QTest::newRow("no icon, Esc is OK") << 0 << "Esc" << Msg::OK << int(QMessageBox::NoIcon);
    QTest::newRow("close box is OK") << 48 << "Close" << Msg::OK << warning;
    QTest::newRow("not found, Retry") << rc << "Retry" << Msg::Retry << warning;
    QTest::newRow("not found, Enter is Retry") << rc << "Enter" << Msg::Retry << warning;
    QTest::newRow("not found, Cancel") << rc << "Cancel" << Msg::Cancel << warning;
    QTest::newRow("not found, Esc is Cancel") << rc << "Esc" << Msg::Cancel << warning;
    QTest::newRow("not found, close box is Cancel") << rc << "Close" << Msg::Cancel << warning;
    // Ended without a button, as when its owner goes away.
    QTest::newRow("not found, rejected is Cancel") << rc << "Reject" << Msg::Cancel << warning;
}

void TestDialogs::realMessageBox()
{
    QFETCH(int, style);
    QFETCH(QString, press);
    QFETCH(int, expected);
    QFETCH(int, icon);
    QWidget owner; // the box belongs to the active window
    owner.show();
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    const QString text = "2: Cannot open \"/data/<b>a & b</b>.mdb\""; // shown as typed, not as markup
    bool seen = false;
    whenShown<QMessageBox>([&](QMessageBox *box) {
        seen = true;
        QCOMPARE(box->windowTitle(), QString("Tarvos Utility"));
        QCOMPARE(box->text(), text);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(int(box->icon()), icon);
        QCOMPARE(box->parentWidget(), &owner);
        QCOMPARE(box->windowModality(), Qt::ApplicationModal);
        QCOMPARE(box->buttons().size(), (style & 7) == Msg::RetryCancel ? 2 : 1);
        if (press == "Enter" || press == "Esc")
            QTest::keyClick(box, press == "Enter" ? Qt::Key_Return : Qt::Key_Escape);
        else if (press == "Close")
            box->close();
        else if (press == "Reject")
            box->reject();
        for (QAbstractButton *button : box->buttons())
            if (button->text().remove('&') == press)
                QTest::mouseClick(button, Qt::LeftButton);
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
    whenShown<QInputDialog>([&](QInputDialog *box) {
        QCOMPARE(box->windowTitle(), QString("BackEnd"));
        QCOMPARE(box->labelText(), QString("Please specify the path of BACK.MDB"));
        auto *field = box->findChild<QLineEdit *>();
        auto *buttons = box->findChild<QDialogButtonBox *>();
        QCOMPARE(field->selectedText(), defaultPath); // typing replaces it, Backspace empties the field
        if (typed == "<Esc>") {
            QTest::keyClick(field, Qt::Key_Escape);
        } else if (typed == "<Cancel>") {
            QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        } else {
            QTest::keyClick(field, Qt::Key_Backspace);
            QTest::keyClicks(field, typed);
            QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
        }
    });
    QCOMPARE(InputBox("Please specify the path of BACK.MDB", "BackEnd", defaultPath), expected);
}

void TestDialogs::realFileDialog_data()
{
    QTest::addColumn<QStringList>("typed"); // each typed then Open, unless "<Cancel>" follows; "<Esc>" cancels
    QTest::addColumn<QString>("expected");  // empty: cancelled
    QTest::newRow("a name with an extension is kept") << QStringList{"nightly.tvb"} << "nightly.tvb";
    QTest::newRow("existing file") << QStringList{"BACK.MDB"} << "BACK.MDB";
    QTest::newRow("path into a subfolder") << QStringList{"sub/new"} << "sub/new.mdb";
    QTest::newRow("a folder opens, then a name") << QStringList{"sub", "new"} << "sub/new.mdb";
    QTest::newRow("Cancel after typing") << QStringList{"other", "<Cancel>"} << "";
    QTest::newRow("Esc") << QStringList{"<Esc>"} << "";
}

// Names typed into the real dialog come back as paths, a name without extension getting the
// default one; a cancel throws and leaves FileName as it was.
void TestDialogs::realFileDialog()
{
    QFETCH(QStringList, typed);
    QFETCH(QString, expected);
    TempFolder tmp;
    writeFile(tmp.path("BACK.MDB"), "db");
    QVERIFY(QDir(tmp.path()).mkdir("sub"));
    writeFile(tmp.path("sub/inner.mdb"), "db");
    CommonDialog dialog;
    setUp(dialog, "Microsoft Access (*.mdb)|*.mdb", tmp.path("BACK.MDB"));
    whenShown<QFileDialog>([&](QFileDialog *box) {
        auto *buttons = box->findChild<QDialogButtonBox *>("buttonBox");
        for (int i = 0; i < typed.size(); ++i) {
            if (typed[i] == "<Esc>") {
                QTest::keyClick(box, Qt::Key_Escape);
            } else if (typed[i] == "<Cancel>") {
                QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
            } else {
                // Once the folder is listed: the dialog puts its preselected file into the field then.
                QVERIFY(QTest::qWaitForWindowActive(box));
                auto *view = box->findChild<QListView *>("listView");
                QTRY_VERIFY(view->model()->rowCount(view->rootIndex()) > 0);
                auto *edit = box->findChild<QLineEdit *>("fileNameEdit");
                edit->setFocus();
                edit->clear();
                QTest::keyClicks(edit, typed[i]);
                if (typed.value(i + 1) != "<Cancel>")
                    QTest::mouseClick(buttons->button(QDialogButtonBox::Open), Qt::LeftButton);
            }
        }
    });
    if (expected.isEmpty())
        QCOMPARE(errorMismatch([&] { dialog.ShowOpen(); }, ErrorNumber::DialogCancelled), QString());
    else
        QCOMPARE(errorMessage([&] { dialog.ShowOpen(); }), QString());
    QCOMPARE(dialog.FileName(), tmp.path(expected.isEmpty() ? "BACK.MDB" : expected));
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
