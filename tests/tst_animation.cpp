#include "aviwriter.h"
#include "clipart.h"
#include "errorcheck.h"
#include "platform/animation/animationctrl.h"
#include "platform/animation/aviclip.h"
#include "resources/clips.h"
#include "testsupport.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

using namespace TestSupport;
using AviWriter::Encoding;

Q_DECLARE_METATYPE(AviWriter::Encoding)

namespace {

const QList<QRgb> Colours = {0xFFEFEFEF, 0xFF000000, 0xFFFFFFFF, 0xFFFF0000, 0xFF00A000,
                             0xFF2040C0, 0xFFFFD050, 0xFF808080, 0xFF102030, 0xFFC0A0E0};

// Frames drawn with QPainter (a block that moves, a fixed ellipse) and sprinkled with noise, some
// of it the same in every frame and some new each frame, so the RLE8 encoder uses runs, literal
// stretches and moves over unchanged pixels.
QList<QImage> drawnFrames(int count, QSize size, Encoding encoding)
{
    QList<QImage> frames;
    QRandomGenerator fixedNoise(7);
    QList<QPoint> fixedPoints;
    for (int k = 0; k < size.width() * size.height() / 12; ++k)
        fixedPoints << QPoint(fixedNoise.bounded(size.width()), fixedNoise.bounded(size.height()));
    for (int i = 0; i < count; ++i) {
        QImage rgb(size, QImage::Format_RGB32);
        rgb.fill(Colours[0]);
        QPainter p(&rgb);
        p.fillRect(QRect((i * 7) % size.width(), 1, 9, size.height() / 2 + 1), QColor(Colours[3]));
        p.setPen(QColor(Colours[1]));
        p.setBrush(QColor(Colours[6]));
        p.drawEllipse(QRect(size.width() / 3, 0, size.width() / 3, size.height() - 1));
        p.end();
        QImage frame = rgb.convertToFormat(QImage::Format_Indexed8, Colours, Qt::ThresholdDither);
        QRandomGenerator noise(100 + i);
        for (const QPoint &pt : fixedPoints)
            frame.setPixel(pt, 9);
        for (int k = 0; k < size.width() * size.height() / 20; ++k)
            frame.setPixel(noise.bounded(size.width()), noise.bounded(size.height()), noise.bounded(10));
        if (encoding == Encoding::Rgb24 || encoding == Encoding::Rgb32) {
            frame = frame.convertToFormat(QImage::Format_RGB32);
            for (int k = 0; k < size.width(); ++k)
                frame.setPixel(noise.bounded(size.width()), noise.bounded(size.height()),
                               noise.generate() | 0xFF000000);
        }
        frames << frame;
    }
    return frames;
}

QByteArray clipBytes(Encoding encoding, int frames = 3, QSize size = QSize(37, 11), int fps = 15)
{
    return AviWriter::encode(drawnFrames(frames, size, encoding), fps, encoding);
}

quint32 get32(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}

void set32(QByteArray &b, qsizetype at, quint32 v)
{
    qToLittleEndian(v, b.data() + at);
}

// Where the data of the first chunk or list named id begins.
qsizetype dataOf(const QByteArray &b, const char *id)
{
    const qsizetype at = b.indexOf(id);
    Q_ASSERT(at >= 0);
    return (QByteArray(id) == "movi" || QByteArray(id) == "hdrl" || QByteArray(id) == "strl") ? at + 4 : at + 8;
}

// Where the first list of the given type ends.
qsizetype endOfList(const QByteArray &b, const char *type)
{
    const qsizetype at = b.indexOf(type);
    return at + get32(b, at - 4);
}

// Replaces `length` bytes at `at` by `with`, and grows or shrinks by as much the size fields of
// the lists that hold them (their size fields sit just before their type).
QByteArray splice(QByteArray b, qsizetype at, qsizetype length, const QByteArray &with, QList<const char *> lists)
{
    const qint64 delta = with.size() - length;
    set32(b, 4, quint32(get32(b, 4) + delta));
    for (const char *list : lists)
        set32(b, b.indexOf(list) - 4, quint32(get32(b, b.indexOf(list) - 4) + delta));
    return b.replace(at, length, with);
}

// The clip with the data of frame `index` replaced by data.
QByteArray withFrame(const QByteArray &clip, int index, const QByteArray &data)
{
    const char *id = clip.indexOf("00dc") >= 0 ? "00dc" : "00db";
    qsizetype chunk = clip.indexOf(id);
    for (int i = 0; i < index; ++i)
        chunk = clip.indexOf(id, chunk + 8 + get32(clip, chunk + 4));
    const quint32 oldSize = get32(clip, chunk + 4);
    QByteArray replacement = clip.mid(chunk, 4);
    replacement.resize(8);
    set32(replacement, 4, quint32(data.size()));
    replacement += data;
    if (data.size() & 1)
        replacement += '\0';
    return splice(clip, chunk, 8 + oldSize + (oldSize & 1), replacement, {"movi"});
}

} // namespace

