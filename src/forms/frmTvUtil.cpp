#include "forms/frmTvUtil.h"

#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/paths.h"
#include "operations/restore.h"
#include "platform/animation/animationctrl.h"
#include "platform/background.h"
#include "platform/clock.h"
#include "platform/controls/controls.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/progressview.h"
#include "platform/screen.h"
#include "platform/stop.h"
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
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>

#include <cerrno>
#include <new>
#include <type_traits>
#include <variant>

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
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(Twips::size(8070, 5310));
    setFont(fittingFont(font(), QLatin1String(DatabaseMark), Twips::px(2175)));
    buildControls();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

frmTvUtil::~frmTvUtil() = default;

namespace {

// What a control of the window is; its class follows from the member that holds it.
enum class Kind { Picture, Label, Field, Browse, Clip, Command };

using Member = std::variant<QLabel *frmTvUtil::*, QLineEdit *frmTvUtil::*, QPushButton *frmTvUtil::*,
                            AnimationCtrl *frmTvUtil::*>;

// One control: the member and object name it gets, the tab it stands on (commands stand on the
// window), what it is, its caption, and its place in twips.
struct Control {
    Member member;
    const char *name;
    int tab;
    Kind kind;
    const char *caption;
    int left, top, width, height;
};

const Control Layout[] = {
    {&frmTvUtil::Image1, "Image1", TabBackup, Kind::Picture, nullptr, 240, 480, 480, 480},
    {&frmTvUtil::Label1, "Label1", TabBackup, Kind::Label, "From", 1080, 600, 495, 255},
    {&frmTvUtil::Label7, "Label7", TabBackup, Kind::Label, DatabaseMark, 3960, 600, 2175, 255},
    {&frmTvUtil::txtBackFrom, "txtBackFrom", TabBackup, Kind::Field, nullptr, 1080, 840, 5055, 435},
    {&frmTvUtil::cmdBackFrom, "cmdBackFrom", TabBackup, Kind::Browse, "Browse...", 6360, 840, 1215, 375},
    {&frmTvUtil::Label2, "Label2", TabBackup, Kind::Label, "To", 1080, 1440, 495, 255},
    {&frmTvUtil::txtBackTo, "txtBackTo", TabBackup, Kind::Field, nullptr, 1080, 1680, 5055, 405},
    {&frmTvUtil::cmdBackTo, "cmdBackTo", TabBackup, Kind::Browse, "Browse...", 6360, 1680, 1215, 375},
    {&frmTvUtil::Label13, "Label13", TabBackup, Kind::Label,
     "The suggested filename of backup contains date and time stamp \"ddmmyyhhmmss\"", 1080, 2280, 5055, 495},
    {&frmTvUtil::Animation3, "Animation3", TabBackup, Kind::Clip, nullptr, 1080, 3000, 6375, 1215},

    {&frmTvUtil::Image2, "Image2", TabRestore, Kind::Picture, nullptr, 240, 480, 480, 480},
    {&frmTvUtil::Label4, "Label4", TabRestore, Kind::Label, "From", 1080, 600, 495, 255},
    {&frmTvUtil::txtRestFrom, "txtRestFrom", TabRestore, Kind::Field, nullptr, 1080, 840, 5055, 435},
    {&frmTvUtil::cmdRestFrom, "cmdRestFrom", TabRestore, Kind::Browse, "Browse...", 6360, 840, 1215, 375},
    {&frmTvUtil::Label5, "Label5", TabRestore, Kind::Label, "To", 1080, 1440, 495, 255},
    {&frmTvUtil::Label8, "Label8", TabRestore, Kind::Label, DatabaseMark, 3960, 1440, 2175, 255},
    {&frmTvUtil::txtRestTo, "txtRestTo", TabRestore, Kind::Field, nullptr, 1080, 1680, 5055, 405},
    {&frmTvUtil::cmdRestTo, "cmdRestTo", TabRestore, Kind::Browse, "Browse...", 6360, 1680, 1215, 375},
    {&frmTvUtil::Label14, "Label14", TabRestore, Kind::Label,
     "Allows you to restore any backup copy of Tarvos Systems Database. Copying the backup file manually will "
     "make Tarvos Systems cease to work.",
     1080, 2280, 5055, 615},
    {&frmTvUtil::Animation1, "Animation1", TabRestore, Kind::Clip, nullptr, 1080, 3000, 6375, 1215},

    {&frmTvUtil::Label9, "Label9", TabCompact, Kind::Label, "Location", 1080, 600, 1335, 255},
    {&frmTvUtil::Label10, "Label10", TabCompact, Kind::Label, DatabaseMark, 3960, 600, 2175, 255},
    {&frmTvUtil::txtCompact, "txtCompact", TabCompact, Kind::Field, nullptr, 1080, 840, 5055, 435},
    {&frmTvUtil::cmdCompact, "cmdCompact", TabCompact, Kind::Browse, "Browse...", 6360, 840, 1215, 375},
    {&frmTvUtil::Animation2, "Animation2", TabCompact, Kind::Clip, nullptr, 1080, 3000, 6375, 1215},

    {&frmTvUtil::cmdAbout, "cmdAbout", -1, Kind::Command, "About", 120, 4800, 1335, 375},
    {&frmTvUtil::cmdStart, "cmdStart", -1, Kind::Command, "Start", 5160, 4800, 1335, 375},
    {&frmTvUtil::cmdClose, "cmdClose", -1, Kind::Command, "Close", 6600, 4800, 1335, 375},
};

} // namespace

