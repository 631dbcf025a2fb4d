#include "app/settings.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QSettings>
#include <QtTest>

using namespace TestSupport;

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void readsDefaultsAndKeepsWrittenValues();
    void clockSourceIsReplaceable();
    void errorMessageFormat();
};

void TestSettings::readsDefaultsAndKeepsWrittenValues()
{
    TempFolder tmp;
    Settings::useFolder(tmp.path());
    QCOMPARE(Settings::GetSetting(Settings::Key::BackEnd, "C:\\BACK\\BACK.MDB"), QString("C:\\BACK\\BACK.MDB"));
    Settings::SaveSetting(Settings::Key::BackEnd, "/data/it's my db.mdb");
    Settings::SaveSetting(Settings::Key::RestFrom, "/backups/BACK051226205535.TVB");
    QCOMPARE(Settings::GetSetting(Settings::Key::BackEnd, "x"), QString("/data/it's my db.mdb"));
    QCOMPARE(Settings::GetSetting(Settings::Key::BackTo, "fallback"), QString("fallback"));

    // The values are in a file under the chosen folder, under application TarBackup, section Path,
    // where a later run (a new store object reading the file afresh) finds them.
    QDirIterator it(tmp.path(), {"TarBackup*"}, QDir::Files, QDirIterator::Subdirectories);
    QVERIFY(it.hasNext());
    QSettings file(it.next(), QSettings::IniFormat);
    QCOMPARE(file.value("Path/RestFrom").toString(), QString("/backups/BACK051226205535.TVB"));
    QCOMPARE(Settings::defaultBackEnd(), QDir::homePath() + "/BACK/BACK.MDB");
}

void TestSettings::clockSourceIsReplaceable()
{
    const QDateTime fixed(QDate(2027, 2, 1), QTime(9, 5, 7));
    Clock::setSource([&] { return fixed; });
    QCOMPARE(Clock::now(), fixed);
    Clock::setSource({});
    QVERIFY(qAbs(Clock::now().secsTo(QDateTime::currentDateTime())) < 5);
}

void TestSettings::errorMessageFormat()
{
    const Error e = Error::fromErrno(ENOENT, "Cannot open " + quotedPath("/a/b c"));
    QCOMPARE(e.message(), QString("2: Cannot open \"/a/b c\": No such file or directory"));
    QCOMPARE(Error(-2147217900, "x").message(), QString("-2147217900: x"));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
