#include "forms/frmTvUtil.h"

#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "operations/background.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/compressor.h"
#include "operations/paths.h"
#include "operations/restore.h"
#include "platform/animation/animationctrl.h"
#include "platform/clock.h"
#include "platform/controls/controls.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/screen.h"
#include "platform/tabctl/sstab.h"
#include "platform/twips.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "resources/pictures.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cerrno>
#include <new>

using modTarBackup::BackEndPath;
namespace Key = Settings::Key;

namespace {
constexpr int TabBackup = 0, TabRestore = 1, TabCompact = 2;
constexpr char DatabaseMark[] = "(Tarvos Systems Database)";

// The layout was drawn for a small system font. Where the desktop's font is larger, the
// window uses the largest size at which the widest one-line caption still fits its box, so no
// caption wraps or is cut; the boxes themselves keep their places and sizes.
QFont fittingFont(QFont font, const QString &widest, int boxWidth)
{
    while (font.pointSizeF() > 6 && QFontMetrics(font).horizontalAdvance(widest) > boxWidth - 2)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return font;
}

template <typename W> W *named(W *w, const char *name)
{
    w->setObjectName(QLatin1String(name));
    return w;
}
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
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(Twips::size(8070, 5310));
    setFont(fittingFont(font(), QLatin1String(DatabaseMark), Twips::px(2175)));
    buildControls();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

frmTvUtil::~frmTvUtil() = default;

void frmTvUtil::buildControls()
{
    SSTab1 = named(new SSTab({QStringLiteral("Backup"), QStringLiteral("Restore"), QStringLiteral("Compact")},
                             Twips::px(520), this),
                   "SSTab1");
    SSTab1->setGeometry(Twips::rect(120, 120, 7815, 4455));

    auto label = [this](const char *name, int tab, const QString &caption, QRect r) {
        auto *l = named(new QLabel(caption), name);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setWordWrap(caption.contains(QLatin1Char(' ')) && r.height() > Twips::px(300));
        SSTab1->place(tab, l, r);
        return l;
    };
    auto field = [this](const char *name, int tab, QRect r) {
        auto *t = named(new QLineEdit, name);
        SSTab1->place(tab, t, r);
        return t;
    };
    auto browse = [this](const char *name, int tab, int top) {
        auto *b = named(new QPushButton(QStringLiteral("Browse...")), name);
        b->setAutoDefault(false);
        SSTab1->place(tab, b, Twips::rect(6360, top, 1215, 375));
        return b;
    };
    auto animation = [this](const char *name, int tab) {
        auto *a = named(new AnimationCtrl, name);
        SSTab1->place(tab, a, Twips::rect(1080, 3000, 6375, 1215));
        return a;
    };
    auto picture = [this](const char *name, int tab, const QPixmap &pixmap) {
        auto *p = named(new QLabel, name);
        p->setPixmap(pixmap);
        SSTab1->place(tab, p, Twips::rect(240, 480, 480, 480));
        return p;
    };

    // Backup
    Image1 = picture("Image1", TabBackup, Resources::cabinetShut(Twips::px(480)));
    Label1 = label("Label1", TabBackup, QStringLiteral("From"), Twips::rect(1080, 600, 495, 255));
    Label7 = label("Label7", TabBackup, QLatin1String(DatabaseMark), Twips::rect(3960, 600, 2175, 255));
    txtBackFrom = field("txtBackFrom", TabBackup, Twips::rect(1080, 840, 5055, 435));
    cmdBackFrom = browse("cmdBackFrom", TabBackup, 840);
    Label2 = label("Label2", TabBackup, QStringLiteral("To"), Twips::rect(1080, 1440, 495, 255));
    txtBackTo = field("txtBackTo", TabBackup, Twips::rect(1080, 1680, 5055, 405));
    cmdBackTo = browse("cmdBackTo", TabBackup, 1680);
    Label13 = label("Label13", TabBackup,
                    QStringLiteral("The suggested filename of backup contains date and time stamp \"ddmmyyhhmmss\""),
                    Twips::rect(1080, 2280, 5055, 495));
    Animation3 = animation("Animation3", TabBackup);

    // Restore
    Image2 = picture("Image2", TabRestore, Resources::applicationIcon().pixmap(Twips::px(480)));
    Label4 = label("Label4", TabRestore, QStringLiteral("From"), Twips::rect(1080, 600, 495, 255));
    txtRestFrom = field("txtRestFrom", TabRestore, Twips::rect(1080, 840, 5055, 435));
    cmdRestFrom = browse("cmdRestFrom", TabRestore, 840);
    Label5 = label("Label5", TabRestore, QStringLiteral("To"), Twips::rect(1080, 1440, 495, 255));
    Label8 = label("Label8", TabRestore, QLatin1String(DatabaseMark), Twips::rect(3960, 1440, 2175, 255));
    txtRestTo = field("txtRestTo", TabRestore, Twips::rect(1080, 1680, 5055, 405));
    cmdRestTo = browse("cmdRestTo", TabRestore, 1680);
    Label14 = label("Label14", TabRestore,
                    QStringLiteral("Allows you to restore any backup copy of Tarvos Systems Database. Copying the "
                                   "backup file manually will make Tarvos Systems cease to work."),
                    Twips::rect(1080, 2280, 5055, 615));
    Animation1 = animation("Animation1", TabRestore);

    // Compact
    Label9 = label("Label9", TabCompact, QStringLiteral("Location"), Twips::rect(1080, 600, 1335, 255));
    Label10 = label("Label10", TabCompact, QLatin1String(DatabaseMark), Twips::rect(3960, 600, 2175, 255));
    txtCompact = field("txtCompact", TabCompact, Twips::rect(1080, 840, 5055, 435));
    cmdCompact = browse("cmdCompact", TabCompact, 840);
    Animation2 = animation("Animation2", TabCompact);

    auto command = [this](const char *name, const QString &caption, int left) {
        auto *b = named(new QPushButton(caption, this), name);
        b->setAutoDefault(false);
        b->setGeometry(Twips::rect(left, 4800, 1335, 375));
        return b;
    };
    cmdAbout = command("cmdAbout", QStringLiteral("About"), 120);
    cmdStart = command("cmdStart", QStringLiteral("Start"), 5160);
    cmdClose = command("cmdClose", QStringLiteral("Close"), 6600);

    cmDialog = named(new CommonDialog(this), "cmDialog");
    cmDialog->setDialogTitle(QStringLiteral("Select"));
    cmDialog->setDefaultExt(QStringLiteral("mdb"));

    const QWidget *order[] = {SSTab1,    txtBackFrom, cmdBackFrom, txtBackTo, cmdBackTo,
                              txtRestFrom, cmdRestFrom, txtRestTo, cmdRestTo, txtCompact,
                              cmdCompact, cmdAbout,    cmdStart,  cmdClose};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(const_cast<QWidget *>(order[i]), const_cast<QWidget *>(order[i + 1]));

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
                this, [this] { if (!activatedOnce_) Form_Activate(); }, Qt::QueuedConnection);
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
        closeRequested_ = true;
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
        {Key::BackFrom, txtBackFrom}, {Key::BackTo, txtBackTo},     {Key::RestFrom, txtRestFrom},
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

namespace {
const QString DatabaseFilter = QStringLiteral("Microsoft Access (*.mdb)|*.mdb");
const QString BackupFilter = QStringLiteral("Tarvos Backup (*.tvb)|*.tvb");

// Fills field with the file chosen in dialog. Only the filter is set: the dialog keeps the file
// name of its last use, whichever field that served, and the field's own text is not handed over.
void browseInto(CommonDialog *dialog, QLineEdit *field, const QString &filter)
{
    try {
        dialog->setFilter(filter);
        dialog->ShowOpen();
        field->setText(dialog->FileName());
    } catch (const std::exception &) {
        // Cancelled (reported as an error) or failed: the field keeps its text, nothing is shown.
    }
}
} // namespace

void frmTvUtil::cmdBackFrom_Click()
{
    browseInto(cmDialog, txtBackFrom, DatabaseFilter);
}

void frmTvUtil::cmdBackTo_Click()
{
    // An open dialog too: the backup file is chosen before it exists.
    browseInto(cmDialog, txtBackTo, BackupFilter);
}

void frmTvUtil::cmdRestFrom_Click()
{
    browseInto(cmDialog, txtRestFrom, BackupFilter);
}

void frmTvUtil::cmdRestTo_Click()
{
    browseInto(cmDialog, txtRestTo, DatabaseFilter);
}

void frmTvUtil::cmdCompact_Click()
{
    browseInto(cmDialog, txtCompact, DatabaseFilter);
}

void frmTvUtil::cmdAbout_Click()
{
    // Application-modal: the main window takes no input until the dialog has been closed. The
    // main window is its owner only so that it stays above it and out of the taskbar.
    frmAbout::showModalAfresh(this);
}

// ---- Start: backup, restore and compaction -----------------------------------------------------
// The window shows and sequences; the steps themselves are in src/operations.

namespace {

// The compression control, as the operations call it: input first, then output, then the work.
class ControlCompressor : public Operations::Compressor {
public:
    explicit ControlCompressor(ZlibToolCtrl &control) : control_(control) {}
    void compress(const QString &input, const QString &output) override
    {
        control_.setInputFile(input);
        control_.setOutputFile(output);
        control_.Compress();
    }
    void decompress(const QString &input, const QString &output) override
    {
        control_.setInputFile(input);
        control_.setOutputFile(output);
        control_.Decompress();
    }

private:
    ZlibToolCtrl &control_;
};

// What went wrong outside our own Error type, as one.
Error asError(const std::exception &e)
{
    if (dynamic_cast<const std::bad_alloc *>(&e))
        return Error(ENOMEM, QStringLiteral("Not enough memory to finish the operation"));
    return Error(ErrorNumber::InvalidArgument, QString::fromLocal8Bit(e.what()));
}

} // namespace

void frmTvUtil::cmdStart_Click()
{
    // Every path below ends the busy state itself, in its own order; this only makes sure that
    // nothing unforeseen can leave the window busy.
    struct IdleOnExit {
        frmTvUtil *form;
        ~IdleOnExit()
        {
            for (AnimationCtrl *animation : {form->Animation1, form->Animation2, form->Animation3})
                animation->Stop();
            Screen::setMousePointer(Screen::Default);
            form->cmdStart->setEnabled(true);
            form->ZlibTool1->setVisible(false);
            form->operationRunning_ = false;
            // A close asked for meanwhile (by the window manager or the system) happens now.
            if (form->closeRequested_) {
                form->closeRequested_ = false;
                QMetaObject::invokeMethod(form, &QWidget::close, Qt::QueuedConnection);
            }
        }
    } const idle{this};
    operationRunning_ = true;

    try {
        switch (SSTab1->Tab()) {
        case TabBackup: {
            beginBusy(Animation3, Clips::FileCopy);
            QString source = txtBackFrom->text();
            QString destination = txtBackTo->text();
            CompressFile(source, destination);
            endBusy(Animation3);
            break;
        }
        case TabRestore: {
            beginBusy(Animation1, Clips::FileCopy);
            const QString target = txtRestTo->text();
            const QString safetyCopy = Paths::safetyCopyPath(Files::appPath(), Clock::now().date());
            // Nothing is touched, not even the safety copy, while another program uses the target.
            Operations::runInBackground([&] {
                Operations::checkRestoreTarget(target);
                Operations::makeSafetyCopy(target, safetyCopy);
            });
            QString source = txtRestFrom->text();
            QString destination = target;
            DecompressFile(source, destination);
            endBusy(Animation1);
            break;
        }
        case TabCompact: {
            beginBusy(Animation2, Clips::FileDelete);
            const QString source = txtCompact->text();
            const QString temp = Paths::compactTempPath(BackEndPath); // fails before the engine is called
            Operations::runInBackground([&] { Operations::compact(source, temp); });
            // The clip stops first; the hourglass and the disabled Start last until the message is read.
            Animation2->Stop();
            MsgBox(QStringLiteral("Database compacted."), Msg::Information);
            Screen::setMousePointer(Screen::Default);
            cmdStart->setEnabled(true);
            break;
        }
        default:
            break;
        }
    } catch (const Error &e) {
        showStartError(e);
    } catch (const std::exception &e) {
        showStartError(asError(e));
    }
}

void frmTvUtil::beginBusy(AnimationCtrl *animation, const QString &clip)
{
    cmdStart->setEnabled(false);
    Screen::setMousePointer(Screen::Hourglass);
    animation->Open(Paths::clipPath(Files::appPath(), clip));
    animation->Play();
}

void frmTvUtil::endBusy(AnimationCtrl *animation)
{
    animation->Stop();
    Screen::setMousePointer(Screen::Default);
    cmdStart->setEnabled(true);
}

void frmTvUtil::showStartError(const Error &error)
{
    Animation1->Stop();
    Animation2->Stop();
    Animation3->Stop();
    Screen::setMousePointer(Screen::Default);
    cmdStart->setEnabled(true);
    MsgBox(error.message(), Msg::Critical);
}

void frmTvUtil::showCompressionError(const Error &error)
{
    // Pointer and Start come back before the message; the caller stops the clip after it.
    Screen::setMousePointer(Screen::Default);
    cmdStart->setEnabled(true);
    MsgBox(error.message(), Msg::Critical);
    ZlibTool1->setVisible(false);
}

void frmTvUtil::CompressFile(QString &SrcFile, QString &DstFile)
{
    try {
        if (!Files::exists(SrcFile)) {
            MsgBox(SrcFile + QStringLiteral(" not found."), Msg::Critical);
            return;
        }
        DstFile = Paths::backupFileName(DstFile);
        ZlibTool1->setVisible(true);
        ControlCompressor compressor(*ZlibTool1);
        Operations::backUp(SrcFile, DstFile, compressor);
        MsgBox(QStringLiteral("Backup successful."), Msg::Information);
        ZlibTool1->setVisible(false);
    } catch (const Error &e) {
        showCompressionError(e);
    } catch (const std::exception &e) {
        showCompressionError(asError(e));
    }
}

void frmTvUtil::DecompressFile(QString &SrcFile, QString &DstFile)
{
    try {
        if (!Files::exists(SrcFile)) {
            MsgBox(SrcFile + QStringLiteral(" not found."), Msg::Critical);
            return;
        }
        ZlibTool1->setVisible(true);
        ControlCompressor compressor(*ZlibTool1);
        Operations::restoreInto(SrcFile, DstFile, compressor);
        MsgBox(QStringLiteral("Restore successful."), Msg::Information);
        ZlibTool1->setVisible(false);
    } catch (const Error &e) {
        showCompressionError(e);
    } catch (const std::exception &e) {
        showCompressionError(asError(e));
    }
}
