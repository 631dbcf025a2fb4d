#include "maintenance/command.h"
#include "platform/stop.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // SIGTERM, SIGINT and SIGHUP stop the operation under way, which removes its temporary files
    // and ends with its message; a second signal ends the program at once.
    Stop::installSignalHandlers([] {});
    QTextStream out(stdout), err(stderr);
    return Maintenance::run(QCoreApplication::arguments().mid(1), out, err, ::isatty(STDERR_FILENO) == 1);
}