class TestAnimation : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void decodesByTheFormat();
    void builtClips_data();
    void builtClips();
    void malformed_data();
    void malformed();
    void truncationsAreRefused();
    void fileErrors();
    void playerDrawsFrameCentredOnTheWindowBackground();
    void playerPlaysStopsAndReopens();
};

void TestAnimation::roundTrip_data()
{
    QTest::addColumn<Encoding>("encoding");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("fps");
    for (const auto &[name, encoding] : {std::pair{"rle8", Encoding::Rle8}, std::pair{"rgb8", Encoding::Rgb8},
                                         std::pair{"rgb24", Encoding::Rgb24}, std::pair{"rgb32", Encoding::Rgb32}}) {
        QTest::addRow("%s odd width", name) << encoding << QSize(37, 11) << 15;
        QTest::addRow("%s wider than a run", name) << encoding << QSize(600, 7) << 100;
        QTest::addRow("%s one pixel", name) << encoding << QSize(1, 1) << 1;
    }
}

// A clip written in each encoding reads back with the same size, rate and pixels.
void TestAnimation::roundTrip()
{
    QFETCH(Encoding, encoding);
    QFETCH(QSize, size);
    QFETCH(int, fps);
    TempFolder tmp;
    const QList<QImage> frames = drawnFrames(6, size, encoding);
    AviWriter::writeFile(tmp.path("clip.avi"), frames, fps, encoding);
    const AviClip clip = AviClip::load(tmp.path("clip.avi"));
    QCOMPARE(clip.size(), size);
    QCOMPARE(clip.frameCount(), 6);
    QCOMPARE(clip.frameIntervalUs(), 1000000 / fps);
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(clip.frame(i), frames[i].convertToFormat(QImage::Format_RGB32));
}

// Frames written by hand, not by our writer: RLE8 runs, literals, moves and line ends drawn
// bottom-up over the previous frame, and a 24-bit frame with padded bottom-up rows.
void TestAnimation::decodesByTheFormat()
{
    const auto rows = [](const QImage &image) {
        QStringList text;
        for (int y = 0; y < image.height(); ++y) {
            QString row;
            for (int x = 0; x < image.width(); ++x)
                row += QString::number(Colours.indexOf(image.pixel(x, y)));
            text << row;
        }
        return text.join(' ');
    };
    QByteArray rle = clipBytes(Encoding::Rle8, 3, QSize(5, 3));
    rle = withFrame(rle, 0, QByteArray::fromHex("0301 0000 0003 020304 00 0002 0101 0105 0001"));
    rle = withFrame(rle, 1, QByteArray::fromHex("0002 0000 0106 0000 0000 0207"));
    rle = withFrame(rle, 2, QByteArray());
    const AviClip clip = AviClip::fromBytes(rle, "hand.avi");
    QCOMPARE(rows(clip.frame(0)), QString("00005 23400 11100"));
    QCOMPARE(rows(clip.frame(1)), QString("77005 23400 61100"));
    QCOMPARE(rows(clip.frame(2)), QString("77005 23400 61100"));

    QByteArray rgb = clipBytes(Encoding::Rgb24, 1, QSize(2, 2));
    rgb = withFrame(rgb, 0, QByteArray::fromHex("010203 040506 0000 0a0b0c 0d0e0f 0000"));
    const AviClip rgbClip = AviClip::fromBytes(rgb, "hand24.avi");
    QCOMPARE(rgbClip.frame(0).pixel(0, 1), qRgb(3, 2, 1));
    QCOMPARE(rgbClip.frame(0).pixel(1, 1), qRgb(6, 5, 4));
    QCOMPARE(rgbClip.frame(0).pixel(0, 0), qRgb(0x0c, 0x0b, 0x0a));
    QCOMPARE(rgbClip.frame(0).pixel(1, 0), qRgb(0x0f, 0x0e, 0x0d));
    // A negative height stores the rows top-down.
    set32(rgb, dataOf(rgb, "strf") + 8, quint32(-2));
    const AviClip topDown = AviClip::fromBytes(rgb, "down24.avi");
    QCOMPARE(topDown.frame(0).pixel(0, 0), qRgb(3, 2, 1));
    QCOMPARE(topDown.frame(0).pixel(1, 1), qRgb(0x0f, 0x0e, 0x0d));
}

