#include "app/modTarBackup.h"
#include "app/settings.h"
#include "backendmaker.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "operations/paths.h"
#include "opsupport.h"
#include "platform/animation/animationctrl.h"
#include "platform/clock.h"
#include "platform/dialogs/dialogs.h"
#include "platform/fs/files.h"
#include "platform/progressview.h"
#include "platform/screen.h"
#include "platform/stop.h"
#include "platform/tabctl/sstab.h"
#include "platform/zlibtool/compressionengine.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "testsupport.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileDialog>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace TestSupport;
namespace Key = Settings::Key;

// Backup, restore and compaction through the real window with real files. Each row is a situation (its
// tag) and the one box the user must see, a pattern in which "@" stands for the file it must name; then
// exactly the expected files have changed; after a failure none has, the safety copy included.
namespace {

void row(const char *situation, const QString &says)
{
    QTest::newRow(situation) << says;
}

// Read when the tables are made: the system's texts are in the operator's language.
QString failed(int errnum)
{
    return QStringLiteral("16 %1: .*\"@\".*").arg(errnum) + QRegularExpression::escape(systemText(errnum));
}
// Root meets a read-only mount, anyone else a folder without write permission.
const int ReadOnlyError = runningAsRoot() ? EROFS : EACCES;

// "[p11 S- A3 Z+]": the mouse pointer, Start on or off, the clips playing, the compression control shown.
QString state(frmTvUtil *form)
{
    QString playing;
    for (AnimationCtrl *player : {form->Animation1, form->Animation2, form->Animation3})
        if (player->isPlaying())
            playing += player->objectName().back();
    return QStringLiteral("[p%1 S%2 A%3 Z%4]")
        .arg(QString::number(Screen::mousePointer()), form->cmdStart->isEnabled() ? "+" : "-", playing,
             form->ZlibTool1->isVisible() ? "+" : "-");
}

void pressStart(frmTvUtil *form, int tab)
{
    QTabBar *bar = form->SSTab1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
    QTest::mouseClick(form->cmdStart, Qt::LeftButton);
}

// Presses Start, answers the boxes with OK and returns them with the window's state as each showed.
QStringList recordStart(frmTvUtil *form, int tab)
{
    QStringList boxes;
    DialogHook::setObserver([&](const DialogHook::Shown &box) {
        boxes << QStringLiteral("%1 %2 %3").arg(box.style).arg(box.text, state(form));
    });
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form, tab);
    DialogHook::setObserver({});
    return boxes;
}

const char *const FieldKeys[] = {Key::BackFrom, Key::BackTo, Key::RestFrom, Key::RestTo, Key::Compact};
// The Browse... buttons in the order of fieldTexts: two on each of the first two tabs, one on the third.
const char *const Pickers[] = {"cmdBackFrom", "cmdBackTo", "cmdRestFrom", "cmdRestTo", "cmdCompact"};
void browse(frmTvUtil &form, int picker)
{
    form.SSTab1->setTab(picker / 2);
    QTest::mouseClick(form.findChild<QPushButton *>(Pickers[picker]), Qt::LeftButton);
}
// Puts the clips beside the program, which plays them from there, and removes the safety
// copies an earlier run left.
void prepareAppFolder()
{
    for (const QString &clip : {Clips::FileCopy, Clips::FileDelete})
        QFile::copy(appDir() + '/' + clip, Files::appPath() + '/' + clip); // (one that is there already stays)
    QDir app(Files::appPath());
    for (const QString &name : app.entryList({"BACK??.BAK"}, QDir::Files))
        app.remove(name);
}
} // namespace

