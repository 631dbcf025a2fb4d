#include "forms/frmTvUtil.h"

#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "forms/startrun.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/paths.h"
#include "operations/restore.h"
#include "platform/animation/animationctrl.h"
#include "platform/clock.h"
#include "platform/controls/controls.h"
#include "platform/controls/layout.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/fitfont.h"
#include "platform/progressview.h"
#include "platform/tabctl/sstab.h"
#include "platform/twips.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "resources/pictures.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

using modTarBackup::BackEndPath;
namespace Key = Settings::Key;

namespace {
constexpr int TabBackup = 0, TabRestore = 1, TabCompact = 2;
constexpr char DatabaseMark[] = "(Tarvos Systems Database)";
const QString DatabaseFilter = QStringLiteral("Microsoft Access (*.mdb)|*.mdb");
const QString BackupFilter = QStringLiteral("Tarvos Backup (*.tvb)|*.tvb");
} // namespace

std::unique_ptr<frmTvUtil> frmTvUtil::Load()
{
    std::unique_ptr<frmTvUtil> form(new frmTvUtil);
    form->Form_Load();
    return form;
}

frmTvUtil::frmTvUtil() : QWidget(nullptr, Qt::Window | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmTvUtil"));
    setWindowTitle(QStringLiteral("Tarvos Utility"));
    setWindowIcon(Resources::applicationIcon());
    // Fixed single border: close box and minimise button, no maximise button, no resizing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(Twips::size(8070, 5310));
    // The widest one-line caption fits its box in the desktop's font, made smaller where needed.
    setFont(fittedFont(font(), QLatin1String(DatabaseMark), Twips::px(2175) - 2));
    buildControls();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

frmTvUtil::~frmTvUtil() = default;

void frmTvUtil::buildControls()
{
    SSTab1 = new SSTab({QStringLiteral("Backup"), QStringLiteral("Restore"), QStringLiteral("Compact")}, Twips::px(520),
                       this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    SSTab1->setGeometry(Twips::rect(120, 120, 7815, 4455));

    using K = Layout::Kind;
    const Layout::Control controls[] = {
        {&Image1, "Image1", TabBackup, K::Picture, nullptr, 240, 480, 480, 480},
        {&Label1, "Label1", TabBackup, K::Label, "From", 1080, 600, 495, 255},
        {&Label7, "Label7", TabBackup, K::Label, DatabaseMark, 3960, 600, 2175, 255},
        {&txtBackFrom, "txtBackFrom", TabBackup, K::Field, nullptr, 1080, 840, 5055, 435},
        {&cmdBackFrom, "cmdBackFrom", TabBackup, K::Browse, "Browse...", 6360, 840, 1215, 375},
        {&Label2, "Label2", TabBackup, K::Label, "To", 1080, 1440, 495, 255},
        {&txtBackTo, "txtBackTo", TabBackup, K::Field, nullptr, 1080, 1680, 5055, 405},
        {&cmdBackTo, "cmdBackTo", TabBackup, K::Browse, "Browse...", 6360, 1680, 1215, 375},
        {&Label13, "Label13", TabBackup, K::Label,
         "The suggested filename of backup contains date and time stamp \"ddmmyyhhmmss\"", 1080, 2280, 5055, 495},
        {&Animation3, "Animation3", TabBackup, K::Clip, nullptr, 1080, 3000, 6375, 1215},

        {&Image2, "Image2", TabRestore, K::Picture, nullptr, 240, 480, 480, 480},
        {&Label4, "Label4", TabRestore, K::Label, "From", 1080, 600, 495, 255},
        {&txtRestFrom, "txtRestFrom", TabRestore, K::Field, nullptr, 1080, 840, 5055, 435},
        {&cmdRestFrom, "cmdRestFrom", TabRestore, K::Browse, "Browse...", 6360, 840, 1215, 375},
        {&Label5, "Label5", TabRestore, K::Label, "To", 1080, 1440, 495, 255},
        {&Label8, "Label8", TabRestore, K::Label, DatabaseMark, 3960, 1440, 2175, 255},
        {&txtRestTo, "txtRestTo", TabRestore, K::Field, nullptr, 1080, 1680, 5055, 405},
        {&cmdRestTo, "cmdRestTo", TabRestore, K::Browse, "Browse...", 6360, 1680, 1215, 375},
        {&Label14, "Label14", TabRestore, K::Label,
         "Allows you to restore any backup copy of Tarvos Systems Database. Copying the backup file manually will "
         "make Tarvos Systems cease to work.",
         1080, 2280, 5055, 615},
        {&Animation1, "Animation1", TabRestore, K::Clip, nullptr, 1080, 3000, 6375, 1215},

        {&Label9, "Label9", TabCompact, K::Label, "Location", 1080, 600, 1335, 255},
        {&Label10, "Label10", TabCompact, K::Label, DatabaseMark, 3960, 600, 2175, 255},
        {&txtCompact, "txtCompact", TabCompact, K::Field, nullptr, 1080, 840, 5055, 435},
        {&cmdCompact, "cmdCompact", TabCompact, K::Browse, "Browse...", 6360, 840, 1215, 375},
        {&Animation2, "Animation2", TabCompact, K::Clip, nullptr, 1080, 3000, 6375, 1215},

        {&cmdAbout, "cmdAbout", -1, K::Command, "About", 120, 4800, 1335, 375},
        {&cmdStart, "cmdStart", -1, K::Command, "Start", 5160, 4800, 1335, 375},
        {&cmdClose, "cmdClose", -1, K::Command, "Close", 6600, 4800, 1335, 375},
    };
    Layout::build(controls, this, SSTab1);
    Image1->setPixmap(Resources::cabinetShut(Twips::px(480)));
    Image2->setPixmap(Resources::applicationIcon().pixmap(Twips::px(480)));

    // The compaction's progress, in the place and the look of the compression control's.
    prgCompact = new ProgressView(this);
    prgCompact->setObjectName(QStringLiteral("prgCompact"));
    prgCompact->setGeometry(Twips::rect(1560, 4800, 3495, 375));
    prgCompact->setVisible(false);

    cmDialog = new CommonDialog(this);
    cmDialog->setObjectName(QStringLiteral("cmDialog"));
    cmDialog->setDialogTitle(QStringLiteral("Select"));
    cmDialog->setDefaultExt(QStringLiteral("mdb"));

    connect(SSTab1, &SSTab::Click, this, &frmTvUtil::SSTab1_Click);
    connect(SSTab1, &SSTab::TabPressed, this, [this](int) { UpdateStartCaption(); });
    connect(cmdClose, &QPushButton::clicked, this, &frmTvUtil::cmdClose_Click);
    connect(cmdBackFrom, &QPushButton::clicked, this, &frmTvUtil::cmdBackFrom_Click);
    connect(cmdBackTo, &QPushButton::clicked, this, &frmTvUtil::cmdBackTo_Click);
    connect(cmdRestFrom, &QPushButton::clicked, this, &frmTvUtil::cmdRestFrom_Click);
    connect(cmdRestTo, &QPushButton::clicked, this, &frmTvUtil::cmdRestTo_Click);
    connect(cmdCompact, &QPushButton::clicked, this, &frmTvUtil::cmdCompact_Click);
    connect(cmdAbout, &QPushButton::clicked, this, &frmTvUtil::cmdAbout_Click);
    connect(cmdStart, &QPushButton::clicked, this, &frmTvUtil::cmdStart_Click);
}

void frmTvUtil::Form_Load()
{
    SSTab1->setTab(TabBackup);
    UpdateStartCaption();
    BackEndPath = Settings::GetSetting(Key::BackEnd, Settings::defaultBackEnd());

    QWidget *control = Controls::Add(QStringLiteral("ZlibTool.ZlibToolCtrl.1"), QStringLiteral("ZlibTool1"), this);
    ZlibTool1 = qobject_cast<ZlibToolCtrl *>(control);
    Controls::setLeft(control, 1560);
    Controls::setTop(control, 4800);
    Controls::setHeight(control, 375);
    Controls::setWidth(control, 3495);
    control->setVisible(false);
}

bool frmTvUtil::event(QEvent *e)
{
    switch (e->type()) {
    case QEvent::WindowActivate:
        // Run after the activation has been delivered, not inside the platform's event.
        if (!unloadStarted_)
            QMetaObject::invokeMethod(this, &frmTvUtil::Form_Activate, Qt::QueuedConnection);
        break;
    case QEvent::Show:
        // Without a window manager a window may never be activated: the first showing then
        // stands in for the first activation.
        if (!activatedOnce_)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (!activatedOnce_)
                        Form_Activate();
                },
                Qt::QueuedConnection);
        break;
    default:
        break;
    }
    return QWidget::event(e);
}

