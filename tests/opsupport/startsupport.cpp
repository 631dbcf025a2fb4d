#include "startsupport.h"

#include "forms/frmTvUtil.h"
#include "platform/animation/animationctrl.h"
#include "platform/dialogs/dialoghook.h"
#include "platform/dialogs/messagebox.h"
#include "platform/files.h"
#include "platform/screen.h"
#include "platform/tabctl/sstab.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "testsupport.h"

#include <QDir>
#include <QPushButton>
#include <QTabBar>
#include <QtTest>

namespace StartSupport {

void prepareAppFolder()
{
    for (const QString &clip : {Clips::FileCopy, Clips::FileDelete})
        if (!QFile::exists(Files::appPath() + '/' + clip))
            QFile::copy(TestSupport::appDir() + '/' + clip, Files::appPath() + '/' + clip);
    QDir app(Files::appPath());
    for (const QString &name : app.entryList({"BACK??.BAK"}, QDir::Files))
        app.remove(name);
}

void pressStart(frmTvUtil *form, int tab)
{
    QTabBar *bar = form->SSTab1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
    QTest::mouseClick(form->cmdStart, Qt::LeftButton);
}

QStringList recordStart(frmTvUtil *form, int tab)
{
    Recorder recorder(form);
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form, tab);
    return recorder.log();
}

Recorder::Recorder(frmTvUtil *form) : form_(form)
{
    form->cmdStart->installEventFilter(this);
    form->ZlibTool1->installEventFilter(this);
    DialogHook::setObserver(
        [this](const DialogHook::Shown &box) { record(QStringLiteral("box %1 %2").arg(box.style).arg(box.text)); });
}

Recorder::~Recorder()
{
    DialogHook::setObserver({});
}

QString Recorder::state() const
{
    QString playing;
    for (AnimationCtrl *player : {form_->Animation1, form_->Animation2, form_->Animation3})
        if (player->isPlaying())
            playing += player->objectName().back();
    return QStringLiteral("[p%1 S%2 A%3 Z%4]")
        .arg(Screen::mousePointer())
        .arg(QChar(form_->cmdStart->isEnabled() ? '+' : '-'))
        .arg(playing)
        .arg(QChar(form_->ZlibTool1->isVisible() ? '+' : '-'));
}

bool Recorder::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == form_->cmdStart && event->type() == QEvent::EnabledChange)
        record(form_->cmdStart->isEnabled() ? "Start on" : "Start off");
    else if (watched == form_->ZlibTool1 && event->type() == QEvent::ShowToParent)
        record("control shown");
    else if (watched == form_->ZlibTool1 && event->type() == QEvent::HideToParent)
        record("control hidden");
    return false;
}

} // namespace StartSupport
