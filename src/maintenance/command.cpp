#include "maintenance/command.h"

#include "maintenance/maintenance.h"
#include "maintenance/schedule.h"
#include "operations/compaction.h"
#include "operations/paths.h"
#include "operations/restore.h"
#include "operations/verify.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/fs/files.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMap>
#include <QTextStream>

#include <mutex>

namespace Maintenance {
namespace {

const QString Help =
    QStringLiteral("Usage: tarvos-maintenance COMMAND ARGUMENTS...\n"
                   "Backs up, checks, restores and compacts a Tarvos Systems back-end database, as Tarvos Utility\n"
                   "does, from scripts and schedules.\n"
                   "\n"
                   "  backup DATABASE FOLDER [--keep N] [--keep-days D]\n"
                   "      Backs DATABASE up into FOLDER as NAMEddMMyyHHmmss.TVB (NAME: the database's file name\n"
                   "      without its extension), checks the backup, then removes the older backups of DATABASE\n"
                   "      in FOLDER but the newest N and those younger than D days. Only files named so that hold\n"
                   "      a backup of a database are ever removed.\n"
                   "  verify BACKUP\n"
                   "      Checks that BACKUP is complete and holds a database.\n"
                   "  restore BACKUP DATABASE\n"
                   "      Restores DATABASE from BACKUP; its content before goes to the safety copy beside it\n"
                   "      (NAMEyy.BAK, one per year).\n"
                   "  compact DATABASE\n"
                   "      Compacts DATABASE (through the temporary copy BACKNEW.MDB beside it).\n"
                   "  schedule DATABASE FOLDER --daily HH:MM [--keep N] [--keep-days D] [--print]\n"
                   "      Runs the backup above every day at HH:MM with a systemd timer of yours; a run missed\n"
                   "      while the machine was off runs at its next start. --print shows the timer and its\n"
                   "      service instead of installing them.\n"
                   "  schedule DATABASE --remove\n"
                   "      Removes the schedule of DATABASE.\n"
                   "\n"
                   "Exit status: 0 done, 1 refused or failed (the message says why), 2 wrong command line.\n");

// A command line read: the words that are not options, and the options with their values.
struct Line {
    QStringList words;
    QMap<QString, QString> options;
};

class UsageError {
public:
    explicit UsageError(QString text) : text(std::move(text)) {}
    QString text;
};

// The options each takes a value or not; anything else starting with "-" is refused ("--" ends them).
Line parse(const QStringList &args)
{
    static const QStringList withValue{QStringLiteral("--keep"), QStringLiteral("--keep-days"),
                                       QStringLiteral("--daily")};
    static const QStringList flags{QStringLiteral("--print"), QStringLiteral("--remove"), QStringLiteral("--help")};
    Line line;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (optionsEnded || !a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            line.words << a;
        } else if (a == QLatin1String("--")) {
            optionsEnded = true;
        } else if (withValue.contains(a)) {
            if (i + 1 >= args.size())
                throw UsageError(a + QStringLiteral(" needs a value"));
            line.options.insert(a, args[++i]);
        } else if (flags.contains(a)) {
            line.options.insert(a, QString());
        } else {
            throw UsageError(QStringLiteral("unknown option ") + a);
        }
    }
    return line;
}

void allowOnly(const Line &line, const QStringList &allowed, qsizetype words)
{
    for (auto it = line.options.cbegin(); it != line.options.cend(); ++it)
        if (!allowed.contains(it.key()))
            throw UsageError(it.key() + QStringLiteral(" does not go with ") + line.words.value(0));
    if (line.words.size() != words + 1)
        throw UsageError(line.words[0] + QStringLiteral(" takes %1 argument%2, not %3")
                                             .arg(words)
                                             .arg(words == 1 ? "" : "s")
                                             .arg(line.words.size() - 1));
}

int positive(const Line &line, const QString &option)
{
    if (!line.options.contains(option))
        return 0;
    bool ok = false;
    const int n = line.options[option].toInt(&ok);
    if (!ok || n < 1)
        throw UsageError(option + QStringLiteral(" needs a whole number of at least 1, not ") + line.options[option]);
    return n;
}

Retention::Rule ruleOf(const Line &line)
{
    return {positive(line, QStringLiteral("--keep")), positive(line, QStringLiteral("--keep-days"))};
}

// A bar on the terminal that one step's progress moves, redrawn when its percentage changes; the
// operations report from their own threads.
class Bar {
public:
    Bar(QTextStream &err, bool shown, const QString &label) : err_(err), shown_(shown), label_(label) {}
    // A bar left short (the step failed) ends its line before the message.
    ~Bar()
    {
        if (drawn_ >= 0 && drawn_ < 100)
            err_ << Qt::endl;
    }
    Bar(const Bar &) = delete;
    Bar &operator=(const Bar &) = delete;

