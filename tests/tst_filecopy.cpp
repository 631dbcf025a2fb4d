#include "platform/files.h"
#include "testsupport.h"

#include <QtTest>

using namespace TestSupport;

// Copies of files larger than the piece the copy hands to the kernel at a time (and asks to be
// written back): every byte arrives, in order, whatever the size.
class TestFileCopy : public QObject {
    Q_OBJECT

private slots:
    void copyOfAnySize_data();
    void copyOfAnySize();
};

void TestFileCopy::copyOfAnySize_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("empty") << qsizetype(0);
    QTest::newRow("one byte") << qsizetype(1);
    QTest::newRow("exactly 8 MiB") << qsizetype(8) * 1024 * 1024;
    QTest::newRow("two pieces and a part") << qsizetype(17) * 1024 * 1024 + 4097;
}

void TestFileCopy::copyOfAnySize()
{
    QFETCH(qsizetype, size);
    TempFolder tmp;
    const QByteArray data = randomBytes(size, quint32(size) + 7);
    writeFile(tmp.path("BACK.MDB"), data);
    writeFile(tmp.path("BACK26.BAK"), "an older safety copy, to be replaced");

    Files::copy(tmp.path("BACK.MDB"), tmp.path("BACK26.BAK"));

    QVERIFY(readFile(tmp.path("BACK26.BAK")) == data);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left
}

QTEST_GUILESS_MAIN(TestFileCopy)
#include "tst_filecopy.moc"