void TestAnimation::builtClips_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("copy") << Clips::FileCopy;
    QTest::newRow("squeeze") << Clips::FileDelete;
}

// The clips the build places beside the executable open, fit the player's area, move, and keep
// one background colour in their top-left corner.
void TestAnimation::builtClips()
{
    QFETCH(QString, name);
    const AviClip clip = AviClip::load(appDir() + QLatin1Char('/') + name);
    QVERIFY(clip.size().width() <= 425 && clip.size().height() <= 81);
    QVERIFY(clip.frameCount() >= 15 && clip.frameCount() <= 30);
    QCOMPARE(qRound(clip.framesPerSecond()), 15);
    QVERIFY(clip.frame(0) != clip.frame(clip.frameCount() / 2));
    for (int i = 0; i < clip.frameCount(); ++i)
        QCOMPARE(clip.frame(i).pixel(0, 0), clip.frame(0).pixel(0, 0));
    // Drawn as the generator drew them.
    const QList<QImage> drawn = name == Clips::FileCopy ? ClipArt::fileCopyFrames() : ClipArt::fileSqueezeFrames();
    QCOMPARE(clip.frame(7), drawn[7].convertToFormat(QImage::Format_RGB32));
}

void TestAnimation::malformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QByteArray rle = clipBytes(Encoding::Rle8), rgb = clipBytes(Encoding::Rgb8),
                     rgb24 = clipBytes(Encoding::Rgb24);
    const qsizetype bi = dataOf(rle, "strf"), avih = dataOf(rle, "avih"), strh = dataOf(rle, "strh");
    QByteArray b;
    const auto withFrame0 = [](const QByteArray &clip, const QByteArray &data) { return withFrame(clip, 0, data); };
    const qsizetype strl = rle.indexOf("strl") - 8, strlSize = endOfList(rle, "strl") - strl;

    QTest::newRow("empty file") << QByteArray() << "not an AVI clip";
    QTest::newRow("wave file") << QByteArray(rle).replace(8, 4, "WAVE") << "not an AVI clip";
    QTest::newRow("riff size too small") << (b = rle, set32(b, 4, 2), b) << "not an AVI clip";
    QTest::newRow("truncated") << rle.left(rle.size() / 2) << "truncated";
    QTest::newRow("riff size huge") << (b = rle, set32(b, 4, 0xFFFFFFF0u), b) << "truncated";
    QTest::newRow("no header list") << QByteArray(rle).replace("hdrl", "xxxx") << "no header list";
    QTest::newRow("no frame list") << QByteArray(rle).replace("movi", "xxxx") << "no frame list";
    QTest::newRow("no frames") << QByteArray(rle).replace("00dc", "01wb") << "no frames";
    QTest::newRow("main header short") << (b = rle, set32(b, avih - 4, 20), b) << "main header is too short";
    QTest::newRow("frame chunk size huge") << (b = rle, set32(b, b.indexOf("00dc") + 4, 0xFFFFFFF0u), b) << "declares";
    QTest::newRow("list size huge") << (b = rle, set32(b, b.indexOf("strl") - 4, 0x7FFFFFFFu), b) << "declares";
    QTest::newRow("zero frame rate") << (b = rle, set32(b, avih, 0), set32(b, strh + 24, 0), b) << "frame rate is zero";
    QTest::newRow("a frame an age") << (b = rle, set32(b, avih, 0xFFFFFFFFu), b) << "less than one frame an hour";
    QTest::newRow("audio stream instead of video") << QByteArray(rle).replace("vids", "auds") << "sound";
    QTest::newRow("text stream") << QByteArray(rle).replace("vids", "txts") << "\"txts\"";
    QTest::newRow("two video streams") << splice(rle, strl + strlSize, 0, rle.mid(strl, strlSize), {"hdrl"})
                                       << "more than one video stream";
    QTest::newRow("width zero") << (b = rle, set32(b, bi + 4, 0), b) << "frame size";
    QTest::newRow("width huge") << (b = rle, set32(b, bi + 4, 100000), b) << "frame size";
    QTest::newRow("height huge") << (b = rle, set32(b, bi + 8, 0x7FFFFFFF), b) << "frame size";
    QTest::newRow("height most negative")
        << (b = rgb, set32(b, dataOf(rgb, "strf") + 8, 0x80000000u), b) << "frame size";
    QTest::newRow("top-down RLE8") << (b = rle, set32(b, bi + 8, quint32(-11)), b) << "cannot play";
    // One plane of 16 bits.
    QTest::newRow("16 bits") << (b = rle, set32(b, bi + 12, 1 | (16 << 16)), b) << "cannot play";
    QTest::newRow("jpeg frames") << (b = rle, b.replace(bi + 16, 4, "MJPG"), b) << "MJPG";
    QTest::newRow("bitmap header size wrong") << (b = rle, set32(b, bi, 4000), b) << "header size";
    QTest::newRow("palette too large") << (b = rle, set32(b, bi + 32, 1000), b) << "more than 256";
    QTest::newRow("palette truncated") << (b = rle, set32(b, bi + 32, 200), b) << "palette is truncated";
    QTest::newRow("uncompressed frame short") << withFrame0(rgb, QByteArray(40, '\1')) << "needs";
    // One past each bound: a frame of 11 lines of 40 bytes, the index chunk that ends the file,
    // the palette that fills its chunk.
    QTest::newRow("uncompressed frame a byte short") << withFrame0(rgb, QByteArray(40 * 11 - 1, '\1')) << "needs";
    const qsizetype idx1 = rle.lastIndexOf("idx1");
    QTest::newRow("index a byte past the end") << (b = rle, set32(b, idx1 + 4, quint32(b.size() - idx1 - 8 + 1)), b)
                                               << "declares";
    QTest::newRow("palette a colour past its chunk")
        << (b = rle, set32(b, bi + 32, (get32(b, bi - 4) - get32(b, bi)) / 4 + 1), b) << "palette is truncated";
    QTest::newRow("24-bit frame short") << withFrame0(rgb24, QByteArray(100, '\1')) << "needs";
    QTest::newRow("rle run past line") << withFrame0(rle, QByteArray::fromHex("3001")) << "past the end of a line";
    QTest::newRow("rle literal past line")
        << withFrame0(rle, QByteArray::fromHex("1e01 0008 0102030405060708")) << "past the end of a line";
    QTest::newRow("rle literal truncated") << withFrame0(rle, QByteArray::fromHex("0008 010203")) << "ends inside";
    QTest::newRow("rle move truncated") << withFrame0(rle, QByteArray::fromHex("0002 05")) << "ends inside a move";
    QTest::newRow("rle move right out") << withFrame0(rle, QByteArray::fromHex("0002 2600")) << "moves outside";
    QTest::newRow("rle move up out") << withFrame0(rle, QByteArray::fromHex("0002 000c")) << "moves outside";
    QTest::newRow("rle draws below picture") << withFrame0(rle, QByteArray::fromHex("0002 000b 0101")) << "below";
    QTest::newRow("rle lines past picture") << withFrame0(rle, QByteArray(40, '\0')) << "past the last line";
    // A small file that would decode to far more than the limit, and one with too many frames.
    const QImage big = QImage(1000, 1000, QImage::Format_Indexed8);
    QList<QImage> bigFrames(20, [&] {
        QImage f = big;
        f.setColorTable(Colours);
        f.fill(0);
        return f;
    }());
    QTest::newRow("decoded size over the limit") << AviWriter::encode(bigFrames, 15, Encoding::Rle8) << "MB";
    QImage dot(1, 1, QImage::Format_Indexed8);
    dot.setColorTable(Colours);
    dot.fill(1);
    QTest::newRow("too many frames") << AviWriter::encode(QList<QImage>(AviClip::MaxFrames + 1, dot), 15,
                                                          Encoding::Rle8)
                                     << "more than 10000 frames";
}

