// Renders the login dialog, each tab of the main window and the About dialog into PNG files in
// the folder given, with example paths in the fields. Settings go to a temporary folder.
#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "platform/tabctl/sstab.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>

#include <cstdio>

namespace {
bool save(QWidget *w, const QString &path)
{
    w->show();
    QApplication::processEvents();
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screenshots DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    QTemporaryDir settings;
    Settings::useFolder(settings.path());

    frmLogin login;
    login.txtUserName->setText(QStringLiteral("CLERK"));
    login.txtPassword->setText(QStringLiteral("counter"));
    bool ok = save(&login, dir + QStringLiteral("/login.png"));
    login.hide();

    modTarBackup::LoggedIn = true; // shown as after a login: its activation asks for none
    auto form = frmTvUtil::Load();
    form->txtBackFrom->setText(QStringLiteral("/srv/tarvos/BACK/BACK.MDB"));
    form->txtBackTo->setText(QStringLiteral("/srv/tarvos/BACK/BACK051226205535.TVB"));
    form->txtRestFrom->setText(QStringLiteral("/srv/tarvos/BACK/BACK051226205535.TVB"));
    form->txtRestTo->setText(QStringLiteral("/srv/tarvos/BACK/BACK.MDB"));
    form->txtCompact->setText(QStringLiteral("/srv/tarvos/BACK/BACK.MDB"));
    const char *names[] = {"backup", "restore", "compact"};
    for (int tab = 0; tab < 3; ++tab) {
        form->SSTab1->setTab(tab);
        ok = save(form.get(), dir + QStringLiteral("/tab-%1.png").arg(QLatin1String(names[tab]))) && ok;
    }
    form->hide();

    auto *about = new frmAbout;
    ok = save(about, dir + QStringLiteral("/about.png")) && ok;
    delete about;
    return ok ? 0 : 1;
}
