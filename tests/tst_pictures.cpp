#include "resources/palette16.h"
#include "resources/pictures.h"

#include <QSet>
#include <QtTest>

namespace {

struct Coverage {
    double opaque = 0; // share of pixels that are not fully transparent
    int colours = 0;   // distinct colours among them
};

Coverage coverage(const QImage &image, const QRect &area)
{
    QSet<QRgb> colours;
    int opaque = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) > 0) {
                ++opaque;
                colours.insert(pixel);
            }
        }
    }
    return {double(opaque) / (area.width() * area.height()), int(colours.size())};
}

} // namespace

class TestPictures : public QObject {
    Q_OBJECT

private slots:
    void cabinets_data();
    void cabinets();
    void applicationIconSizes();
    void logo_data();
    void logo();
    void loginPicture();
};

void TestPictures::cabinets_data()
{
    QTest::addColumn<int>("size");
    for (const int size : {16, 24, 32, 48, 256})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

// Both cabinets at each size; at the icon's own size (32) only colours of the 16-colour palette.
void TestPictures::cabinets()
{
    QFETCH(int, size);
    using namespace Resources::Palette16;
    const QSet<QRgb> palette = {Black.rgb(), Maroon.rgb(), Olive.rgb(),  Navy.rgb(), Teal.rgb(),
                                Grey.rgb(),  Silver.rgb(), Yellow.rgb(), Aqua.rgb(), White.rgb()};
    const QImage open = Resources::cabinetOpen(size).toImage(), shut = Resources::cabinetShut(size).toImage();
    for (const QImage &image : {open, shut}) {
        QCOMPARE(image.size(), QSize(size, size));
        const Coverage c = coverage(image, image.rect());
        // A cabinet standing on a transparent ground: neither blank nor a filled square.
        QVERIFY2(c.opaque > 0.3 && c.opaque < 0.9, qPrintable(QString::number(c.opaque)));
        QVERIFY(c.colours >= 4);
        for (int y = 0; size == 32 && y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb pixel = image.pixel(x, y);
                QVERIFY2(qAlpha(pixel) == 0 || palette.contains(pixel),
                         qPrintable(QStringLiteral("(%1,%2) = #%3").arg(x).arg(y).arg(pixel, 8, 16, QLatin1Char('0'))));
            }
        }
    }
    // The pulled-out drawer shows in the lower half only, to the left of the cabinet's front.
    const int half = size / 2;
    QVERIFY(open.copy(0, half, size, size - half) != shut.copy(0, half, size, size - half));
    QCOMPARE(open.copy(0, 0, size, size / 4), shut.copy(0, 0, size, size / 4));
    const QRect leftStrip(0, half, size * 6 / 32, size - half);
    QVERIFY(coverage(open, leftStrip).opaque > coverage(shut, leftStrip).opaque);
}

void TestPictures::applicationIconSizes()
{
    const QIcon icon = Resources::applicationIcon();
    for (const int size : {16, 32, 48, 256})
        QVERIFY2(icon.availableSizes().contains(QSize(size, size)), qPrintable(QString::number(size)));
    // The 16-pixel picture is the icon's own, not the large one shrunk by the icon engine.
    QCOMPARE(icon.pixmap(16).toImage(), Resources::cabinetOpen(16).toImage());
}

void TestPictures::logo_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("its own size") << Resources::LogoSize;
    QTest::newRow("About dialog frame") << QSize(174, 59);
    QTest::newRow("login dialog frame") << QSize(78, 41);
}

void TestPictures::logo()
{
    QFETCH(QSize, size);
    const QImage image = Resources::logo(size).toImage();
    QCOMPARE(image.size(), size);
    // The emblem on the left third, the word mark on the right: both drawn, on a clear ground.
    const int third = size.width() / 3;
    const Coverage emblem = coverage(image, QRect(0, 0, third, size.height()));
    const Coverage words = coverage(image, QRect(third + 1, 0, size.width() - third - 1, size.height()));
    QVERIFY2(emblem.opaque > 0.15 && emblem.opaque < 0.8, qPrintable(QString::number(emblem.opaque)));
    QVERIFY2(words.opaque > 0.05 && words.opaque < 0.6, qPrintable(QString::number(words.opaque)));
    QVERIFY(words.colours >= 2);
}

void TestPictures::loginPicture()
{
    const QImage image = Resources::loginPicture().toImage();
    QCOMPARE(image.size(), QSize(240, 134));
    QCOMPARE(coverage(image, image.rect()).opaque, 1.0); // a picture with its own background
    // Not a plain background: the database, the padlock and the moon stand out from it.
    const QRgb navy = Resources::Palette16::Navy.rgb();
    int background = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            background += image.pixel(x, y) == navy;
    QVERIFY2(background < image.width() * image.height() * 3 / 4, qPrintable(QString::number(background)));
    QCOMPARE(Resources::loginPicture(QSize(480, 268)).size(), QSize(480, 268));
    QVERIFY(Resources::loginPicture(QSize(0, 10)).isNull());
}

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