// Every malformed clip is refused with BadFileFormat, naming the file and the cause.
void TestAnimation::malformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    TempFolder tmp;
    const QString path = tmp.path("bad clip.avi");
    writeFile(path, bytes);
    try {
        const AviClip clip = AviClip::load(path);
        QFAIL("a malformed clip was accepted");
    } catch (const Error &e) {
        QCOMPARE(e.number(), ErrorNumber::BadFileFormat);
        QVERIFY2(e.description().contains(quotedPath(path)), qPrintable(e.description()));
        QVERIFY2(e.description().contains(expected), qPrintable(e.description()));
    }
}

// Every truncation of a clip is refused (arbitrary corruptions are the fuzz corpus's business).
void TestAnimation::truncationsAreRefused()
{
    for (const QByteArray &clip : {clipBytes(Encoding::Rle8, 4), clipBytes(Encoding::Rgb24, 2, QSize(5, 3))}) {
        for (qsizetype cut = 0; cut < clip.size(); ++cut)
            QVERIFY_THROWS_EXCEPTION(Error, (void)AviClip::fromBytes(clip.left(cut), QStringLiteral("cut.avi")));
    }
}

void TestAnimation::fileErrors()
{
    TempFolder tmp;
    QCOMPARE(::mkfifo(QFile::encodeName(tmp.path("fifo.avi")).constData(), 0600), 0);
    writeFile(tmp.path("locked.avi"), clipBytes(Encoding::Rle8));
    QVERIFY(QFile::setPermissions(tmp.path("locked.avi"), QFileDevice::Permissions()));
    const auto numberOf = [](const QString &path) {
        const std::optional<Error> e = errorFrom([&] { (void)AviClip::load(path); });
        return !e ? 0 : e->description().contains(quotedPath(path)) ? e->number() : -e->number();
    };
    QCOMPARE(numberOf(tmp.path("missing.avi")), long(ENOENT));
    QCOMPARE(numberOf(QString()), long(ENOENT));
    QCOMPARE(numberOf(tmp.path()), long(EISDIR));
    QCOMPARE(numberOf(tmp.path("missing/inside.avi")), long(ENOENT));
    QCOMPARE(numberOf(tmp.path("fifo.avi")), ErrorNumber::BadFileFormat); // no wait for a writer
    if (!runningAsRoot())
        QCOMPARE(numberOf(tmp.path("locked.avi")), long(EACCES));
}

