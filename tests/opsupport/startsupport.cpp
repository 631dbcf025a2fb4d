#include "startsupport.h"

#include "app/modTarBackup.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
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
    for (const QString &clip : {Clips::FileCopy, Clips::FileDelete}) {
        const QString target = Files::appPath() + '/' + clip;
        if (!QFile::exists(target))
            Files::copy(TestSupport::appDir() + '/' + clip, target);
    }
    removeSafetyCopies();
}

void removeSafetyCopies()
{
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

QStringList busyStart(const QString &player)
{
    const QString frame = player + " frame 0 [p11 S- A Z-]";
    return {QStringLiteral("Start off [p0 S- A Z-]"), frame, frame};
}

Recorder::Recorder(frmTvUtil *form) : form_(form)
{
    form->cmdStart->installEventFilter(this);
    form->ZlibTool1->installEventFilter(this);
    const std::pair<AnimationCtrl *, QString> players[] = {
        {form->Animation1, "Animation1"}, {form->Animation2, "Animation2"}, {form->Animation3, "Animation3"}};
    for (const auto &[player, name] : players) {
        connect(player, &AnimationCtrl::frameChanged, this, [this, player, name](int frame) {
            // Frame 0 while not playing: shown by Open or by Play; the loop's own frames are left out.
            if (frame == 0 && !player->isPlaying())
                record(name + " frame 0");
        });
    }
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
    if (form_->Animation1->isPlaying())
        playing += '1';
    if (form_->Animation2->isPlaying())
        playing += '2';
    if (form_->Animation3->isPlaying())
        playing += '3';
    return QStringLiteral("[p%1 S%2 A%3 Z%4]")
        .arg(Screen::mousePointer())
        .arg(form_->cmdStart->isEnabled() ? '+' : '-')
        .arg(playing)
        .arg(form_->ZlibTool1->isVisible() ? '+' : '-');
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

void Recorder::record(const QString &event)
{
    log_.append(event + ' ' + state());
}

} // namespace StartSupport