    Operations::Observer observer()
    {
        Operations::Observer o;
        if (shown_)
            o.progress = [this](qint64 done, qint64 total) { draw(int(shareOf(done, total, 100))); };
        return o;
    }

private:
    void draw(int percent)
    {
        const std::lock_guard lock(mutex_);
        if (percent == drawn_)
            return;
        drawn_ = percent;
        const int filled = percent * Width / 100;
        err_ << '\r' << label_.leftJustified(10) << " [" << QString(filled, QLatin1Char('#'))
             << QString(Width - filled, QLatin1Char(' ')) << "] " << QString::number(percent).rightJustified(3) << '%'
             << (percent == 100 ? "\n" : "") << Qt::flush;
    }

    static constexpr int Width = 40;
    QTextStream &err_;
    bool shown_;
    QString label_;
    std::mutex mutex_;
    int drawn_ = -1;
};

QString absolute(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

// The compaction's temporary copy goes beside the database, in the current folder for a bare name.
QString compactTemp(const QString &database)
{
    return Paths::compactTempPath(Files::lastSeparator(database) < 0 ? QStringLiteral("./") + database : database);
}

int schedule(const Line &line, QTextStream &out)
{
    const QString database = absolute(line.words.value(1));
    if (line.options.contains(QStringLiteral("--remove"))) {
        allowOnly(line, {QStringLiteral("--remove")}, line.words.size() == 3 ? 2 : 1);
        Schedule::remove(database);
        out << "Schedule removed." << Qt::endl;
        return Done;
    }
    allowOnly(
        line,
        {QStringLiteral("--daily"), QStringLiteral("--keep"), QStringLiteral("--keep-days"), QStringLiteral("--print")},
        2);
    const QTime daily = QTime::fromString(line.options.value(QStringLiteral("--daily")), QStringLiteral("H:mm"));
    if (!daily.isValid())
        throw UsageError(QStringLiteral("schedule needs --daily HH:MM, a time of day such as 02:30"));
    const Schedule::Plan plan{QCoreApplication::applicationFilePath(), database, absolute(line.words[2]), daily,
                              ruleOf(line)};
    if (line.options.contains(QStringLiteral("--print"))) {
        const QString name = Schedule::unitName(database);
        out << "# " << name << ".service\n"
            << Schedule::serviceText(plan) << "\n# " << name << ".timer\n"
            << Schedule::timerText(plan) << Qt::flush;
        return Done;
    }
    Schedule::install(plan);
    out << "Backup scheduled daily at " << daily.toString(QStringLiteral("HH:mm")) << " ("
        << Schedule::unitName(database) << ".timer)." << Qt::endl;
    return Done;
}

int dispatch(const Line &line, QTextStream &out, QTextStream &err, bool progress)
{
    const QString command = line.words.value(0);
    if (command == QLatin1String("backup")) {
        allowOnly(line, {QStringLiteral("--keep"), QStringLiteral("--keep-days")}, 2);
        const Retention::Rule rule = ruleOf(line);
        BackupOutcome outcome;
        {
            Bar writing(err, progress, QStringLiteral("Backup")), checking(err, progress, QStringLiteral("Check"));
            outcome = backUpVerifyPrune(line.words[1], line.words[2], rule, Clock::now(), writing.observer(),
                                        checking.observer());
        }
        out << "Backup successful.\n" << outcome.backup << '\n';
        for (const QString &removed : outcome.removed)
            out << "Removed " << removed << '\n';
        out.flush();
        return Done;
    }
    if (command == QLatin1String("verify")) {
        allowOnly(line, {}, 1);
        {
            Bar checking(err, progress, QStringLiteral("Check"));
            Operations::verify(line.words[1], checking.observer());
        }
        out << "Backup verified." << Qt::endl;
        return Done;
    }
    if (command == QLatin1String("restore")) {
        allowOnly(line, {}, 2);
        {
            Bar restoring(err, progress, QStringLiteral("Restore"));
            Operations::restore(line.words[1], line.words[2], Clock::now().date(), restoring.observer());
        }
        out << "Restore successful." << Qt::endl;
        return Done;
    }
    if (command == QLatin1String("compact")) {
        allowOnly(line, {}, 1);
        {
            Bar compacting(err, progress, QStringLiteral("Compact"));
            Operations::compact(line.words[1], compactTemp(line.words[1]), compacting.observer());
        }
        out << "Database compacted." << Qt::endl;
        return Done;
    }
    if (command == QLatin1String("schedule"))
        return schedule(line, out);
    throw UsageError(command.isEmpty() ? QStringLiteral("no command given")
                                       : QStringLiteral("unknown command ") + command);
}

} // namespace

int run(const QStringList &args, QTextStream &out, QTextStream &err, bool progress)
{
    try {
        const Line line = parse(args);
        if (line.options.contains(QStringLiteral("--help"))) {
            out << Help << Qt::flush;
            return Done;
        }
        return dispatch(line, out, err, progress);
    } catch (const UsageError &e) {
        err << "tarvos-maintenance: " << e.text << "\nTry 'tarvos-maintenance --help'." << Qt::endl;
        return Usage;
    } catch (const Error &e) {
        // A missing file is named the window's way: its path and " not found.".
        err << (dynamic_cast<const Operations::NotFound *>(&e) ? e.description() : e.message()) << Qt::endl;
        return Failed;
    } catch (const std::exception &e) {
        err << asError(e).message() << Qt::endl;
        return Failed;
    }
}

} // namespace Maintenance
