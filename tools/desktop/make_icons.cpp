// Writes the application icon as PNG files, one folder per size: make-icons DIR SIZE...
#include "resources/pictures.h"

#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: make-icons DIR SIZE...\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QIcon icon = Resources::applicationIcon();
    for (int i = 2; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        const QString folder = dir + QLatin1Char('/') + QString::number(size);
        const QPixmap pixmap = icon.pixmap(size, size);
        if (size <= 0 || !QDir().mkpath(folder) || pixmap.width() != size
            || !pixmap.save(folder + QStringLiteral("/tarvos-utility.png"))) {
            std::fprintf(stderr, "make-icons: cannot write the %s pixel icon in %s\n", argv[i], argv[1]);
            return 1;
        }
    }
    return 0;
}