class TestStart : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { prepareAppFolder(); }

    void init()
    {
        tmp = std::make_unique<TempFolder>();
        FormSupport::resetProgramState(tmp->path("settings"));
        db = tmp->path("BACK/BACK.MDB");
        for (const char *folder : {"BACK", "backups", "Data"})
            QDir().mkpath(tmp->path(folder));
        BackendMaker::make(db, {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 2 << 20, .freePercent = 30});
        original = readFile(db);
        target = db;
        written = removed = why = QString();
        expect.clear();
        qputenv("HOME", QFile::encodeName(tmp->path())); // where the back end is when none is stored
        if (QByteArray(QTest::currentTestFunction()).startsWith("window"))
            return; // these log in themselves
        Settings::SaveSetting(Key::BackEnd, db);
        form = FormSupport::loadAndLogIn();
        QVERIFY(form);
    }

    void cleanup()
    {
        if (form)
            QCOMPARE(state(form.get()), "[p0 S+ A Z-]");
        form.reset();
        readOnly.reset();
        fs.reset();
        prepareAppFolder(); // and no safety copy left
        DialogHook::reset();
    }

    void backup_data()
    {
        QTest::addColumn<QString>("says");
        // Under a success message the hourglass stays and Start is off, so that nothing can start meanwhile.
        row("typed name", "64 Backup successful\\. \\[p11 S- A3 Z\\+\\]");
        row("source missing", "16 @ not found\\.");
        // Its backup could never be restored: refused before anything is written.
        row("not a database", "16 321: Cannot back up \"@\" to .*it is not a database");
        row("full disk", failed(ENOSPC)); // as the last of a big input is compressed: it must stop, not wait
        row("read-only folder", failed(ReadOnlyError));
        row("folder removed", failed(ENOENT));
    }

    void backup()
    {
        const QString situation = QTest::currentDataTag(), out = place(tmp->path("out"), 88 << 20);
        QString from = db;
        written = out + "/monday.TVB";
        writeFile(written, "an older backup"); // a failure must not take it
        form->txtBackTo->setText(out + "/monday");
        if (situation == "typed name") {
            // Only a dot in the file name counts: the folder's is left alone and ".TVB" is added.
            QDir().mkpath(tmp->path("Back.up"));
            form->txtBackTo->setText(tmp->path("Back.up/data"));
            expect["Back.up/data.TVB"] = original;
        } else if (situation == "source missing" || situation == "not a database") {
            from = written = tmp->path("backups/letter.txt");
            if (situation == "not a database")
                writeFile(from, "SQLite format 3, says the manual of the back end.\n");
        } else if (situation == "folder removed" || situation == "full disk") {
            from = bigInput(situation == "folder removed" ? out : QString());
        }
        form->txtBackFrom->setText(from);
        run(0);
    }

    void restore_data()
    {
        QTest::addColumn<QString>("says");
        const QString success = "64 Restore successful\\. \\[p11 S- A1 Z\\+\\]";
        row("over the database", success);
        // The safety copy holds the database as before a year's last restore; a new year gets its own.
        row("from the safety copy", success);
        row("again a new year", success);
        // Another program's connection, open all along, commits afterwards into the restored file.
        row("database open elsewhere", success);
        // The program folder is never written: the safety copy lies beside the database.
        row("read-only app folder", success);
        row("backup cut short", "16 321: \"@\" is truncated");
        row("database locked", QStringLiteral("16 %1: \"@\" is in use by another program").arg(EBUSY));
        row("private database in use", QStringLiteral("16 %1: \"@\" is in use by another program").arg(EBUSY));
        row("full disk", failed(ENOSPC));
        row("read-only folder", failed(ReadOnlyError));
        row("folder removed", failed(ENOENT));
    }

    void restore()
    {
        const QString situation = QTest::currentDataTag(), other = tmp->path("other.MDB");
        BackendMaker::make(other, {.users = {{"ADMIN", "Secret"}, {"OTHER", "x"}}, .sizeBytes = 4 << 20});
        QString from = backupOf(other, "other.TVB"), to = db;
        const QString folder = situation.contains("app folder") ? Files::appPath() : tmp->path("target");
        if (situation.contains(QRegularExpression("^(full disk|read-only folder|folder removed)")))
            QVERIFY(QFile::copy(db, to = place(folder, 3 << 20) + "/BACK.MDB"));
        written = target = to;
        Child user;
        QString restoredUsers = "ADMIN|OTHER";
        if (situation == "over the database" || situation == "read-only app folder") {
            expect = {{"BACK/BACK.MDB", {}}, {"BACK/BACK26.BAK", original}};
            place(folder, 0); // read-only for its row, with the clips, which the window needs
            for (const QString &clip : {Clips::FileCopy, Clips::FileDelete})
                if (readOnly)
                    QVERIFY(QFile::copy(appDir() + '/' + clip, folder + '/' + clip));
        } else if (situation.startsWith("again") || situation == "from the safety copy") {
            const bool newYear = situation.endsWith("new year");
            const QString backOfOriginal = backupOf(db, "BACK.TVB");
            form->txtRestFrom->setText(from);
            QCOMPARE(recordStart(form.get(), 1), QStringList{"64 Restore successful. [p11 S- A1 Z+]"});
            // Just after midnight: in a time zone ahead of UTC, UTC is still on the day before.
            const QDate day = newYear ? QDate(2027, 1, 1) : QDate(2026, 12, 31);
            Clock::setSource([day] { return QDateTime(day, QTime(0, 0, 1)); });
            from = newYear ? backOfOriginal : Paths::safetyCopyPath(target, QDate(2026, 12, 31));
            expect = {{"BACK/BACK.MDB", {}}, {newYear ? "BACK/BACK27.BAK" : "BACK/BACK26.BAK", {}}};
            restoredUsers = "ADMIN";
        } else if (situation == "folder removed") {
            from = backupOf(bigInput(folder), "big.TVB");
        } else if (situation == "database open elsewhere") {
            QVERIFY(user.start("idle", db, "INSERT INTO User VALUES ('LATE', 'x')"));
            expect = {{"BACK/BACK.MDB", {}}, {"BACK/BACK26.BAK", original}};
            restoredUsers = "ADMIN|LATE|OTHER";
        } else if (situation == "database locked") {
            QVERIFY(user.start("reading", db));
        } else if (situation == "private database in use") {
            QVERIFY(::chmod(QFile::encodeName(db).constData(), 0600) == 0);
            QVERIFY(user.start("idle", db));
        } else if (situation == "backup cut short") {
            writeFile(written = from, readFile(from).chopped(100));
        }
        form->txtRestFrom->setText(from);
        form->txtRestTo->setText(to);
        // Read now: QFileInfo looks at the file only when first asked.
        const QDateTime born = QFileInfo(to).fileTime(QFileDevice::FileBirthTime);
        const auto permissions = QFileInfo(to).permissions();
        run(1);
        if (QTest::currentTestFailed() || expect.isEmpty())
            return;
        if (situation == "database open elsewhere")
            QCOMPARE(user.finish(), QString("committed"));
        QCOMPARE(rows(to, "SELECT UserName FROM User ORDER BY 1").join('|'), restoredUsers);
        QCOMPARE(scalar(to, "PRAGMA integrity_check"), QString("ok"));
        // Written in place: the same file, the same permissions.
        QCOMPARE(QFileInfo(to).fileTime(QFileDevice::FileBirthTime), born);
        QCOMPARE(QFileInfo(to).permissions(), permissions);
    }

    void compact_data()
    {
        QTest::addColumn<QString>("says");
        // The clip stops before the message; the hourglass and a disabled Start last until it is read.
        row("in place", "64 Database compacted\\. \\[p11 S- A Z-\\]");
        // A database only its owner may reach is replaced by the checked copy; the bar moves the same.
        row("replaced", "64 Database compacted\\. \\[p11 S- A Z-\\]");
        row("full disk", QStringLiteral("16 %1: .*\"@\".*the disk is full").arg(SQLITE_FULL));
        row("full disk of the database", QStringLiteral("16 %1: .*\"@\".*the disk is full").arg(SQLITE_FULL));
        row("read-only folder", QStringLiteral("16 %1: .*\"@\".*").arg(SQLITE_CANTOPEN) +
                                    QRegularExpression::escape(systemText(ReadOnlyError)));
        // The copy may vanish while it is checked or, on a loaded machine, only as it is moved into place.
        row("copy removed",
            QStringLiteral("16 (%1|%2): .*\"@\".*(the file does not exist|").arg(SQLITE_CANTOPEN).arg(ENOENT) +
                QRegularExpression::escape(systemText(ENOENT)) + ')');
    }

    void compact()
    {
        const QString situation = QTest::currentDataTag();
        QString target = db, sales = tmp->path("Data/Sales.mdb");
        written = tmp->path("BACK/BACKNEW.MDB");
        QFileSystemWatcher watcher;
        const bool shared = situation == "in place";
        if (shared || situation == "replaced") { // big enough for the bar to move
            BackendMaker::make(target = sales,
                               {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 48 << 20, .freePercent = 30});
            QVERIFY(::chmod(QFile::encodeName(target), shared ? 0640 : 0600) == 0); // kept
            expect[rel(target)] = QByteArray();
        } else if (situation == "full disk of the database") {
            target = written = place(tmp->path("small"), QFileInfo(db).size() + (256 << 10)) + "/Sales.mdb";
            QVERIFY(QFile::copy(db, target));
        } else if (situation == "full disk" || situation == "read-only folder") {
            modTarBackup::BackEndPath = place(tmp->path("small"), 256 << 10) + "/BACK.MDB"; // the copy goes beside it
            written = tmp->path("small/BACKNEW.MDB");
        } else if (situation == "copy removed") {
            BackendMaker::make(target = sales, {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 24 << 20});
            watcher.addPath(tmp->path("BACK"));
            connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [&] {
                if (QFile::exists(written) && removed.isEmpty())
                    QVERIFY(QFile::remove(removed = written));
            });
        }
        form->txtCompact->setText(target);
        const QStringList counts = tableCounts(target);
        const qint64 size = QFileInfo(target).size();
        // The bar moves from 0 to 100 % over the copy and its check.
        ProgressView *bar = form->prgCompact;
        QSet<int> values;
        connect(bar, &QProgressBar::valueChanged, this, [&](int v) {
            if (bar->isVisible() && !form->cmdStart->isEnabled())
                values.insert(v);
        });
        run(2);
        bar->disconnect(this);
        QCOMPARE(situation == "copy removed", !removed.isEmpty());
        if (QTest::currentTestFailed() || expect.isEmpty())
            return;
        QVERIFY(QFileInfo(target).size() < size);
        QCOMPARE(tableCounts(target), counts);
        QCOMPARE(scalar(target, "PRAGMA integrity_check"), QString("ok"));
        QCOMPARE(QFileInfo(target).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 shared ? QFileDevice::ReadGroup : QFileDevice::Permissions());
        // Through both halves, the copy and its check: the first value past each half's start is short of its end.
        const int top = bar->maximum(), half = (bar->minimum() + top) / 2;
        QVERIFY(values.contains(top));
        QList<int> seen = values.values();
        std::sort(seen.begin(), seen.end());
        const auto next = [&](int v) { return *std::upper_bound(seen.begin(), seen.end(), v); };
        QVERIFY2(next(bar->minimum()) < half && next(half) < top, qPrintable(QDebug::toString(seen)));
        QCOMPARE(bar->text(), "100%"); // no rate or time left once done
    }

    // Every named control of the three windows: its tab page or parent, place, size, and whether it
    // shows; a control moves only on purpose (then the digest printed on failure replaces this one).
    void layout()
    {
        frmLogin login;
        frmAbout about;
        QStringList placed;
        for (QWidget *window : std::initializer_list<QWidget *>{form.get(), &login, &about}) {
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window));
            placed << window->objectName() + QStringLiteral(" %1x%2").arg(window->width()).arg(window->height());
            for (const QWidget *w : window->findChildren<QWidget *>())
                if (!w->objectName().isEmpty() && !w->objectName().startsWith("qt_")) {
                    placed << QString::asprintf("%s in %s at %d,%d %dx%d %gpt%s", qPrintable(w->objectName()),
                                                qPrintable(w->parentWidget()->objectName()), w->x(), w->y(), w->width(),
                                                w->height(), w->font().pointSizeF(), w->isVisible() ? "" : " hidden");
                    if (const auto *label = qobject_cast<const QLabel *>(w); label && !label->pixmap().isNull())
                        placed.last() +=
                            QStringLiteral(" picture %1x%2").arg(label->pixmap().width()).arg(label->pixmap().height());
                    else if (label)
                        placed.last() += QStringLiteral(" aligned %1%2")
                                             .arg(int(label->alignment()), 0, 16)
                                             .arg(label->wordWrap() ? " wrapped" : "");
                }
            // The order the Tab key takes through the controls.
            QStringList order;
            for (QWidget *w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
                if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().isEmpty() &&
                    !w->objectName().startsWith("qt_"))
                    order << w->objectName();
            placed << "tab order " + order.join(' ');
        }
        const QString md5 = QCryptographicHash::hash(placed.join('\n').toUtf8(), QCryptographicHash::Md5).toHex();
        if (md5 != "7dd92e28a828072c174cbfeb7c2df0ff") // the whole listing (a failure's message is cut short)
            qInfo().noquote() << placed.join('\n');
        QVERIFY2(md5 == "7dd92e28a828072c174cbfeb7c2df0ff", qPrintable("digest " + md5));
        QCOMPARE(form->cmdStart->text(), "Backup"); // Start bears the selected tab's caption: at load,
        QTest::keyClick(form->SSTab1->tabBar(), Qt::Key_Right);
        QCOMPARE(form->cmdStart->text(), "Restore"); // after a key,
        form->SSTab1->setTab(2);
        QCOMPARE(form->cmdStart->text(), "Compact"); // and when the program chooses

        // No button of the window is its default or cancel button: Enter and Esc on one, or in a field, do nothing.
        for (QWidget *control : QWidgetList{form->cmdClose, form->cmdStart, form->cmdBackFrom, form->txtBackFrom})
            for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
                control->setFocus();
                QTest::keyClick(control, key);
                QVERIFY2(form->isVisible(), qPrintable(control->objectName()));
            }
    }

    void closeDuringBackup_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("close box") << "close box";
        QTest::newRow("Close button") << "Close button";
        // As the program handles SIGTERM: the backup stops with no message and its temporary file goes.
        QTest::newRow("asked to end") << "signal";
    }

    // The window unloads, saving its settings, once the backup has ended and its message has been read.
    void closeDuringBackup()
    {
        QFETCH(QString, how);
        const QString source = tmp->path("Data/big.MDB"), backup = tmp->path("backups/big.TVB");
        writeFile(source, original.left(100) + randomBytes(64 << 20));
        form->txtBackFrom->setText(source);
        form->txtBackTo->setText(backup);
        Stop::installSignalHandlers([this] { form->stopAndClose(); });
        QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
        bool unloadedBeforeMessage = false, closeGreyedOut = false, aboutShown = false;
        DialogHook::setObserver([&](const DialogHook::Shown &) { unloadedBeforeMessage = form->isUnloaded(); });
        DialogHook::answerMsgBox(Msg::OK);
        connect(form->ZlibTool1->progress(), &QProgressBar::valueChanged, this, [&, done = false](int v) mutable {
            if (v <= 0 || std::exchange(done, true))
                return;
            QTimer::singleShot(100, form.get(), [&] { // an About box that got through would wait for a click
                if (QWidget *about = QApplication::activeModalWidget())
                    aboutShown = about->close();
            });
            QTest::mouseClick(form->cmdAbout, Qt::LeftButton);
            how == "signal"      ? void(::raise(SIGTERM))
            : how == "close box" ? void(form->close())
                                 : QTest::mouseClick(form->cmdClose, Qt::LeftButton);
            closeGreyedOut = !form->cmdClose->isEnabled();
        });
        pressStart(form.get(), 0);
        form->ZlibTool1->progress()->disconnect(this);
        const bool stopped = Stop::requested();
        Stop::clear();
        QVERIFY(!aboutShown && !unloadedBeforeMessage);
        QVERIFY(closeGreyedOut || stopped); // a signal arrives through the event loop, later
        QCOMPARE(stopped, how == "signal");
        QCOMPARE(DialogHook::shown().size(), stopped ? 0 : 1);
        if (stopped)
            QCOMPARE(entries(tmp->path("backups")), QStringList());
        else
            QCOMPARE(unpacked(backup), readFile(source)); // the message is "Backup successful.": see backup()
        QTRY_COMPARE(unloaded.size(), 1);
        QCOMPARE(Settings::GetSetting(Key::BackTo, QString()), backup);
        form.reset();
    }

    void windowFillsFieldsAndCloseSavesThem_data()
    {
        QTest::addColumn<QStringList>("settings"); // "Key=value" stored before the start; "@": the test's folder
        QTest::addColumn<QString>("typedAtLogin"); // a back end named when the stored one is not found
        QTest::addColumn<int>("emptied");          // a field emptied before the window is closed by its close box
        QTest::addColumn<QString>("backEnd");
        QTest::addColumn<QStringList>("fields"); // BackFrom, BackTo, RestFrom, RestTo, Compact

        const QString db = "@/BACK/BACK.MDB", suggested = "@/BACK/BACK051226205535.TVB";
        QTest::newRow("first run") << QStringList() << QString() << -1 << db
                                   << QStringList{db, suggested, suggested, db, db};
        const QStringList mine{"BackEnd=" + db,     "BackFrom=/a/from.mdb",
                               "BackTo=/a/old.TVB", "RestFrom=/a/restore me.TVB",
                               "RestTo=/a/to.mdb",  "Compact=/a/compact.mdb"};
        const QStringList shown{"/a/from.mdb", suggested, "/a/restore me.TVB", "/a/to.mdb", "/a/compact.mdb"};
        // Stored keys win; an emptied field keeps its stored value, so the next start shows no empty field.
        QTest::newRow("stored keys win") << mine << QString() << 3 << db << shown;
        // Where file names tell case apart, the mixed-case path survives the login.
        const QString mixed = "@/Data/Back.mdb", besideMixed = "@/Data/BACK051226205535.TVB";
        QTest::newRow("path kept as typed") << QStringList{"BackEnd=" + mixed} << QString() << -1 << mixed
                                            << QStringList{mixed, besideMixed, besideMixed, mixed, mixed};
        QTest::newRow("login cancelled") << QStringList{"BackEnd=@/gone.mdb"} << "@/typed.mdb" << -1 << "@/typed.mdb"
                                         << QStringList();
        QTest::newRow("back end replaced at login") << QStringList{"BackEnd=@/moved away.mdb"} << db << -1 << db
                                                    << QStringList{db, suggested, suggested, db, db};
        // Every combination of the five keys stored or not: each field shows its key, or its default;
        // the restore source falls back on the backup file named at the end of the last run, then on
        // this run's suggested name, which the backup destination always shows.
        for (int stored = 0; stored < 32; ++stored) {
            const auto key = [&](int i, const QString &fallback) {
                return stored >> i & 1 ? QStringLiteral("/stored/%1 ä.mdb").arg(FieldKeys[i]) : fallback;
            };
            QStringList settings{"BackEnd=" + db};
            for (int i = 0; i < 5; ++i)
                if (stored >> i & 1)
                    settings << QString(FieldKeys[i]) + '=' + key(i, {});
            QTest::addRow("keys stored: %d", stored)
                << settings << QString() << -1 << db
                << QStringList{key(0, db), suggested, key(2, key(1, suggested)), key(3, db), key(4, db)};
        }
    }

    void windowFillsFieldsAndCloseSavesThem()
    {
        QFETCH(QStringList, settings);
        QFETCH(QString, typedAtLogin);
        QFETCH(int, emptied);
        QFETCH(QString, backEnd);
        QFETCH(QStringList, fields);
        const auto here = [&](QString text) { return text.replace('@', tmp->path()); };
        QFile::copy(db, tmp->path("Data/Back.mdb"));
        for (const QString &setting : settings)
            Settings::SaveSetting(setting.section('=', 0, 0), here(setting.section('=', 1)));
        if (!typedAtLogin.isEmpty()) {
            DialogHook::answerMsgBox(Msg::Retry);
            DialogHook::answerInput(here(typedAtLogin));
        }
        for (QString &field : fields)
            field = here(field);
        if (fields.isEmpty()) { // that file is missing too: the user gives up, then cancels the login
            DialogHook::answerMsgBox(Msg::Cancel);
            form = frmTvUtil::Load();
            QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
            FormSupport::whenLoginShown([](frmLogin *dialog) {
                FormSupport::typeLogin(dialog, "admin", "Secret");
                QTest::mouseClick(dialog->cmdCancel, Qt::LeftButton);
            });
            form->show();
            QTRY_COMPARE(unloaded.size(), 1);
            QVERIFY(!form->isVisible() && !modTarBackup::LoggedIn);
        } else {
            form = FormSupport::loadAndLogIn();
            QVERIFY(form);
            QCOMPARE(modTarBackup::BackEndPath, here(backEnd));
            QCOMPARE(FormSupport::fieldTexts(*form), fields);
            if (emptied >= 0)
                form->findChildren<QLineEdit *>(QRegularExpression("^txt")).at(emptied)->clear();
            emptied >= 0 ? void(form->close()) : form->cmdClose->click();
        }
        QVERIFY(form->isUnloaded());
        QCOMPARE(stored(Key::BackEnd), here(backEnd));
        for (int i = 0; i < 5; ++i)
            QCOMPARE(stored(FieldKeys[i]), fields.value(i, "<absent>"));
    }

    // Each picker puts the file chosen, as it is, in its own field, a cancel keeps it; a real dialog lists.
    // The program itself, asked to end (the session closes) while its login shows: the window closes and
    // the process ends at once, with status 0.
    void windowOfTheProgramEndsWhenAsked()
    {
        qunsetenv("XDG_CONFIG_HOME"); // its settings under HOME, the test's folder
        QProcess program;
        program.start(appDir() + "/tarvos-utility", {});
        QVERIFY(program.waitForStarted());
        const auto catchesSigterm = [&] { // its handler in place: the kernel lists SIGTERM as caught
            const QString text = readFile(QStringLiteral("/proc/%1/status").arg(program.processId()));
            return text.section("SigCgt:", 1).left(17).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1) & 1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(catchesSigterm(), 30000);
        QTest::qWait(300); // the window and its login shown
        QCOMPARE(::kill(pid_t(program.processId()), SIGTERM), 0);
        QVERIFY2(program.waitForFinished(20000), "the program went on after its window had closed");
        QVERIFY(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);
    }

    void pickers()
    {
        const QString folder = tmp->path("files");
        QDir().mkpath(folder);
        for (const char *name : {"BACK.MDB", "OLD.TVB", "notes.txt"})
            writeFile(folder + "/" + name, "data");
        QStringList expected = FormSupport::fieldTexts(*form);
        QString last; // the dialog opens on the file chosen last, by any picker
        for (int i = 0; i < 5; ++i) {
            const QString chosen = QStringLiteral("%1/%2 picked.bak").arg(folder, Pickers[i]);
            DialogHook::clear();
            DialogHook::answerFileOpen(chosen);
            browse(*form, i);
            expected[i] = chosen;
            QCOMPARE(FormSupport::fieldTexts(*form), expected);
            DialogHook::answerFileOpen(std::nullopt);
            browse(*form, i);
            QCOMPARE(FormSupport::fieldTexts(*form), expected);
            const QString filter = i == 1 || i == 2 ? "Tarvos Backup (*.tvb)|*.tvb" : "Microsoft Access (*.mdb)|*.mdb";
            QList<DialogHook::Shown> boxes(2, {DialogHook::Kind::FileOpen, {}, 0, "Select", {}, filter, "mdb", chosen});
            boxes[0].initialFileName = std::exchange(last, chosen);
            QCOMPARE(DialogHook::shown(), boxes);
        }
        // The scripted dialogs left it in the folder; this one is real.
        DialogHook::setStrict(false);
        QStringList names;
        QTimer::singleShot(0, [&] {
            QPointer<QFileDialog> box;
            const auto close = qScopeGuard([&] { // also when a check fails, so that nothing hangs
                if (box && box->isVisible())
                    box->reject();
            });
            QTRY_VERIFY((box = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())));
            auto *view = box->findChild<QListView *>("listView");
            const auto listed = [&] {
                names.clear();
                for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
                    names << view->model()->index(row, 0, view->rootIndex()).data().toString();
                return names.contains("BACK.MDB"); // whatever the case of its extension
            };
            QTRY_VERIFY(listed());
        });
        browse(*form, 0);
        QVERIFY2(names.contains("BACK.MDB") && !names.contains("notes.txt") && !names.contains("OLD.TVB"),
                 qPrintable(names.join(", ")));
    }

