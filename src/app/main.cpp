#include "forms/frmTvUtil.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"

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
    form->show();
    return QApplication::exec();
}
