// mkbackend: makes a back-end database file for tests, demonstrations and the benchmark.
//
//   mkbackend [--user NAME:PASSWORD]... [--users N] [--size-mb N] [--free-percent P] [--wal]
//             [--verbose] FILE
//
// Prints nothing on success unless --verbose; errors go to standard error (exit status 1; 2 for
// a wrong command line).
#include "backendmaker.h"
#include "platform/errors.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

int usageError(const QString &message)
{
    std::fprintf(stderr, "mkbackend: %s (see --help)\n", qPrintable(message));
    return 2;
}

// A whole number from text; false when it is not one or lies outside [min, max].
bool toNumber(const QString &text, qint64 min, qint64 max, qint64 &value)
{
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok && value >= min && value <= max;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Makes a back-end database file with a User table and, "
                                                    "optionally, business records and free pages."));
    parser.addHelpOption();
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Adds a user (repeatable)."),
                                  QStringLiteral("NAME:PASSWORD"));
    const QCommandLineOption users(QStringLiteral("users"), QStringLiteral("Adds N users USER000001/pw000001..."),
                                   QStringLiteral("N"));
    const QCommandLineOption size(QStringLiteral("size-mb"), QStringLiteral("Fills the file to about N MiB."),
                                  QStringLiteral("N"));
    const QCommandLineOption free(QStringLiteral("free-percent"),
                                  QStringLiteral("Deletes records until about P% of the pages are free (0-90)."),
                                  QStringLiteral("P"));
    const QCommandLineOption wal(QStringLiteral("wal"), QStringLiteral("Leaves the database in WAL mode."));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Prints what was made."));
    parser.addOptions({user, users, size, free, wal, verbose});
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The database file to create (must not exist)."));
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one FILE"));

    BackendMaker::Options options;
    for (const QString &value : parser.values(user)) {
        const qsizetype colon = value.indexOf(QLatin1Char(':'));
        if (colon < 0)
            return usageError(QStringLiteral("--user needs NAME:PASSWORD, not ") + value);
        options.users.append({value.left(colon), value.mid(colon + 1)});
    }
    qint64 number = 0;
    if (parser.isSet(users)) {
        if (!toNumber(parser.value(users), 0, 999999, number))
            return usageError(QStringLiteral("--users needs a number from 0 to 999999"));
        options.generatedUsers = int(number);
    }
    if (parser.isSet(size)) {
        if (!toNumber(parser.value(size), 0, qint64(1) << 22, number))
            return usageError(QStringLiteral("--size-mb needs a number of MiB"));
        options.sizeBytes = number << 20;
    }
    if (parser.isSet(free)) {
        if (!toNumber(parser.value(free), 0, 90, number))
            return usageError(QStringLiteral("--free-percent needs a number from 0 to 90"));
        options.freePercent = int(number);
    }
    options.wal = parser.isSet(wal);

    const QString path = parser.positionalArguments().constFirst();
    try {
        QElapsedTimer timer;
        timer.start();
        const BackendMaker::Summary made = BackendMaker::make(path, options);
        if (parser.isSet(verbose)) {
            std::printf("%s: %lld bytes, %lld pages of %lld bytes, %lld free (%.1f%%); %lld users, %lld customers, "
                        "%lld invoices, %lld invoice lines; %s mode; %.1f s\n",
                        qPrintable(path), made.fileBytes, made.pageCount, made.pageSize, made.freePages,
                        made.pageCount ? 100.0 * double(made.freePages) / double(made.pageCount) : 0.0, made.users,
                        made.customers, made.invoices, made.lines, options.wal ? "WAL" : "rollback-journal",
                        double(timer.elapsed()) / 1000.0);
        }
    } catch (const Error &error) {
        std::fprintf(stderr, "mkbackend: %s\n", qPrintable(error.message()));
        return 1;
    }
    return 0;
}