// Nothing shows before a clip is opened; then the frame stands in the middle of the player, its
// background colour (the top-left pixel's) showing the window's background instead.
void TestAnimation::playerDrawsFrameCentredOnTheWindowBackground()
{
    QImage frame(20, 10, QImage::Format_Indexed8);
    frame.setColorTable(Colours);
    frame.fill(0);
    for (int y = 2; y < 8; ++y)
        for (int x = 1; x < 19; ++x)
            frame.setPixel(x, y, x < 10 ? 3 : 5);
    frame.setPixel(5, 5, 0); // a background-coloured hole
    TempFolder tmp;
    AviWriter::writeFile(tmp.path("c.avi"), {frame}, 15, Encoding::Rle8);

    QWidget page;
    QPalette palette = page.palette();
    const QRgb green = qRgb(10, 200, 30);
    palette.setColor(QPalette::Window, green);
    page.setPalette(palette);
    page.setAutoFillBackground(true);
    page.resize(200, 100);
    AnimationCtrl player(&page);
    player.setGeometry(20, 30, 100, 40);
    QCOMPARE(player.focusPolicy(), Qt::NoFocus);
    QCOMPARE(player.currentFrame(), -1);
    player.Stop(); // harmless without a clip
    QCOMPARE(errorMismatch([&] { player.Play(); }, ErrorNumber::InvalidArgument), QString());
    QVERIFY(!player.isPlaying());
    const QImage blank = page.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QImage plain(blank.size(), QImage::Format_RGB32);
    plain.fill(green);
    QCOMPARE(blank, plain);

    player.Open(tmp.path("c.avi"));
    QCOMPARE(player.currentFrame(), 0);
    const QImage shot = page.grab().toImage().convertToFormat(QImage::Format_RGB32);
    // The frame's top-left corner: 20 + (100 - 20) / 2, 30 + (40 - 10) / 2.
    const QPoint origin(60, 45);
    QCOMPARE(shot.pixel(origin + QPoint(2, 3)), Colours[3]);
    QCOMPARE(shot.pixel(origin + QPoint(15, 6)), Colours[5]);
    QCOMPARE(shot.pixel(origin + QPoint(1, 2)), Colours[3]);
    QCOMPARE(shot.pixel(origin + QPoint(0, 2)), green);
    QCOMPARE(shot.pixel(origin + QPoint(1, 1)), green);
    QCOMPARE(shot.pixel(origin + QPoint(5, 5)), green);
    QCOMPARE(shot.pixel(origin + QPoint(18, 7)), Colours[5]);
    QCOMPARE(shot.pixel(origin + QPoint(19, 7)), green);
    QCOMPARE(shot.pixel(5, 5), green);
}

