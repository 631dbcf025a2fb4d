#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/tabctl/sstab.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>

using namespace FormSupport;
using DialogHook::Shown;

namespace {

const QString DatabaseFilter = QStringLiteral("Microsoft Access (*.mdb)|*.mdb");
const QString BackupFilter = QStringLiteral("Tarvos Backup (*.tvb)|*.tvb");

// The five pickers, in the order of FormSupport::fieldTexts, with their tab and filter.
struct Picker {
    const char *button;
    int tab;
    QString filter;
};
const Picker Pickers[] = {{"cmdBackFrom", 0, DatabaseFilter},
                          {"cmdBackTo", 0, BackupFilter},
                          {"cmdRestFrom", 1, BackupFilter},
                          {"cmdRestTo", 1, DatabaseFilter},
                          {"cmdCompact", 2, DatabaseFilter}};

// Selects the picker's tab and presses its button with the mouse.
void press(frmTvUtil &form, const Picker &p)
{
    form.SSTab1->setTab(p.tab);
    QTest::mouseClick(form.findChild<QPushButton *>(p.button), Qt::LeftButton);
}

// The file dialog as the main window's pickers must open it.
Shown fileOpen(const QString &filter, const QString &initialFileName)
{
    Shown box;
    box.kind = DialogHook::Kind::FileOpen;
    box.title = QStringLiteral("Select");
    box.filter = filter;
    box.defaultExt = QStringLiteral("mdb");
    box.initialFileName = initialFileName;
    return box;
}

// Runs act on the real file dialog from inside its modal loop; a dialog that act leaves open
// (a failed check) is rejected, so that the test fails instead of hanging.
void whenFileDialogShown(std::function<void(QFileDialog *)> act)
{
    QTimer::singleShot(0, [act] {
        QPointer<QFileDialog> dialog;
        const auto closeLeftOver = qScopeGuard([&] {
            if (auto *open = qobject_cast<QDialog *>(QApplication::activeModalWidget()); open && open->isVisible())
                open->reject();
        });
        QTRY_VERIFY((dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())));
        act(dialog);
    });
}

QStringList listedNames(QFileDialog *dialog)
{
    auto *view = dialog->findChild<QListView *>("listView");
    QStringList names;
    for (int row = 0; view && row < view->model()->rowCount(view->rootIndex()); ++row)
        names << view->model()->index(row, 0, view->rootIndex()).data().toString();
    return names;
}

} // namespace

class TestPickers : public QObject {
    Q_OBJECT

private slots:
    void init();
    void pickersFillTheirFieldsOnly();
    void realDialogFromBrowse();

private:
    std::unique_ptr<TestSupport::TempFolder> tmp;
};

void TestPickers::init()
{
    tmp = std::make_unique<TestSupport::TempFolder>();
    resetProgramState(tmp->path("settings"));
    const QString db = tmp->path("BACK/BACK.MDB");
    QDir().mkpath(tmp->path("BACK"));
    makeBackEnd(db, {"ADMIN:Secret"});
    Settings::SaveSetting(Settings::Key::BackEnd, db);
}

void TestPickers::pickersFillTheirFieldsOnly()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    QStringList expected = fieldTexts(*form);
    QString last; // the file name the dialog opens with: the one chosen last, by any picker
    for (int i = 0; i < 5; ++i) {
        const Picker &p = Pickers[i];
        QVERIFY(!expected[i].isEmpty());
        // Chosen: replaces the field's text as it is, whatever its extension.
        const QString chosen = QStringLiteral("/elsewhere/%1 picked.bak").arg(p.button);
        DialogHook::clear();
        DialogHook::answerFileOpen(chosen);
        press(*form, p);
        expected[i] = chosen;
        QCOMPARE(fieldTexts(*form), expected);

        // Cancelled, then failing after a file was chosen: the field keeps its text, nothing is shown.
        DialogHook::answerFileOpen(std::nullopt);
        press(*form, p);
        DialogHook::answerFileOpen(QStringLiteral("/must/not/land.mdb"));
        DialogHook::setObserver([](const Shown &) { throw Error(ErrorNumber::InvalidArgument, "The dialog failed"); });
        press(*form, p);
        DialogHook::setObserver(nullptr);
        QCOMPARE(fieldTexts(*form), expected);
        QCOMPARE(DialogHook::pendingAnswers(), 0);
        QCOMPARE(DialogHook::shown(),
                 (QList<Shown>{fileOpen(p.filter, last), fileOpen(p.filter, chosen), fileOpen(p.filter, chosen)}));
        last = chosen;
    }
    QVERIFY(form->isVisible());
}

void TestPickers::realDialogFromBrowse()
{
    const QString folder = tmp->path("files");
    QDir().mkpath(folder);
    for (const char *name : {"BACK.MDB", "OLD.TVB", "notes.txt"})
        TestSupport::writeFile(folder + "/" + name, "data");
    auto form = loadAndLogIn();
    QVERIFY(form);

    // One scripted use leaves the shared dialog on the folder (on a name that is no file, which the
    // dialog would list whatever the filter); the next picker opens the real one.
    DialogHook::answerFileOpen(folder + "/picked.bak");
    press(*form, Pickers[4]);
    DialogHook::setStrict(false);
    QString title, filter, nameAtStart;
    QStringList names;
    whenFileDialogShown([&](QFileDialog *box) {
        title = box->windowTitle();
        filter = box->findChild<QComboBox *>("fileTypeCombo")->currentText();
        QVERIFY(QTest::qWaitForWindowActive(box));
        auto *edit = box->findChild<QLineEdit *>("fileNameEdit");
        QTRY_VERIFY(listedNames(box).contains("BACK.MDB")); // whatever the case of its extension
        names = listedNames(box);
        nameAtStart = edit->text();
        edit->setFocus();
        edit->clear();
        QTest::keyClicks(edit, "nightly");
        QTest::mouseClick(box->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Open),
                          Qt::LeftButton);
    });
    press(*form, Pickers[0]);
    QCOMPARE(title, QString("Select"));
    QCOMPARE(filter, QString("Microsoft Access (*.mdb)"));
    QCOMPARE(nameAtStart, QString("picked.bak"));
    QVERIFY2(!names.contains("notes.txt") && !names.contains("OLD.TVB"), qPrintable(names.join(", ")));
    // A name typed without an extension gets "mdb".
    QCOMPARE(form->txtBackFrom->text(), folder + "/nightly.mdb");
    QCOMPARE(form->cmDialog->FileName(), folder + "/nightly.mdb");
}

QTEST_MAIN(TestPickers)
#include "tst_pickers.moc"