void frmTvUtil::Form_Activate()
{
    if (unloadStarted_)
        return;
    activatedOnce_ = true;
    if (frmLogin::isVisibleNow() || modTarBackup::LoggedIn)
        return;
    hide();
    frmLogin::ShowModal();
    if (!modTarBackup::LoggedIn) {
        cmdClose_Click();
        return;
    }
    show();
    BackEndPath = Paths::backEndPathAfterLogin(BackEndPath);
    txtBackFrom->setText(Settings::GetSetting(Key::BackFrom, BackEndPath));
    txtBackTo->setText(Paths::suggestedBackupName(BackEndPath, Clock::now()));
    const QString backTo = Settings::GetSetting(Key::BackTo, txtBackTo->text());
    txtRestFrom->setText(Settings::GetSetting(Key::RestFrom, backTo));
    txtRestTo->setText(Settings::GetSetting(Key::RestTo, BackEndPath));
    txtCompact->setText(Settings::GetSetting(Key::Compact, BackEndPath));
}

void frmTvUtil::closeEvent(QCloseEvent *e)
{
    if (operationRunning_) {
        requestClose();
        e->ignore();
        return;
    }
    unloadSelf();
    if (unloaded_)
        e->accept();
    else
        e->ignore();
}

void frmTvUtil::Form_QueryUnload(int &Cancel, int UnloadMode)
{
    Q_UNUSED(Cancel);
    Q_UNUSED(UnloadMode);
    cmdClose_Click();
}