// Plays in order and loops, also inside a nested event loop; Stop holds the frame; Open replaces.
void TestAnimation::playerPlaysStopsAndReopens()
{
    TempFolder tmp;
    AviWriter::writeFile(tmp.path("fast.avi"), drawnFrames(3, QSize(12, 6), Encoding::Rle8), 100, Encoding::Rle8);
    AnimationCtrl player;
    player.resize(425, 81);
    player.Open(tmp.path("fast.avi"));
    QCOMPARE(player.frameCount(), 3);
    QCOMPARE(player.frameIntervalMs(), 10);
    QVERIFY(!player.isPlaying());
    QSignalSpy frames(&player, &AnimationCtrl::frameChanged);
    player.Play();
    QVERIFY(player.isPlaying());
    // Played in order, and round again from the last frame to the first.
    QTRY_VERIFY(frames.size() >= 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(frames.at(i).at(0).toInt(), i % 3);

    // It plays on while a nested event loop waits (as during a long operation).
    const qsizetype before = frames.size();
    QEventLoop nested;
    connect(&player, &AnimationCtrl::frameChanged, &nested, [&] {
        if (frames.size() >= before + 4)
            nested.quit();
    });
    QTimer::singleShot(5000, &nested, [&] { nested.exit(1); });
    QCOMPARE(nested.exec(), 0);

    player.Stop();
    QVERIFY(!player.isPlaying());
    const int stoppedAt = player.currentFrame();
    const qsizetype shown = frames.size();
    QCoreApplication::processEvents();
    QCOMPARE(frames.size(), shown);
    QCOMPARE(player.currentFrame(), stoppedAt); // the frame stays shown
    player.Stop();                              // twice is harmless
    QVERIFY(!player.isPlaying());
    // Play again starts from the first frame.
    player.Play();
    QCOMPARE(player.currentFrame(), 0);

    // Open while playing replaces the clip and stops; a failed Open keeps the clip it had.
    AviWriter::writeFile(tmp.path("b.avi"), drawnFrames(5, QSize(30, 8), Encoding::Rgb8), 15, Encoding::Rgb8);
    writeFile(tmp.path("bad.avi"), "RIFF");
    player.Open(tmp.path("b.avi"));
    QVERIFY(!player.isPlaying());
    QCOMPARE(player.currentFrame(), 0);
    QCOMPARE(player.frameCount(), 5);
    QCOMPARE(player.frameSize(), QSize(30, 8));
    QCOMPARE(player.frameIntervalMs(), 67);
    for (const QString &bad : {tmp.path("missing.avi"), tmp.path("bad.avi"), tmp.path()})
        QVERIFY_THROWS_EXCEPTION(Error, player.Open(bad));
    QCOMPARE(player.clipPath(), tmp.path("b.avi"));
    QCOMPARE(player.frameCount(), 5);
    player.Play();
    QVERIFY(player.isPlaying());
    player.Stop();
}

QTEST_MAIN(TestAnimation)
#include "tst_animation.moc"
