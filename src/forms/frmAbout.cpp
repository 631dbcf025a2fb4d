#include "forms/frmAbout.h"

#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/fitfont.h"
#include "platform/fs/files.h"
#include "platform/process/process.h"
#include "platform/twips.h"
#include "resources/pictures.h"
#include "resources/texts.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

using namespace Registry;

namespace {

// Where the system information program is registered: first its full path, then the folder
// that holds it under the name MsInfoFile.
const QString SysInfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString SysInfoValue = QStringLiteral("PATH");
const QString SysInfoLocationKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const QString SysInfoLocationValue = QStringLiteral("MSINFO");
const QString MsInfoFile = QStringLiteral("MSINFO32.EXE");

// Room for a value read from the registry; a longer value counts as unreadable.
constexpr quint32 ValueBufferSize = 1024;

QLabel *addLabel(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QPushButton *addButton(QWidget *parent, const char *name, const QString &caption, const QRect &geometry)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    // Room for the caption: the button less its frame and a few pixels on either side.
    const int frame = button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    button->setFont(fittedFont(button->font(), caption, geometry.width() - 2 * (frame + 4)));
    return button;
}

} // namespace

frmAbout::frmAbout(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(Twips::size(5730, 3555));

    // Created in tab order, so that the focus chain follows it.
    cmdOK = addButton(this, "cmdOK", QStringLiteral("OK"), Twips::rect(4245, 2625, 1260, 345));
    cmdOK->setDefault(true);

    picIcon = addLabel(this, "picIcon", QString(), Twips::rect(240, 240, 540, 540));
    picIcon->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    picIcon->setAlignment(Qt::AlignCenter);
    picIcon->setPixmap(Resources::cabinetOpen(32));

    cmdSysInfo = addButton(this, "cmdSysInfo", QStringLiteral("&System Info..."), Twips::rect(4260, 3075, 1245, 345));

    lblDescription = addLabel(this, "lblDescription", QString::fromUtf8(Resources::CopyrightLine),
                              Twips::rect(1050, 960, 3885, 1170));
    lblDescription->setWordWrap(true);
    lblTitle = addLabel(this, "lblTitle", QStringLiteral("Tarvos Backup"), Twips::rect(1050, 240, 3885, 240));
    lblVersion = addLabel(this, "lblVersion", QStringLiteral("Version 1.00"), Twips::rect(1080, 600, 3885, 225));

    Image1 = addLabel(this, "Image1", QString(), Twips::rect(120, 2520, 2610, 885));
    Image1->setScaledContents(true);
    Image1->setPixmap(Resources::logo());

    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);

    // Centred on the screen (not on the owner), the screen being the owner's if there is one.
    QScreen *screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen)
        move(screen->availableGeometry().center() - rect().center());

    Form_Load();
}

void frmAbout::showModalAfresh(QWidget *owner)
{
    // exec() deletes a dialog that deletes itself on close once its modal loop has ended.
    auto *dialog = new frmAbout(owner);
    dialog->exec();
}

void frmAbout::Form_Load()
{
    const QString title = QString::fromUtf8(Resources::ApplicationTitle);
    setWindowTitle(QStringLiteral("About ") + title);
    lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                            .arg(TARVOS_VERSION_MAJOR)
                            .arg(TARVOS_VERSION_MINOR)
                            .arg(TARVOS_VERSION_PATCH));
    lblTitle->setText(title);
}

void frmAbout::cmdOK_Click()
{
    close();
}

void frmAbout::cmdSysInfo_Click()
{
    StartSysInfo();
}

void frmAbout::StartSysInfo()
{
    QString SysInfoPath;
    try {
        if (!GetKeyValue(HKEY_LOCAL_MACHINE, SysInfoKey, SysInfoValue, SysInfoPath)) {
            if (!GetKeyValue(HKEY_LOCAL_MACHINE, SysInfoLocationKey, SysInfoLocationValue, SysInfoPath)) {
                showUnavailable();
                return;
            }
            const QString file = SysInfoPath + Files::separator() + MsInfoFile;
            if (!Files::exists(file)) {
                showUnavailable();
                return;
            }
            SysInfoPath = file;
        }
        // The path read from the first key is started as it is, without an existence test; a
        // launch that fails ends at the message below. Several presses start several copies.
        Process::Shell(SysInfoPath, Process::WindowStyle::NormalFocus);
    } catch (const std::exception &) {
        showUnavailable();
    }
}

bool frmAbout::GetKeyValue(HKEY KeyRoot, const QString &KeyName, const QString &SubKeyRef, QString &KeyVal)
{
    // Reading a value needs read rights only. Asking for more (set value, create sub-key) would
    // be refused to an ordinary user, who would then never get the system information program.
    HKEY key{};
    if (RegOpenKeyExA(KeyRoot, KeyName.toLocal8Bit(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    const KeyCloser closer(key);

    QByteArray data(ValueBufferSize, '\0');
    quint32 size = ValueBufferSize;
    quint32 type = REG_NONE;
    if (RegQueryValueExA(key, SubKeyRef.toLocal8Bit(), nullptr, &type, reinterpret_cast<unsigned char *>(data.data()),
                         &size) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    if (size == 0)
        throw Error(ErrorNumber::InvalidArgument, QStringLiteral("The registry value %1 of the key %2 is empty")
                                                      .arg(quotedPath(SubKeyRef), quotedPath(KeyName)));
    // Drop the terminating zero of a string (and a zero top byte of a number).
    data.truncate(data.at(size - 1) == '\0' ? size - 1 : size);

    switch (type) {
    case REG_SZ:
        KeyVal = QString::fromLocal8Bit(data);
        break;
    case REG_DWORD: {
        QString text = QStringLiteral("&h");
        for (qsizetype i = data.size() - 1; i >= 0; --i)
            text += QStringLiteral("%1").arg(quint8(data.at(i)), 2, 16, QLatin1Char('0')).toUpper();
        KeyVal = text;
        break;
    }
    default:
        break;
    }
    return true;
}

void frmAbout::showUnavailable()
{
    MsgBox(QStringLiteral("System Information Is Unavailable At This Time"), Msg::OKOnly);
}

void frmAbout::paintEvent(QPaintEvent *event)
{
    QDialog::paintEvent(event);
    // The etched separator above the logo: a grey line over a white one twice as thick.
    QPainter p(this);
    const int left1 = Twips::px(90), left0 = Twips::px(105), right = Twips::px(5654);
    p.fillRect(QRect(left1, Twips::px(2445), right - left1, 1), QColor(128, 128, 128));
    p.fillRect(QRect(left0, Twips::px(2460), right - left0, 2), Qt::white);
}

void frmAbout::keyPressEvent(QKeyEvent *event)
{
    // OK is also the cancel button: Esc presses it.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdOK->click();
        return;
    }
    QDialog::keyPressEvent(event);
}
