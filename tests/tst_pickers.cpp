#include "app/modTarBackup.h"
#include "app/settings.h"
#include "formsupport.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
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

namespace DialogHook {
char *toString(const Shown &box)
{
    return qstrdup(qPrintable(describe(box)));
}
} // namespace DialogHook

namespace {

const QString DatabaseFilter = QStringLiteral("Microsoft Access (*.mdb)|*.mdb");
const QString BackupFilter = QStringLiteral("Tarvos Backup (*.tvb)|*.tvb");

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

// A picker of the main window by its button's name ("cmdBackTo"), with its field and tab.
struct Picker {
    QPushButton *button;
    QLineEdit *field;
    int tab;
};

Picker picker(frmTvUtil &form, const QString &button)
{
    static const QStringList onTab[] = {{"cmdBackFrom", "cmdBackTo"}, {"cmdRestFrom", "cmdRestTo"}, {"cmdCompact"}};
    Picker p{form.findChild<QPushButton *>(button), form.findChild<QLineEdit *>("txt" + button.mid(3)), -1};
    for (int tab = 0; tab < 3; ++tab)
        if (onTab[tab].contains(button))
            p.tab = tab;
    if (!p.button || !p.field || p.tab < 0)
        qFatal("no picker %s", qPrintable(button));
    return p;
}

// Selects the picker's tab and presses its button with the mouse.
void press(frmTvUtil &form, const Picker &p)
{
    form.SSTab1->setTab(p.tab);
    QTest::mouseClick(p.button, Qt::LeftButton);
}

QList<QLineEdit *> fields(const frmTvUtil &form)
{
    return {form.txtBackFrom, form.txtBackTo, form.txtRestFrom, form.txtRestTo, form.txtCompact};
}

QStringList fieldTexts(const frmTvUtil &form)
{
    QStringList texts;
    for (const QLineEdit *field : fields(form))
        texts << field->text();
    return texts;
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
    void pickerFillsItsFieldOnly_data();
    void pickerFillsItsFieldOnly();
    void fileNameCarriesFromPickerToPicker();
    void realDialogFromBrowse_data();
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

void TestPickers::pickerFillsItsFieldOnly_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("filter");
    QTest::newRow("backup source") << "cmdBackFrom" << DatabaseFilter;
    QTest::newRow("backup destination") << "cmdBackTo" << BackupFilter;
    QTest::newRow("restore source") << "cmdRestFrom" << BackupFilter;
    QTest::newRow("restore target") << "cmdRestTo" << DatabaseFilter;
    QTest::newRow("compact") << "cmdCompact" << DatabaseFilter;
}

void TestPickers::pickerFillsItsFieldOnly()
{
    QFETCH(QString, button);
    QFETCH(QString, filter);
    auto form = loadAndLogIn();
    QVERIFY(form);
    const Picker p = picker(*form, button);
    QStringList expected = fieldTexts(*form);
    const qsizetype index = fields(*form).indexOf(p.field);
    QVERIFY(!p.field->text().isEmpty());

    // Chosen: replaces the field's text as it is, whatever its extension.
    const QString chosen = QStringLiteral("/elsewhere/picked name.bak");
    DialogHook::answerFileOpen(chosen);
    press(*form, p);
    expected[index] = chosen;
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
    QCOMPARE(DialogHook::shown(), (QList<Shown>{fileOpen(filter, ""), fileOpen(filter, chosen), fileOpen(filter, chosen)}));
    QVERIFY(form->isVisible());
}

void TestPickers::fileNameCarriesFromPickerToPicker()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    struct Step {
        const char *button;
        std::optional<QString> answer; // nullopt: cancelled
    };
    const Step steps[] = {
        {"cmdBackFrom", "/a/one.mdb"}, {"cmdBackTo", "/b/two.TVB"},   {"cmdRestFrom", std::nullopt},
        {"cmdRestTo", "/c/three.mdb"}, {"cmdCompact", "/d/four.mdb"}, {"cmdBackFrom", std::nullopt},
    };
    QString last; // the file name the dialog should open with: the one chosen last, by any picker
    for (const Step &step : steps) {
        const Picker p = picker(*form, step.button);
        const QString before = p.field->text();
        DialogHook::clear();
        DialogHook::answerFileOpen(step.answer);
        press(*form, p);
        QCOMPARE(DialogHook::shown().size(), 1);
        QCOMPARE(DialogHook::shown().constFirst().initialFileName, last);
        QCOMPARE(p.field->text(), step.answer.value_or(before));
        last = step.answer.value_or(last);
    }
    QCOMPARE(fieldTexts(*form).mid(3), (QStringList{"/c/three.mdb", "/d/four.mdb"}));
}

void TestPickers::realDialogFromBrowse_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("filterShown");
    QTest::addColumn<QString>("listed"); // a file in another case than the filter's pattern
    QTest::addColumn<QString>("unlisted");
    QTest::newRow("database picker") << "cmdBackFrom" << "Microsoft Access (*.mdb)" << "BACK.MDB" << "OLD.TVB";
    QTest::newRow("backup picker") << "cmdBackTo" << "Tarvos Backup (*.tvb)" << "OLD.TVB" << "BACK.MDB";
}

void TestPickers::realDialogFromBrowse()
{
    QFETCH(QString, button);
    QFETCH(QString, filterShown);
    QFETCH(QString, listed);
    QFETCH(QString, unlisted);
    const QString folder = tmp->path("files");
    QDir().mkpath(folder);
    for (const char *name : {"BACK.MDB", "OLD.TVB", "notes.txt"})
        TestSupport::writeFile(folder + "/" + name, "data");
    auto form = loadAndLogIn();
    QVERIFY(form);

    // One scripted use leaves the shared dialog on the folder (on a name that is no file, which the
    // dialog would list whatever the filter); the next picker opens the real one.
    DialogHook::answerFileOpen(folder + "/picked.bak");
    press(*form, picker(*form, "cmdCompact"));
    DialogHook::setStrict(false);
    QString title, filter, nameAtStart;
    QStringList names;
    whenFileDialogShown([&](QFileDialog *box) {
        title = box->windowTitle();
        filter = box->findChild<QComboBox *>("fileTypeCombo")->currentText();
        QVERIFY(QTest::qWaitForWindowActive(box));
        auto *edit = box->findChild<QLineEdit *>("fileNameEdit");
        QTRY_VERIFY(listedNames(box).contains(listed));
        names = listedNames(box);
        nameAtStart = edit->text();
        edit->setFocus();
        edit->clear();
        QTest::keyClicks(edit, "nightly");
        QTest::mouseClick(box->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Open),
                          Qt::LeftButton);
    });
    const Picker p = picker(*form, button);
    press(*form, p);
    QCOMPARE(title, QString("Select"));
    QCOMPARE(filter, filterShown);
    QCOMPARE(nameAtStart, QString("picked.bak"));
    QVERIFY2(!names.contains("notes.txt") && !names.contains(unlisted), qPrintable(names.join(", ")));
    // A name typed without an extension gets "mdb", whatever the filter.
    QCOMPARE(p.field->text(), folder + "/nightly.mdb");
    QCOMPARE(form->cmDialog->FileName(), folder + "/nightly.mdb");
}

QTEST_MAIN(TestPickers)
#include "tst_pickers.moc"
