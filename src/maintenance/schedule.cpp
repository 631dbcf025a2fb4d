#include "maintenance/schedule.h"

#include "platform/errors.h"
#include "platform/process/process.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cerrno>

namespace Schedule {
namespace {

// text as one argument of a unit's command line: in double quotes, with the quoting's own escapes
// and systemd's "%" and "$" doubled so that neither is expanded.
QString quotedArgument(const QString &text)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%') || c == QLatin1Char('$'))
            quoted += c;
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// text in a unit's Description: "%" doubled.
QString describedText(const QString &text)
{
    return QString(text).replace(QLatin1Char('%'), QStringLiteral("%%"));
}

void refuseControlCharacters(const QString &path)
{
    for (const QChar c : path)
        if (c.category() == QChar::Other_Control)
            throw Error(ErrorNumber::InvalidArgument,
                        quotedPath(path) + QStringLiteral(" holds a control character, which a schedule cannot hold"));
}

void systemctl(const QStringList &args, const QString &action)
{
    QString errors;
    const int status = Process::run(QStringLiteral("systemctl"), QStringList{QStringLiteral("--user")} + args, errors);
    if (status != 0)
        throw Error(status, action + QStringLiteral(": systemctl --user ") + args.join(QLatin1Char(' ')) +
                                QStringLiteral(" failed") +
                                (errors.isEmpty() ? QString() : QStringLiteral(": ") + errors));
}

void writeUnit(const QString &path, const QString &text, const QString &action)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        throw Error(EIO, action + QStringLiteral(": cannot write ") + quotedPath(path) + QStringLiteral(": ") +
                             file.errorString());
}

} // namespace

QString unitName(const QString &database)
{
    QString name = database.mid(database.lastIndexOf(QLatin1Char('/')) + 1);
    if (const qsizetype dot = name.lastIndexOf(QLatin1Char('.')); dot > 0)
        name.truncate(dot);
    for (QChar &c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    const QByteArray hash = QCryptographicHash::hash(database.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("tarvos-backup-") + name + QLatin1Char('-') + QString::fromLatin1(hash.left(8));
}

QString serviceText(const Plan &plan)
{
    refuseControlCharacters(plan.database);
    refuseControlCharacters(plan.folder);
    QStringList command{plan.program, QStringLiteral("backup"), plan.database, plan.folder};
    if (plan.rule.keep > 0)
        command << QStringLiteral("--keep") << QString::number(plan.rule.keep);
    if (plan.rule.keepDays > 0)
        command << QStringLiteral("--keep-days") << QString::number(plan.rule.keepDays);
    QStringList quoted;
    for (const QString &argument : command)
        quoted << quotedArgument(argument);
    return QStringLiteral("[Unit]\nDescription=Tarvos Utility: backup of %1 into %2\n\n"
                          "[Service]\nType=oneshot\nExecStart=%3\n"
                          "# In the background: the business application keeps the disk first.\n"
                          "Nice=10\nIOSchedulingClass=idle\n")
        .arg(describedText(plan.database), describedText(plan.folder), quoted.join(QLatin1Char(' ')));
}

QString timerText(const Plan &plan)
{
    refuseControlCharacters(plan.database);
    return QStringLiteral("[Unit]\nDescription=Tarvos Utility: daily backup of %1\n\n"
                          "[Timer]\nOnCalendar=*-*-* %2\n"
                          "# A run missed while the machine was off runs at its next start.\nPersistent=true\n"
                          "Unit=%3.service\n\n[Install]\nWantedBy=timers.target\n")
        .arg(describedText(plan.database), plan.daily.toString(QStringLiteral("HH:mm:00")), unitName(plan.database));
}

QString unitFolder()
{
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    return (config.startsWith(QLatin1Char('/')) ? config : QDir::homePath() + QStringLiteral("/.config")) +
           QStringLiteral("/systemd/user");
}

void install(const Plan &plan)
{
    const QString name = unitName(plan.database), folder = unitFolder();
    const QString action = QStringLiteral("Cannot schedule the backup of ") + quotedPath(plan.database);
    const QString service = serviceText(plan), timer = timerText(plan);
    if (!QDir().mkpath(folder))
        throw Error(EACCES, action + QStringLiteral(": cannot make the folder ") + quotedPath(folder));
    writeUnit(folder + QLatin1Char('/') + name + QStringLiteral(".service"), service, action);
    writeUnit(folder + QLatin1Char('/') + name + QStringLiteral(".timer"), timer, action);
    systemctl({QStringLiteral("daemon-reload")}, action);
    systemctl({QStringLiteral("enable"), QStringLiteral("--now"), name + QStringLiteral(".timer")}, action);
}

void remove(const QString &database)
{
    const QString name = unitName(database), folder = unitFolder();
    const QString action = QStringLiteral("Cannot remove the schedule of ") + quotedPath(database);
    const QString timer = folder + QLatin1Char('/') + name + QStringLiteral(".timer");
    if (!QFile::exists(timer))
        throw Error(ENOENT, action + QStringLiteral(": there is none (no ") + quotedPath(timer) + QLatin1Char(')'));
    systemctl({QStringLiteral("disable"), QStringLiteral("--now"), name + QStringLiteral(".timer")}, action);
    for (const QString &unit : {timer, folder + QLatin1Char('/') + name + QStringLiteral(".service")})
        if (!QFile::remove(unit) && QFile::exists(unit))
            throw Error(EACCES, action + QStringLiteral(": cannot remove ") + quotedPath(unit));
    systemctl({QStringLiteral("daemon-reload")}, action);
}

} // namespace Schedule
