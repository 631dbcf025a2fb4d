#include "errorcheck.h"
#include "formsupport.h"
#include "platform/progressview.h"
#include "platform/zlibtool/compressionengine.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "testsupport.h"

#include <QProcess>
#include <QTest>
#include <zstd.h>

#include <zstd_errors.h>

#include <cerrno>

using namespace TestSupport;
namespace Engine = CompressionEngine;

namespace {

// Database-like bytes: runs of text records with runs of noise between them.
QByteArray mixedBytes(qsizetype size)
{
    const QByteArray text = textBytes(3 << 20);
    QByteArray bytes;
    for (quint32 n = 1; bytes.size() < size; ++n)
        bytes += text.mid(qsizetype(n * 7919) % (text.size() / 2), 600 << 10) + randomBytes(200 << 10, n);
    return bytes.left(size);
}

} // namespace

class TestZlibTool : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("data");
        const qsizetype buf = qsizetype(Engine::BufferSize), all = buf * qsizetype(Engine::BuffersPerStage);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << randomBytes(1);
        QTest::newRow("buffer") << textBytes(buf);
        QTest::newRow("buffer + 1") << randomBytes(buf + 1);
        QTest::newRow("all buffers + 1, noise") << randomBytes(all + 1);
        QTest::newRow("all buffers + 1, text") << textBytes(all + 1);
    }

    // A backup reads back here and with zstd, replaces an older file, reports all done, leaves no temporary.
    void roundTrip()
    {
        QFETCH(QByteArray, data);
        TempFolder tmp;
        writeFile(tmp.path("BACK.MDB"), data);
        writeFile(tmp.path("restored.mdb"), "an older database");
        QPair<qint64, qint64> last;
        Engine::compressFile(tmp.path("BACK.MDB"), tmp.path("BACK.TVB"), [&](qint64 d, qint64 t) { last = {d, t}; });
        QCOMPARE(last, qMakePair(qint64(data.size()), qint64(data.size())));
        // The frame declares the size of its content, which a restore checks room for first.
        const QByteArray frame = readFile(tmp.path("BACK.TVB"));
        QCOMPARE(ZSTD_getFrameContentSize(frame.constData(), size_t(frame.size())), (unsigned long long)data.size());
        QCOMPARE(QProcess::execute("zstd", {"-q", "-d", tmp.path("BACK.TVB"), "-o", tmp.path("byzstd")}), 0);
        QVERIFY(readFile(tmp.path("byzstd")) == data);
        Engine::decompressFile(tmp.path("BACK.TVB"), tmp.path("restored.mdb"));
        QVERIFY(readFile(tmp.path("restored.mdb")) == data);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
    }

    void refusesBadInput_data()
    {
        QTest::addColumn<bool>("compress");
        QTest::addColumn<QString>("kind"); // what is wrong with the paths; "" when the input's bytes are
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("cause");
        TempFolder tmp;
        const QByteArray source = mixedBytes(3 << 20);
        writeFile(tmp.path("source"), source);
        Engine::compressFile(tmp.path("source"), tmp.path("good"));
        QCOMPARE(QProcess::execute("zstd", {"-q", "--no-check", tmp.path("source"), "-o", tmp.path("nocheck")}), 0);
        const QByteArray good = readFile(tmp.path("good"));
        for (const bool c : {true, false}) {
            const auto row = [&](const char *tag, const char *kind, int number, const QString &cause) {
                QTest::addRow("%s: %s", c ? "compress" : "decompress", tag)
                    << c << kind << (c ? source : good) << number << cause;
            };
            row("missing input", "missing", ENOENT, systemText(ENOENT));
            row("input is output", "same", int(ErrorNumber::InvalidArgument), "cannot be both");
        }
        const int bad = int(ErrorNumber::BadFileFormat);
        const auto row = [](const char *tag, const QByteArray &bytes, int number, const char *cause) {
            QTest::newRow(tag) << false << "" << bytes << number << cause;
        };
        row("empty file", {}, bad, "is not a Tarvos backup file (it is empty)");
        row("not a backup", textBytes(5000), bad, "is not a Tarvos backup file");
        row("no checksum", readFile(tmp.path("nocheck")), bad, "carries no checksum");
        row("last byte missing", good.chopped(1), bad, "is truncated");
        row("checksum flipped", good.chopped(1) + char(~good.back()), ZSTD_error_checksum_wrong,
            "is damaged (checksum mismatch)");
        row("two frames", good + good, bad, "unexpected data after the end");
        row("a reserved bit of the frame header set", QByteArray(good).replace(4, 1, QByteArray(1, char(good[4] | 8))),
            ZSTD_error_frameParameter_unsupported, "is damaged (unsupported frame parameter)");
        // A frame that ends exactly where a read buffer ends, with more in the next one: random
        // bytes are stored as they are, so their frame grows a byte with each byte of content.
        const qsizetype buffer = qsizetype(Engine::BufferSize);
        QByteArray exact;
        for (qsizetype size = buffer, tries = 0; tries < 8 && exact.size() != buffer; ++tries) {
            writeFile(tmp.path("random"), randomBytes(size));
            Engine::compressFile(tmp.path("random"), tmp.path("exact"));
            exact = readFile(tmp.path("exact"));
            size += buffer - exact.size();
        }
        QCOMPARE(exact.size(), buffer);
        row("a frame as long as a buffer, then more", exact + "x", bad, "unexpected data after the end");
    }

    // Each refusal names the file at fault and the cause; the output's folder is as it was.
    void refusesBadInput()
    {
        QFETCH(bool, compress);
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(int, number);
        QFETCH(QString, cause);
        TempFolder tmp, out; // the output's folder apart, to see that nothing is left in it
        QString input = tmp.path("input"), output = out.path("old.dat");
        QByteArray old = "the previous content\n";
        writeFile(output, old);
        if (kind == "same")
            writeFile(input = output, old = bytes);
        else if (kind != "missing")
            writeFile(input, bytes);
        const auto call = [&] { (compress ? Engine::compressFile : Engine::decompressFile)(input, output, {}); };
        COMPARE_ERROR(call, number, {cause, quotedPath(input)});
        QCOMPARE(readFile(output), old);
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.dat"}); // no temporary file
    }

    // While it works the bar is painted moving, then full; a failure comes out of the call, no output.
    void control()
    {
        TempFolder tmp;
        const QByteArray data = mixedBytes(160 << 20);
        writeFile(tmp.path("BACK.MDB"), data);
        QWidget window;
        auto *ctrl = new ZlibToolCtrl(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ProgressView *bar = ctrl->progress();
        QSet<int> painted; // the values the bar was painted with during the work
        const FormSupport::PaintWatch watch(bar, [&] {
            if (ctrl->isBusy())
                painted.insert(bar->value());
        });
        for (const bool compress : {true, false}) {
            painted.clear();
            ctrl->setInputFile(tmp.path(compress ? "BACK.MDB" : "BACK.TVB"));
            ctrl->setOutputFile(tmp.path(compress ? "BACK.TVB" : "restored.mdb"));
            compress ? ctrl->Compress() : ctrl->Decompress();
            QVERIFY(std::any_of(painted.begin(), painted.end(), [](int v) { return v > 0 && v < 1000; }));
            QCOMPARE(bar->value(), 1000);
        }
        QVERIFY(readFile(tmp.path("restored.mdb")) == data);
        ctrl->setProperty("InputFile", tmp.path("BACK.MDB")); // not a backup
        ctrl->setProperty("OutputFile", tmp.path("out.mdb"));
        COMPARE_ERROR([&] { ctrl->Decompress(); }, ErrorNumber::BadFileFormat);
        QVERIFY(!ctrl->isBusy() && bar->value() == 0 && !QFile::exists(tmp.path("out.mdb")));
        bar->start(); // work that has not moved: its share alone, no rate of nothing
        bar->report(0, 1 << 30);
        QTest::qWait(400);
        QCOMPARE(bar->text() + ' ' + ProgressView::timeLeftText(3724.6), "0% 62:05");
    }
};

QTEST_MAIN(TestZlibTool)
#include "tst_zlibtool.moc"
