#include "aviwriter.h"
#include "errorcheck.h"
#include "platform/animation/animationctrl.h"
#include "platform/animation/aviclip.h"
#include "resources/clips.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtEndian>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>

using namespace TestSupport;
using AviWriter::Encoding;

namespace {

const QList<QRgb> Colours = {0xFFEFEFEF, 0xFF000000, 0xFFFFFFFF, 0xFFFF0000, 0xFF00A000,
                             0xFF2040C0, 0xFFFFD050, 0xFF808080, 0xFF102030, 0xFFC0A0E0};

// Stripes moving in the top half (RLE8 runs, and moves over what stays) and noise new in each frame.
QList<QImage> drawnFrames(int count, QSize size, Encoding encoding)
{
    const int w = size.width(), h = size.height();
    QList<QImage> frames;
    for (int i = 0; i < count; ++i) {
        QRandomGenerator noise(100 + i);
        QImage frame(size, QImage::Format_Indexed8);
        frame.setColorTable(Colours);
        for (int p = 0; p < w * h; ++p) {
            const int stripe = p / w > h / 2 ? 0 : (p % w + 99 - i * 7) / 9 % 2 * 3;
            frame.setPixel(p % w, p / w, noise.bounded(20) == 0 ? noise.bounded(10) : stripe);
        }
        frames << (encoding == Encoding::Rgb24 || encoding == Encoding::Rgb32
                       ? frame.convertToFormat(QImage::Format_RGB32) : frame);
    }
    return frames;
}

QByteArray clipBytes(Encoding encoding, int frames = 3, QSize size = QSize(37, 11))
{
    return AviWriter::encode(drawnFrames(frames, size, encoding), 15, encoding);
}
quint32 get32(const QByteArray &b, qsizetype at) { return qFromLittleEndian<quint32>(b.constData() + at); }
void set32(QByteArray &b, qsizetype at, quint32 v) { qToLittleEndian(v, b.data() + at); }
QByteArray with32(QByteArray b, qsizetype at, quint32 v) { return set32(b, at, v), b; }

// The clip with the data of frame `index` replaced, and the sizes of RIFF and movi grown to match.
QByteArray withFrame(QByteArray clip, int index, const QByteArray &data)
{
    const char *id = clip.indexOf("00dc") >= 0 ? "00dc" : "00db";
    qsizetype chunk = clip.indexOf(id);
    for (int i = 0; i < index; ++i)
        chunk = clip.indexOf(id, chunk + 8 + get32(clip, chunk + 4));
    const quint32 oldSize = get32(clip, chunk + 4), oldLength = 8 + oldSize + (oldSize & 1);
    const QByteArray replacement = clip.mid(chunk, 4) + with32(QByteArray(4, 0), 0, quint32(data.size())) + data +
                                   QByteArray(data.size() & 1, '\0');
    const qint64 delta = replacement.size() - qint64(oldLength);
    for (const qsizetype at : {qsizetype(4), clip.indexOf("movi") - 4})
        set32(clip, at, quint32(get32(clip, at) + delta));
    return clip.replace(chunk, oldLength, replacement);
}

// The clip with its stream list twice: a second video stream.
QByteArray withSecondStream(QByteArray clip)
{
    const qsizetype list = clip.indexOf("strl") - 8;
    const QByteArray stream = clip.mid(list, 8 + get32(clip, list + 4));
    for (const qsizetype at : {qsizetype(4), clip.indexOf("hdrl") - 4})
        set32(clip, at, quint32(get32(clip, at) + stream.size()));
    return clip.insert(list + stream.size(), stream);
}

} // namespace

class TestAnimation : public QObject {
    Q_OBJECT

private slots:
    // Each encoding reads back as written: an odd width, lines longer than a run, a single pixel.
    void roundTrip()
    {
        for (const Encoding encoding : {Encoding::Rle8, Encoding::Rgb8, Encoding::Rgb24, Encoding::Rgb32})
            for (const QSize size : {QSize(37, 11), QSize(600, 7), QSize(1, 1)}) {
                const QList<QImage> frames = drawnFrames(6, size, encoding);
                const AviClip clip = AviClip::fromBytes(AviWriter::encode(frames, 100, encoding), "clip.avi");
                QVERIFY(clip.size() == size && clip.frameCount() == 6 && clip.frameIntervalUs() == 10000);
                for (int i = 0; i < frames.size(); ++i)
                    QCOMPARE(clip.frame(i), frames[i].convertToFormat(QImage::Format_RGB32));
            }
    }

