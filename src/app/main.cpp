#include "forms/frmTvUtil.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/stop.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The program ends when the main window has been unloaded, not when the login dialog closes
    // while the main window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    std::unique_ptr<frmTvUtil> form;
    try {
        form = frmTvUtil::Load();
    } catch (const Error &e) {
        MsgBox(QStringLiteral("Tarvos Utility cannot start.\n\n") + e.message(), Msg::Critical);
        return 1;
    }
    QObject::connect(form.get(), &frmTvUtil::unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    // Asked to end (the session closes, the system shuts down): the operation under way stops and
    // removes its temporary files, and the program closes as if Close had been pressed.
    Stop::installSignalHandlers([window = form.get()] { window->stopAndClose(); });
    form->show();
    return QApplication::exec();
}