private:
    // The folder a fault row writes into: on a small file system of bytes, to be made read-only, or plain.
    QString place(const QString &folder, qint64 bytes)
    {
        const QString situation = QTest::currentDataTag();
        if (situation.startsWith("full disk"))
            why = (fs = std::make_unique<SmallFileSystem>(folder, bytes))->why();
        else if (situation.startsWith("read-only"))
            readOnly = std::make_unique<ReadOnlyFolder>(folder);
        QDir().mkpath(folder);
        return folder;
    }

    // The files under the test's folder, and the safety and temporary files beside the program.
    QMap<QString, QByteArray> disk() const
    {
        QMap<QString, QByteArray> all;
        QDirIterator it(tmp->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            all.insert(rel(path), it.fileInfo().isDir() ? QByteArray("<folder>") : readFile(path));
        }
        for (const QFileInfo &file : QDir(Files::appPath()).entryInfoList(QDir::Files | QDir::Hidden))
            if (file.fileName().startsWith('.') || file.suffix() == "BAK")
                all.insert(rel(file.filePath()), readFile(file.filePath()));
        return all;
    }

    void run(int tab)
    {
        QFETCH(QString, says);
        const bool success = says.startsWith("64 ");
        if (!success)
            writeFile(Paths::safetyCopyPath(target, QDate(2026, 12, 5)), "the only good copy");
        if (readOnly && !readOnly->lock())
            why = "cannot make a folder read-only here: " + readOnly->why();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        QMap<QString, QByteArray> before = disk();
        // The bar (the compression control's, or the compaction's) never goes back, and is full only when done.
        ProgressView *bar = tab == 2 ? form->prgCompact : form->ZlibTool1->progress();
        QList<int> values;
        connect(bar, &QProgressBar::valueChanged, this, [&](int v) { values << v; });
        const QStringList boxes = recordStart(form.get(), tab);
        bar->disconnect(this);
        QVERIFY2(std::is_sorted(values.begin(), values.end()), qPrintable(QString::number(values.size())));
        QCOMPARE(values.contains(bar->maximum()), success);
        QVERIFY2(boxes.size() == 1, qPrintable(boxes.join('\n')));
        const QString pattern = '^' + says.replace("@", QRegularExpression::escape(written));
        QVERIFY2(QRegularExpression(pattern).match(boxes[0]).hasMatch(),
                 qPrintable(boxes[0] + "\ndoes not match\n" + pattern));
        // A failure's message shows without the hourglass, but for "not found".
        QVERIFY2(boxes[0].contains(success || says.contains("not found") ? "[p11 S-" : "[p0 S+"), qPrintable(boxes[0]));
        QCOMPARE(state(form.get()) + (bar->isVisible() ? " and the bar" : ""), "[p0 S+ A Z-]"); // idle again
        const QMap<QString, QByteArray> after = disk();
        if (!removed.isEmpty()) {
            QVERIFY(!QFile::exists(removed));
            before.removeIf([&](const auto &file) { return file.key().startsWith(rel(removed)); });
        }
        QStringList changed;
        for (const QString &name : before.keys() + after.keys())
            if (before.value(name, "<none>") != after.value(name, "<none>") && !changed.contains(name))
                changed << name;
        changed.sort();
        QCOMPARE(changed, expect.keys());
        for (const auto &[name, bytes] : expect.asKeyValueRange())
            if (!bytes.isNull())
                QVERIFY2((name.endsWith(".TVB") ? unpacked(tmp->path(name)) : after[name]) == bytes, qPrintable(name));
    }

    // A big input (damaged past its header: handled as it is), so that the work goes on for a while; its
    // header counts no pages, so that its size alone tells how many it has. Removes folder, when given,
    // once the compression control's bar shows the work under way.
    QString bigInput(const QString &folder)
    {
        QByteArray head = original.left(100);
        head.replace(28, 4, QByteArray(4, '\0'));
        writeFile(tmp->path("Data/big.dat"), head + randomBytes((96 << 20) - 100));
        removed = folder;
        QProgressBar *bar = form->ZlibTool1->progress();
        connect(bar, &QProgressBar::valueChanged, form.get(), [this, bar](int value) {
            for (int tries = 0; value > 0 && value < bar->maximum() && QFile::exists(removed); ++tries) {
                QVERIFY(tries < 100);
                (void)QDir(removed).removeRecursively(); // again where the program made a file in it meanwhile
            }
        });
        return tmp->path("Data/big.dat");
    }

    QString stored(const char *key) { return Settings::GetSetting(QLatin1String(key), QStringLiteral("<absent>")); }
    QString rel(const QString &path) const
    {
        return path.startsWith(tmp->path()) ? path.mid(tmp->path().size() + 1) : "app/" + QFileInfo(path).fileName();
    }
    QString backupOf(const QString &database, const QString &name)
    {
        CompressionEngine::compressFile(database, tmp->path("backups/" + name));
        return tmp->path("backups/" + name);
    }
    QByteArray unpacked(const QString &backup)
    {
        CompressionEngine::decompressFile(backup, tmp->path("unpacked")); // after the files are compared
        return readFile(tmp->path("unpacked"));
    }

    std::unique_ptr<TempFolder> tmp;
    std::unique_ptr<frmTvUtil> form;
    std::unique_ptr<SmallFileSystem> fs;
    std::unique_ptr<ReadOnlyFolder> readOnly;
    QString db, target, written, removed, why;
    QByteArray original;
    // The files a row changes, by rel(), with their bytes afterwards (unpacked for a backup; null: any).
    QMap<QString, QByteArray> expect;
};

OPSUPPORT_TEST_MAIN(TestStart, QApplication)

#include "tst_start.moc"