void frmTvUtil::cmdClose_Click()
{
    if (operationRunning_) {
        requestClose();
        return;
    }
    QList<QPointer<QWidget>> windows;
    for (QWidget *w : QApplication::topLevelWidgets())
        windows.append(w);
    for (const QPointer<QWidget> &w : windows) {
        if (w == this)
            unloadSelf();
        else if (w && w->isVisible())
            w->close();
    }
}

void frmTvUtil::unloadSelf()
{
    if (unloadStarted_)
        return;
    unloadStarted_ = true;
    int cancel = 0;
    Form_QueryUnload(cancel, 1);
    Form_Unload(cancel);
    unloaded_ = true;
    hide();
    emit unloaded();
}

void frmTvUtil::Form_Unload(int &Cancel)
{
    Q_UNUSED(Cancel);
    const std::pair<const char *, QLineEdit *> fields[] = {
        {Key::BackFrom, txtBackFrom}, {Key::BackTo, txtBackTo},   {Key::RestFrom, txtRestFrom},
        {Key::RestTo, txtRestTo},     {Key::Compact, txtCompact},
    };
    for (const auto &[key, field] : fields) {
        if (!field->text().isEmpty())
            Settings::SaveSetting(QLatin1String(key), field->text());
    }
    if (!BackEndPath.isEmpty())
        Settings::SaveSetting(QLatin1String(Key::BackEnd), BackEndPath);
}

void frmTvUtil::SSTab1_Click(int PreviousTab)
{
    Q_UNUSED(PreviousTab);
    UpdateStartCaption();
}

void frmTvUtil::UpdateStartCaption()
{
    cmdStart->setText(SSTab1->TabCaption(SSTab1->Tab()));
}