    // Runs, literals, moves and line ends drawn bottom-up over the previous frame; an empty one repeats it.
    void decodesHandWrittenFrames()
    {
        QByteArray rle = clipBytes(Encoding::Rle8, 3, QSize(5, 3));
        rle = with32(rle, rle.indexOf("strf") + 40, 0); // no count of colours used: the palette fills its chunk
        rle = withFrame(rle, 0, QByteArray::fromHex("0301 0000 0003 020304 00 0002 0101 0105 0001"));
        rle = withFrame(rle, 1, QByteArray::fromHex("0002 0000 0106 0000 0000 0207"));
        const AviClip clip = AviClip::fromBytes(withFrame(rle, 2, {}), "hand.avi");
        QString rows;
        for (int i = 0; i < 15 * 3; ++i)
            rows += QString::number(Colours.indexOf(clip.frame(i / 15).pixel(i % 5, i % 15 / 5)));
        QCOMPARE(rows, QString("000052340011100" "770052340061100" "770052340061100"));
    }

    // Each bound is tried one past it; other hostile clips are the fuzz corpus's business.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const QByteArray rle = clipBytes(Encoding::Rle8), rgb = clipBytes(Encoding::Rgb8);
        const qsizetype bi = rle.indexOf("strf") + 8, idx1 = rle.lastIndexOf("idx1");
        const auto row = [](const char *tag, const QByteArray &bytes, const char *expected) {
            QTest::newRow(tag) << bytes << QString(expected);
        };
        row("width a pixel past the limit", with32(rle, bi + 4, AviClip::MaxSide + 1), "frame size");
        row("width of no pixel", with32(rle, bi + 4, 0), "frame size 0 x");
        row("palette of 257 colours", with32(rle, bi + 32, 257), "more than 256");
        row("index a byte past the end", with32(rle, idx1 + 4, quint32(rle.size() - idx1 - 8 + 1)), "declares");
        row("palette a colour past its chunk", with32(rle, bi + 32, (get32(rle, bi - 4) - get32(rle, bi)) / 4 + 1),
            "palette is truncated");
        row("frame a byte short", withFrame(rgb, 0, QByteArray(40 * 11 - 1, '\1')), "needs");
        row("rle run a pixel past the line", withFrame(rle, 0, QByteArray::fromHex("2601")), "past the end");
        row("rle literal a pixel past the line", withFrame(rle, 0, QByteArray::fromHex("1e01 0008 0102030405060708")),
            "past the end of a line");
        row("a sound stream", with32(rle, rle.indexOf("strh") + 8, qFromLittleEndian<quint32>("auds")), "has sound");
        row("no video stream", QByteArray(rle).replace("strl", "strx"), "no video stream");
        row("a second video stream", withSecondStream(rle), "more than one video stream");
        row("rle draws below the picture", withFrame(rle, 0, QByteArray::fromHex("0002 000b 0101")), "below");
        // Small files that would decode to more than the limits allow.
        QImage dot(1000, 1000, QImage::Format_Indexed8);
        dot.setColorTable(Colours);
        dot.fill(1);
        row("decoded size over the limit", AviWriter::encode(QList<QImage>(20, dot), 15, Encoding::Rle8), "64 MB");
        row("too many frames", AviWriter::encode(QList<QImage>(AviClip::MaxFrames + 1, dot.copy(0, 0, 1, 1)), 15,
                                                 Encoding::Rle8), "more than 10000 frames");
    }

    // A refused clip is a BadFileFormat error naming the file and the cause.
    void refused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        TempFolder tmp;
        writeFile(tmp.path("bad clip.avi"), bytes);
        const auto load = [&] { (void)AviClip::load(tmp.path("bad clip.avi")); };
        QCOMPARE(errorMismatch(load, ErrorNumber::BadFileFormat, {quotedPath(tmp.path("bad clip.avi")), expected}),
                 QString());
    }

    // A clip cut anywhere is refused; so are what is not a readable file, and a fifo, without waiting.
    void cutsAndFileErrors()
    {
        for (const QByteArray &clip : {clipBytes(Encoding::Rle8, 4), clipBytes(Encoding::Rgb24, 2, QSize(5, 3))})
            for (qsizetype cut = 0; cut < clip.size(); ++cut)
                QVERIFY_THROWS_EXCEPTION(Error, (void)AviClip::fromBytes(clip.left(cut), QStringLiteral("cut.avi")));
        TempFolder tmp;
        QCOMPARE(::mkfifo(QFile::encodeName(tmp.path("fifo.avi")).constData(), 0600), 0);
        for (const auto &[path, number] : {std::pair{tmp.path("missing/inside.avi"), long(ENOENT)}, {QString(), ENOENT},
                                           {tmp.path(), EISDIR}, {tmp.path("fifo.avi"), ErrorNumber::BadFileFormat}})
            QCOMPARE(errorMismatch([&] { (void)AviClip::load(path); }, number, {quotedPath(path)}), QString());
        writeFile(tmp.path("big.avi"), {}); // sparse, one byte over the limit
        QVERIFY(QFile::resize(tmp.path("big.avi"), AviClip::MaxFileBytes + 1));
        QCOMPARE(errorMismatch([&] { (void)AviClip::load(tmp.path("big.avi")); }, ErrorNumber::BadFileFormat,
                               {"the file is larger than 64 MB"}),
                 QString());
    }

    // The frame centred, its top-left colour see-through; it plays in order and loops; Stop and a failed Open keep it.
    void player()
    {
        QImage frame(20, 10, QImage::Format_Indexed8);
        frame.setColorTable(Colours);
        frame.fill(0);
        for (int p = 0; p < 18 * 6; ++p)
            frame.setPixel(1 + p % 18, 2 + p / 18, p % 18 < 9 ? 3 : 5);
        frame.setPixel(5, 5, 0); // a background-coloured hole
        TempFolder tmp;
        AviWriter::writeFile(tmp.path("c.avi"), {frame, frame.mirrored(), frame.mirrored(true, false)}, 100,
                             Encoding::Rle8);
        QWidget page;
        const QRgb green = qRgb(10, 200, 30);
        page.setPalette(QPalette(Qt::gray, QColor(green)));
        page.setAutoFillBackground(true);
        page.resize(200, 100);
        AnimationCtrl player(&page);
        player.setGeometry(20, 30, 100, 40);
        player.Stop(); // harmless without a clip
        QCOMPARE(errorMismatch([&] { player.Play(); }, ErrorNumber::InvalidArgument), QString());
        player.Open(tmp.path("c.avi"));
        const QImage shot = page.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QList<QRgb> seen; // the frame's top-left corner: 20 + (100 - 20) / 2, 30 + (40 - 10) / 2
        for (const QPoint at : {QPoint(1, 2), QPoint(18, 7), QPoint(0, 2), QPoint(1, 1), QPoint(5, 5), QPoint(19, 7)})
            seen << shot.pixel(QPoint(60, 45) + at);
        QCOMPARE(seen, QList<QRgb>({Colours[3], Colours[5], green, green, green, green}));

        QSignalSpy frames(&player, &AnimationCtrl::frameChanged);
        player.Play();
        QTRY_VERIFY(frames.size() >= 5);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(frames.at(i).at(0).toInt(), i % 3);
        player.Stop();
        const qsizetype shown = frames.size();
        QTest::qWait(50);
        QVERIFY(!player.isPlaying() && frames.size() == shown && player.currentFrame() == frames.last().at(0).toInt());
        player.Play();
        QCOMPARE(player.currentFrame(), 0); // again from the first frame
        writeFile(tmp.path("bad.avi"), "RIFF");
        QVERIFY_THROWS_EXCEPTION(Error, player.Open(tmp.path("bad.avi")));
        QVERIFY(player.isPlaying());
        // The clip built beside the program fits, plays at 15 frames a second, keeps one background.
        const QString built = appDir() + QLatin1Char('/') + Clips::FileCopy;
        errno = EINTR; // left by an earlier interrupted call: the reads of the clip must not take it for theirs
        player.Open(built);
        QVERIFY(!player.isPlaying() && player.currentFrame() == 0 && player.frameIntervalMs() == 67);
        QVERIFY(player.frameSize().width() <= 425 && player.frameSize().height() <= 81 && player.frameCount() > 10);
        const AviClip clip = AviClip::load(built);
        for (int i = 0; i < clip.frameCount(); ++i)
            QCOMPARE(clip.frame(i).pixel(0, 0), clip.frame(0).pixel(0, 0));
    }
};

QTEST_MAIN(TestAnimation)
#include "tst_animation.moc"
