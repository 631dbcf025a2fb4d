#include "backendmaker.h"
#include "maintenance/command.h"
#include "opsupport.h"
#include "platform/clock.h"
#include "platform/zlibtool/compressionengine.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTextStream>

using namespace TestSupport;

namespace {

struct Ran {
    int status;
    QString out, err;
};

// The command line args as the program runs it, at the moment now.
Ran at(const QDateTime &now, const QStringList &args)
{
    Clock::setSource([now] { return now; });
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    const int status = Maintenance::run(args, outStream, errStream, false);
    Clock::setSource({});
    return {status, out, err};
}

// Every file of folder with its bytes, to tell that nothing changed.
QStringList snapshot(const QString &folder)
{
    QStringList files;
    for (const QString &name : entries(folder))
        files << name + " " + readFile(folder + "/" + name).toBase64();
    return files;
}

const QDateTime Now(QDate(2026, 12, 10), QTime(2, 30));

} // namespace

class TestMaintenance : public QObject {
    Q_OBJECT

private slots:
    void backupVerifiesThenKeepsWhatTheRuleSays()
    {
        TempFolder tmp;
        const QString db = tmp.path("BACK.MDB"), folder = tmp.path("Sicherung Ä");
        QDir().mkpath(folder);
        BackendMaker::make(db, {{{"ADMIN", "Secret"}}, 50});
        QFile::setPermissions(db, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        for (const int days : {10, 5, 3, 1})
            QCOMPARE(at(Now.addDays(-days), {"backup", db, folder}).status, 0);
        // Whatever their names, files that are not backups of this database stay.
        writeFile(folder + "/BACK010126000000.TVB", "named like a backup");
        writeFile(folder + "/BACK.TVB", readFile(folder + "/BACK301126023000.TVB"));
        writeFile(folder + "/OTHER011226000000.TVB", readFile(folder + "/BACK301126023000.TVB"));
        QVERIFY(QFile::link(folder + "/BACK051226023000.TVB", folder + "/BACK020126000000.TVB"));
        QDir().mkpath(folder + "/BACK030126000000.TVB");
        writeFile(tmp.path("TEXT"), textBytes(5000));
        CompressionEngine::compressFile(tmp.path("TEXT"), folder + "/BACK040126000000.TVB");
        const QString others = "BACK.TVB BACK010126000000.TVB BACK020126000000.TVB BACK030126000000.TVB "
                               "BACK040126000000.TVB %1 OTHER011226000000.TVB";
        // What a run stopped at another moment left, which nobody holds any more.
        writeFile(folder + "/.BACK090126023000.TVB.tmp-stale", "half a backup");

        // The newest two, and those younger than four days.
        Ran ran = at(Now, {"backup", db, folder, "--keep", "2", "--keep-days", "4"});
        QCOMPARE(ran.err, QString());
        QCOMPARE(ran.out, "Backup successful.\n" + folder + "/BACK101226023000.TVB\nRemoved " + folder +
                              "/BACK301126023000.TVB\nRemoved " + folder + "/BACK051226023000.TVB\n");
        QCOMPARE(entries(folder).join(' '),
                 others.arg("BACK071226023000.TVB BACK091226023000.TVB BACK101226023000.TVB"));
        // zstd itself reads the database back, and the backup is no more open than the database.
        const QString unpacked = tmp.path("unpacked");
        QCOMPARE(QProcess::execute("zstd", {"-d", "-q", folder + "/BACK101226023000.TVB", "-o", unpacked}), 0);
        QCOMPARE(readFile(unpacked), readFile(db));
        QCOMPARE(QFileInfo(folder + "/BACK101226023000.TVB").permissions(), QFileInfo(db).permissions());

        // The newest alone: the one just written.
        ran = at(Now.addSecs(3600), {"backup", db, folder + "/", "--keep", "1"});
        QCOMPARE(ran.out, "Backup successful.\n" + folder + "/BACK101226033000.TVB\nRemoved " + folder +
                              "/BACK071226023000.TVB\nRemoved " + folder + "/BACK091226023000.TVB\nRemoved " + folder +
                              "/BACK101226023000.TVB\n");
        QCOMPARE(entries(folder).join(' '), others.arg("BACK101226033000.TVB"));
        QCOMPARE(readFile(folder + "/BACK010126000000.TVB"), QByteArray("named like a backup"));
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("args"); // DIR is the test's folder
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // a pattern, DIR as above
        const QString usage = "^tarvos-maintenance: %1\nTry 'tarvos-maintenance --help'.\n$";
        QTest::newRow("no command") << QStringList{} << 2 << usage.arg("no command given");
        QTest::newRow("unknown command") << QStringList{"backups"} << 2 << usage.arg("unknown command backups");
        QTest::newRow("a word missing") << QStringList{"backup", "DIR/BACK.MDB"} << 2
                                        << usage.arg("backup takes 2 arguments, not 1");
        QTest::newRow("keep none") << QStringList{"backup", "DIR/BACK.MDB", "DIR", "--keep", "0"} << 2
                                   << usage.arg("--keep needs a whole number of at least 1, not 0");
        QTest::newRow("option of another command")
            << QStringList{"verify", "DIR/GOOD.TVB", "--keep", "2"} << 2 << usage.arg("--keep does not go with verify");
        QTest::newRow("schedule at no time") << QStringList{"schedule", "DIR/BACK.MDB", "DIR", "--daily", "24:00"} << 2
                                             << "^tarvos-maintenance: schedule needs --daily HH:MM";
        QTest::newRow("backup of a missing database")
            << QStringList{"backup", "DIR/NONE.MDB", "DIR"} << 1 << "^DIR/NONE.MDB not found.\n$";
        QTest::newRow("backup into a missing folder") << QStringList{"backup", "DIR/BACK.MDB", "DIR/none"} << 1
                                                      << "^2: Cannot back up \"DIR/BACK.MDB\" into \"DIR/none\": ";
        QTest::newRow("verify half a backup")
            << QStringList{"verify", "DIR/HALF.TVB"} << 1 << "^321: \"DIR/HALF.TVB\" is truncated\n$";
        QTest::newRow("verify a database")
            << QStringList{"verify", "DIR/BACK.MDB"} << 1 << "^321: \"DIR/BACK.MDB\" is not a Tarvos backup file";
        QTest::newRow("verify a backup of a text")
            << QStringList{"verify", "DIR/TEXT.TVB"} << 1 << "^321: \"DIR/TEXT.TVB\" holds no database";
        QTest::newRow("compact with a file in the way")
            << QStringList{"compact", "DIR/BACK.MDB"} << 1 << "^14: .*\"DIR/BACKNEW.MDB\" is in the way";
    }

    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, message);
        TempFolder tmp;
        BackendMaker::make(tmp.path("BACK.MDB"), {{{"ADMIN", "Secret"}}, 20});
        writeFile(tmp.path("TEXT.MDB"), textBytes(100000));
        CompressionEngine::compressFile(tmp.path("TEXT.MDB"), tmp.path("TEXT.TVB"));
        CompressionEngine::compressFile(tmp.path("BACK.MDB"), tmp.path("GOOD.TVB"));
        writeFile(tmp.path("HALF.TVB"), readFile(tmp.path("GOOD.TVB")).chopped(5000));
        writeFile(tmp.path("BACKNEW.MDB"), "a file in the compaction's way");
        const QStringList before = snapshot(tmp.path());
        args.replaceInStrings(QRegularExpression("^DIR"), tmp.path());
        const Ran ran = at(Now, args);
        QCOMPARE(ran.out, QString());
        const QRegularExpression expected(message.replace("DIR", QRegularExpression::escape(tmp.path())));
        QVERIFY2(expected.match(ran.err).hasMatch(), qPrintable(ran.err));
        QCOMPARE(ran.status, status);
        QCOMPARE(snapshot(tmp.path()), before);
    }

    void restoreAndCompactAsTheWindowDoes()
    {
        TempFolder tmp;
        const QString db = tmp.path("BACK.MDB"), other = tmp.path("OTHER.MDB");
        BackendMaker::make(db, {{{"ADMIN", "Secret"}}, 100, 2 << 20, 30});
        BackendMaker::make(other, {{{"OTHER", "x"}}});
        QCOMPARE(at(Now, {"backup", other, tmp.path()}).status, 0);
        const QStringList rows = tableCounts(db);
        Ran ran = at(Now, {"restore", tmp.path("OTHER101226023000.TVB"), db});
        QCOMPARE(ran.out + ran.err, QString("Restore successful.\n"));
        QCOMPARE(tableCounts(db), tableCounts(other));
        QCOMPARE(tableCounts(tmp.path("BACK26.BAK")), rows);

        ran = at(Now, {"compact", tmp.path("BACK26.BAK")});
        QCOMPARE(ran.out + ran.err, QString("Database compacted.\n"));
        QCOMPARE(scalar(tmp.path("BACK26.BAK"), "PRAGMA freelist_count"), QString("0"));
        QCOMPARE(tableCounts(tmp.path("BACK26.BAK")), rows);
        QCOMPARE(entries(tmp.path()), QStringList({"BACK.MDB", "BACK26.BAK", "OTHER.MDB", "OTHER101226023000.TVB"}));
    }

    void theProgramAsScriptsAndOperatorsRunIt()
    {
        TempFolder tmp;
        BackendMaker::make(tmp.path("BACK.MDB"), {{{"ADMIN", "Secret"}}, 20});
        CompressionEngine::compressFile(tmp.path("BACK.MDB"), tmp.path("GOOD.TVB"));
        const QString program = appDir() + "/tarvos-maintenance";
        QProcess p;
        // Not on a terminal: the outcome alone.
        for (const auto &[args, status, out] :
             {std::tuple{QStringList{"verify", tmp.path("GOOD.TVB")}, 0, QByteArray("Backup verified.\n")},
              {QStringList{"verify", tmp.path("BACK.MDB")}, 1, QByteArray()},
              {QStringList{"verify"}, 2, QByteArray()},
              {QStringList{"--help"}, 0, QByteArray("Usage: tarvos-maintenance COMMAND ARGUMENTS...\n")}}) {
            p.start(program, args);
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), status);
            QVERIFY(p.readAllStandardOutput().startsWith(out) && p.readAllStandardError().isEmpty() == (status == 0));
        }
        // On a terminal, a bar for each step; a step that fails ends its bar's line before the message.
        if (QStandardPaths::findExecutable("script").isEmpty())
            QSKIP("script(1), which gives a program a terminal, is missing");
        const auto onTerminal = [&](const QString &args) {
            p.start("script", {"-qec", "'" + program + "' " + args, "/dev/null"});
            return p.waitForFinished(60000) ? p.readAllStandardOutput() : QByteArray();
        };
        const QByteArray full = "] 100%\r\n", bar = QByteArray(40, '#') + full;
        QVERIFY2(onTerminal("backup '" + tmp.path("BACK.MDB") + "' '" + tmp.path() + "'")
                     .contains("\rBackup     [" + bar + "\rCheck      [" + bar + "Backup successful.\r\n"),
                 "no progress bars");
        BackendMaker::make(tmp.path("BIG.MDB"), {{}, 0, 8 << 20});
        CompressionEngine::compressFile(tmp.path("BIG.MDB"), tmp.path("BIG.TVB"));
        QByteArray damaged = readFile(tmp.path("BIG.TVB"));
        damaged.replace(damaged.size() / 2, 1000, QByteArray(1000, '\xff'));
        writeFile(tmp.path("BAD.TVB"), damaged);
        const QByteArray bad = onTerminal("verify '" + tmp.path("BAD.TVB") + "'");
        QVERIFY2(QRegularExpression("%\r\n\\d+: .*BAD.TVB").match(QString::fromUtf8(bad)).hasMatch() &&
                     !bad.contains(full),
                 bad.constData());
    }

    void scheduleWritesAUserTimer()
    {
        TempFolder tmp;
        const QString db = tmp.path("Back up 'Ä' 100%$.MDB"),
                      name = "tarvos-backup-Back_up_____100__-" +
                             QCryptographicHash::hash(db.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
        // The command line with systemd's own quoting ("%" and "$" doubled), daily, made up after a shutdown.
        const QString printed =
            at(Now, {"schedule", db, tmp.path("out"), "--daily", "2:05", "--keep", "7", "--print"}).out;
        QVERIFY2(printed.contains("\nExecStart=\"" + QCoreApplication::applicationFilePath() + "\" \"backup\" \"" +
                                  QString(db).replace("%", "%%").replace("$", "$$") + "\" \"" + tmp.path("out") +
                                  "\" \"--keep\" \"7\"\n") &&
                     printed.contains("\nOnCalendar=*-*-* 02:05:00\n") && printed.contains("\nPersistent=true\n") &&
                     printed.contains("daily backup of " + QString(db).replace("%", "%%") + "\n"),
                 qPrintable(printed));

        // Installed: the units in the operator's folder, loaded and started by the operator's systemd.
        const QString bin = tmp.path("bin"), log = tmp.path("systemctl.log"), units = tmp.path("config/systemd/user");
        QDir().mkpath(bin);
        writeFile(bin + "/systemctl", "#!/bin/sh\necho \"$@\" >> '" + log.toUtf8() +
                                          "'\n[ -z \"$FAIL\" ] || { echo "
                                          "\"Failed to connect to bus\" >&2; exit 1; }\n");
        QFile::setPermissions(bin + "/systemctl", QFile::ReadOwner | QFile::ExeOwner);
        const QByteArray path = qgetenv("PATH"), config = qgetenv("XDG_CONFIG_HOME");
        qputenv("PATH", bin.toUtf8() + ":" + path);
        qputenv("XDG_CONFIG_HOME", tmp.path("config").toUtf8());
        Ran ran = at(Now, {"schedule", db, tmp.path("out"), "--daily", "2:05", "--keep", "7"});
        QCOMPARE(ran.out + ran.err, "Backup scheduled daily at 02:05 (" + name + ".timer).\n");
        QCOMPARE("# " + name + ".service\n" + readFile(units + "/" + name + ".service") + "\n# " + name + ".timer\n" +
                     readFile(units + "/" + name + ".timer"),
                 printed); // what --print shows
        if (!QStandardPaths::findExecutable("systemd-analyze").isEmpty())
            QCOMPARE(QProcess::execute("systemd-analyze", {"verify", "--man=no", units + "/" + name + ".timer",
                                                           units + "/" + name + ".service"}),
                     0);
        ran = at(Now, {"schedule", db, "--remove"});
        QCOMPARE(ran.out + ran.err, QString("Schedule removed.\n"));
        QCOMPARE(entries(units), QStringList());
        QCOMPARE(QString(readFile(log)), QString("--user daemon-reload\n--user enable --now %1.timer\n--user disable "
                                                 "--now %1.timer\n--user daemon-reload\n")
                                             .arg(name));
        // Without a session of the operator's, systemctl's own words say why.
        qputenv("FAIL", "1");
        ran = at(Now, {"schedule", db, tmp.path("out"), "--daily", "2:05"});
        qunsetenv("FAIL");
        qputenv("PATH", path);
        config.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", config);
        QCOMPARE(ran.status, 1);
        QVERIFY2(ran.err.startsWith("1: Cannot schedule the backup of ") &&
                     ran.err.endsWith("systemctl --user daemon-reload failed: Failed to connect to bus\n"),
                 qPrintable(ran.err));
    }
};

QTEST_GUILESS_MAIN(TestMaintenance)

#include "tst_maintenance.moc"