void frmTvUtil::buildControls()
{
    SSTab1 = named(new SSTab({QStringLiteral("Backup"), QStringLiteral("Restore"), QStringLiteral("Compact")},
                             Twips::px(520), this),
                   "SSTab1");
    SSTab1->setGeometry(Twips::rect(120, 120, 7815, 4455));

    for (const Control &c : Layout) {
        QWidget *w = std::visit(
            [&](auto member) -> QWidget * {
                using Widget = std::remove_pointer_t<std::remove_reference_t<decltype(this->*member)>>;
                return this->*member = new Widget;
            },
            c.member);
        w->setObjectName(QLatin1String(c.name));
        const QString caption = QString::fromUtf8(c.caption);
        const QRect rect = Twips::rect(c.left, c.top, c.width, c.height);
        if (auto *label = qobject_cast<QLabel *>(w); label && c.kind == Kind::Label) {
            label->setText(caption);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(caption.contains(QLatin1Char(' ')) && rect.height() > Twips::px(300));
        } else if (auto *button = qobject_cast<QPushButton *>(w)) {
            button->setText(caption);
            button->setAutoDefault(false);
        }
        if (c.kind == Kind::Command) {
            w->setParent(this);
            w->setGeometry(rect);
        } else {
            SSTab1->place(c.tab, w, rect);
        }
    }
    Image1->setPixmap(Resources::cabinetShut(Twips::px(480)));
    Image2->setPixmap(Resources::applicationIcon().pixmap(Twips::px(480)));

    // The compaction's progress, in the place and the look of the compression control's.
    prgCompact = named(new ProgressView(this), "prgCompact");
    prgCompact->setGeometry(Twips::rect(1560, 4800, 3495, 375));
    prgCompact->setVisible(false);

    cmDialog = named(new CommonDialog(this), "cmDialog");
    cmDialog->setDialogTitle(QStringLiteral("Select"));
    cmDialog->setDefaultExt(QStringLiteral("mdb"));

    const QWidget *order[] = {SSTab1,    txtBackFrom, cmdBackFrom, txtBackTo,  cmdBackTo, txtRestFrom, cmdRestFrom,
                              txtRestTo, cmdRestTo,   txtCompact,  cmdCompact, cmdAbout,  cmdStart,    cmdClose};
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
// The window shows and sequences what the user sees; each operation's steps are one sequence in
// src/operations, run off the window's thread.

// Start's busy state: Start disabled, the hourglass, the tab's clip playing. Each way out of the
// Start handler leaves the window idle through this guard; the error paths take back the pointer
// and Start (release) before their message, and stop the clips before or after it.
class frmTvUtil::BusyState {
public:
    explicit BusyState(frmTvUtil &form) : form_(form) {}
    ~BusyState()
    {
        stopAllClips();
        release();
        form_.ZlibTool1->setVisible(false);
        form_.prgCompact->setVisible(false);
    }
    BusyState(const BusyState &) = delete;
    BusyState &operator=(const BusyState &) = delete;

    void begin(AnimationCtrl *animation, const QString &clip)
    {
        form_.cmdStart->setEnabled(false);
        Screen::setMousePointer(Screen::Hourglass);
        animation_ = animation;
        animation->Open(Paths::clipPath(Files::appPath(), clip));
        animation->Play();
    }
    void stopClip()
    {
        if (animation_)
            animation_->Stop();
    }
    void stopAllClips()
    {
        for (AnimationCtrl *animation : {form_.Animation1, form_.Animation2, form_.Animation3})
            animation->Stop();
    }
    // The pointer and Start come back, once.
    void release()
    {
        if (released_)
            return;
        released_ = true;
        Screen::setMousePointer(Screen::Default);
        form_.cmdStart->setEnabled(true);
    }

private:
    frmTvUtil &form_;
    AnimationCtrl *animation_ = nullptr;
    bool released_ = false;
};

void frmTvUtil::runOperation(const std::function<void(const Operations::Observer &)> &operation,
                             const std::function<void()> &onWorking, ProgressView *progress)
{
    Operations::Observer observer;
    observer.working = [this, onWorking, progress] {
        QMetaObject::invokeMethod(
            this,
            [onWorking, progress] {
                if (onWorking)
                    onWorking();
                if (progress)
                    progress->start();
            },
            Qt::QueuedConnection);
    };
    if (progress)
        observer.progress = progress->reporter();
    bool completed = false;
    const auto finishProgress = qScopeGuard([&] {
        if (progress)
            progress->finish(completed);
    });
    // Only Close still reaches the window: it asks to close once the operation has ended.
    Background::run([&] { operation(observer); },
                    [this](QObject *target, QEvent *) { return target == cmdClose && cmdClose->isEnabled(); });
    completed = true;
}

void frmTvUtil::cmdStart_Click()
{
    const int tab = SSTab1->Tab();
    if (tab != TabBackup && tab != TabRestore && tab != TabCompact)
        return;
    operationRunning_ = true;
    {
        BusyState busy(*this);
        try {
            switch (tab) {
            case TabBackup: {
                busy.begin(Animation3, Clips::FileCopy);
                QString source = txtBackFrom->text();
                QString destination = txtBackTo->text();
                CompressFile(busy, source, destination);
                break;
            }
            case TabRestore: {
                busy.begin(Animation1, Clips::FileCopy);
                QString source = txtRestFrom->text();
                QString destination = txtRestTo->text();
                DecompressFile(busy, source, destination);
                break;
            }
            case TabCompact: {
                busy.begin(Animation2, Clips::FileDelete);
                const QString source = txtCompact->text();
                const QString temp = Paths::compactTempPath(BackEndPath); // fails before the engine is called
                runOperation([&](const Operations::Observer &observer) { Operations::compact(source, temp, observer); },
                             [this] { prgCompact->setVisible(true); }, prgCompact);
                // The clip stops first; the hourglass and the disabled Start last until the message is read.
                busy.stopClip();
                MsgBox(QStringLiteral("Database compacted."), Msg::Information);
                prgCompact->setVisible(false);
                break;
            }
            }
        } catch (const Error &e) {
            showStartError(busy, e);
        } catch (const std::exception &e) {
            showStartError(busy, asError(e));
        }
    }
    operationRunning_ = false;
    // A close asked for meanwhile (Close, the close box, the system) happens now.
    if (closeRequested_)
        QMetaObject::invokeMethod(this, &frmTvUtil::cmdClose_Click, Qt::QueuedConnection);
}

void frmTvUtil::showStartError(BusyState &busy, const Error &error)
{
    busy.stopAllClips();
    busy.release();
    if (!Stop::requested()) // stopped because the program was asked to end: nobody is there to read it
        MsgBox(error.message(), Msg::Critical);
}

void frmTvUtil::showCompressionError(BusyState &busy, const Error &error)
{
    // Pointer and Start come back before the message; the clip stops after it.
    busy.release();
    if (!Stop::requested())
        MsgBox(error.message(), Msg::Critical);
    ZlibTool1->setVisible(false);
}

void frmTvUtil::CompressFile(BusyState &busy, QString &SrcFile, QString &DstFile)
{
    const QString source = SrcFile;
    DstFile = Paths::backupFileName(DstFile);
    const QString backupFile = DstFile;
    runCompression(
        busy, source, backupFile,
        [&](const Operations::Observer &observer) { Operations::backUp(source, backupFile, observer); },
        QStringLiteral("Backup successful."), false);
}

void frmTvUtil::DecompressFile(BusyState &busy, QString &SrcFile, QString &DstFile)
{
    const QString source = SrcFile, target = DstFile;
    const QDate today = Clock::now().date();
    // The checks of the target come first; their failures are the Start handler's to show.
    runCompression(
        busy, source, target,
        [&](const Operations::Observer &observer) { Operations::restore(source, target, today, observer); },
        QStringLiteral("Restore successful."), true);
}

void frmTvUtil::runCompression(BusyState &busy, const QString &source, const QString &output,
                               const std::function<void(const Operations::Observer &)> &operation,
                               const QString &success, bool checksToStart)
{
    bool working = false;
    try {
        runOperation(
            operation,
            [&] {
                working = true;
                ZlibTool1->setVisible(true);
                ZlibTool1->setInputFile(source);
                ZlibTool1->setOutputFile(output);
            },
            ZlibTool1->progress());
        MsgBox(success, Msg::Information);
        ZlibTool1->setVisible(false);
    } catch (const Operations::NotFound &e) {
        MsgBox(e.description(), Msg::Critical);
    } catch (const std::exception &e) {
        if (checksToStart && !working)
            throw;
        const auto *error = dynamic_cast<const Error *>(&e);
        showCompressionError(busy, error ? *error : asError(e));
    }
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