// --- Browse... buttons and About ---------------------------------------------------------------

void frmTvUtil::cmdBackFrom_Click()
{
    cmDialog->chooseInto(txtBackFrom, DatabaseFilter);
}

void frmTvUtil::cmdBackTo_Click()
{
    // An open dialog too: the backup file is chosen before it exists.
    cmDialog->chooseInto(txtBackTo, BackupFilter);
}

void frmTvUtil::cmdRestFrom_Click()
{
    cmDialog->chooseInto(txtRestFrom, BackupFilter);
}

void frmTvUtil::cmdRestTo_Click()
{
    cmDialog->chooseInto(txtRestTo, DatabaseFilter);
}

void frmTvUtil::cmdCompact_Click()
{
    cmDialog->chooseInto(txtCompact, DatabaseFilter);
}

void frmTvUtil::cmdAbout_Click()
{
    // Application-modal: the main window takes no input until the dialog has been closed. The
    // main window is its owner only so that it stays above it and out of the taskbar.
    frmAbout::showModalAfresh(this);
}

// ---- Start: backup, restore and compaction -----------------------------------------------------
// The window shows and sequences what the user sees; each operation's steps are one sequence in
// src/operations, run off the window's thread.

void frmTvUtil::cmdStart_Click()
{
    const int tab = SSTab1->Tab();
    if (tab != TabBackup && tab != TabRestore && tab != TabCompact)
        return;
    operationRunning_ = true;
    {
        StartRun run({this, cmdStart, cmdClose, {Animation1, Animation2, Animation3}, ZlibTool1, prgCompact});
        try {
            if (tab == TabBackup) {
                run.begin(Animation3, Clips::FileCopy);
                QString source = txtBackFrom->text();
                QString destination = txtBackTo->text();
                CompressFile(run, source, destination);
            } else if (tab == TabRestore) {
                run.begin(Animation1, Clips::FileCopy);
                QString source = txtRestFrom->text();
                QString destination = txtRestTo->text();
                DecompressFile(run, source, destination);
            } else {
                run.begin(Animation2, Clips::FileDelete);
                const QString source = txtCompact->text();
                const QString temp = Paths::compactTempPath(BackEndPath); // fails before the engine is called
                run.runCompaction(
                    [&](const Operations::Observer &observer) { Operations::compact(source, temp, observer); });
            }
        } catch (const Error &e) {
            run.showStartError(e);
        } catch (const std::exception &e) {
            run.showStartError(asError(e));
        }
    }
    operationRunning_ = false;
    // A close asked for meanwhile (Close, the close box, the system) happens now.
    if (closeRequested_)
        QMetaObject::invokeMethod(this, &frmTvUtil::cmdClose_Click, Qt::QueuedConnection);
}

void frmTvUtil::CompressFile(StartRun &run, QString &SrcFile, QString &DstFile)
{
    const QString source = SrcFile;
    DstFile = Paths::backupFileName(DstFile);
    const QString backupFile = DstFile;
    run.runCompression(
        source, backupFile,
        [&](const Operations::Observer &observer) { Operations::backUp(source, backupFile, observer); },
        QStringLiteral("Backup successful."), false);
}

void frmTvUtil::DecompressFile(StartRun &run, QString &SrcFile, QString &DstFile)
{
    const QString source = SrcFile, target = DstFile;
    const QDate today = Clock::now().date();
    // The checks of the target come first; their failures are the Start handler's to show.
    run.runCompression(
        source, target,
        [&](const Operations::Observer &observer) { Operations::restore(source, target, today, observer); },
        QStringLiteral("Restore successful."), true);
}

void frmTvUtil::stopAndClose()
{
    if (!operationRunning_) {
        cmdClose_Click();
        return;
    }
    // The operation stops at its next step; a message box it shows meanwhile goes too.
    requestClose();
    if (QWidget *modal = QApplication::activeModalWidget())
        modal->close();
}

void frmTvUtil::requestClose()
{
    closeRequested_ = true;
    cmdClose->setEnabled(false);
}
