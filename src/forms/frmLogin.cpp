#include "forms/frmLogin.h"

#include "app/modTarBackup.h"
#include "operations/login.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/fitfont.h"
#include "platform/fs/files.h"
#include "platform/twips.h"
#include "resources/pictures.h"
#include "resources/texts.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>

#include <limits>

using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;

namespace {
frmLogin *current = nullptr;

// Shows every character of a password field as "*".
class StarEchoStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Delivers a keystroke to a control as if typed.
void sendKey(QWidget *to, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(to, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(to, &release);
}
} // namespace

frmLogin::frmLogin()
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(QStringLiteral("Login"));
    setFixedSize(Twips::size(5925, 4455));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setBrush(QPalette::Window, Resources::loginBackground(size()));
    setPalette(pal);

    auto place = [this](QWidget *w, const char *name, QRect r) {
        w->setParent(this);
        w->setObjectName(QLatin1String(name));
        w->setGeometry(r);
    };
    QFont bold = font();
    bold.setBold(true);

    txtUserName = new QLineEdit;
    txtPassword = new QLineEdit;
    // No length limit: a text field would otherwise cut a long name or password silently.
    txtUserName->setMaxLength(std::numeric_limits<int>::max());
    txtPassword->setMaxLength(std::numeric_limits<int>::max());
    lblLabels[0] = new QLabel(QStringLiteral("&User Name"));
    lblLabels[1] = new QLabel(QStringLiteral("&Password"));
    QPalette onPicture = palette(); // the labels stand on the dark picture
    onPicture.setColor(QPalette::WindowText, Qt::white);
    for (int i = 0; i < 2; ++i) {
        lblLabels[i]->setPalette(onPicture);
        lblLabels[i]->setBuddy(i == 0 ? txtUserName : txtPassword);
    }
    place(lblLabels[0], "lblLabels0", Twips::rect(2520, 480, 1080, 270));
    place(txtUserName, "txtUserName", Twips::rect(2520, 720, 2565, 345));
    place(lblLabels[1], "lblLabels1", Twips::rect(2520, 1440, 1080, 270));
    QFont onPictureFont = bold; // one size for both, the wider caption fitting with pixels to spare
    for (QLabel *label : lblLabels)
        onPictureFont = fittedFont(onPictureFont, label->text(), label->width() - 4);
    for (QLabel *label : lblLabels)
        label->setFont(onPictureFont);
    place(txtPassword, "txtPassword", Twips::rect(2520, 1680, 2565, 345));
    txtPassword->setEchoMode(QLineEdit::Password);
    auto *star = new StarEchoStyle;
    star->setParent(txtPassword);
    txtPassword->setStyle(star);

    cmdOK = new QPushButton(QStringLiteral("OK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"));
    place(cmdOK, "cmdOK", Twips::rect(2520, 3840, 1140, 390));
    place(cmdCancel, "cmdCancel", Twips::rect(4020, 3840, 1140, 390));
    cmdOK->setDefault(true);

    Label2 = new QLabel(QString::fromUtf8(Resources::CopyrightLine));
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2->setContentsMargins(4, 0, 0, 0); // it stands at the window's very edge
    place(Label2, "Label2", Twips::rect(0, 3480, 1575, 855));

    Image2 = new QLabel;
    Image2->setScaledContents(true);
    Image2->setPixmap(Resources::logo(Twips::size(1170, 615)));
    place(Image2, "Image2", Twips::rect(240, 120, 1170, 615));
    Image1 = new QLabel;
    Image1->setScaledContents(true);
    Image1->setPixmap(Resources::loginPicture(Twips::size(3600, 2010)));
    place(Image1, "Image1", Twips::rect(2040, 360, 3600, 2010));
    Image1->lower(); // behind the fields it frames

    setTabOrder(txtUserName, txtPassword);
    setTabOrder(txtPassword, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    txtUserName->setFocus();

    connect(cmdOK, &QPushButton::clicked, this, &frmLogin::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmLogin::cmdCancel_Click);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    current = this;
}

frmLogin::~frmLogin()
{
    if (current == this)
        current = nullptr;
}

void frmLogin::ShowModal()
{
    frmLogin dialog;
    dialog.exec();
}

frmLogin *frmLogin::instance()
{
    return current;
}

bool frmLogin::isVisibleNow()
{
    return current && current->isVisible();
}

void frmLogin::keyPressEvent(QKeyEvent *event)
{
    // Esc presses Cancel, so it runs the same handler.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdCancel->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmLogin::cmdOK_Click()
{
    while (!Files::exists(BackEndPath)) {
        if (MsgBox(BackEndPath + QStringLiteral(" not found."), Msg::Exclamation + Msg::RetryCancel) != Msg::Retry)
            return;
        const std::optional<QString> answer =
            InputBox(QStringLiteral("Please specify the path of BACK.MDB"), QStringLiteral("BackEnd"), BackEndPath);
        if (!answer) {
            LoggedIn = false;
            return;
        }
        BackEndPath = *answer;
    }

    try {
        if (userMatches())
            LoggedIn = true;
    } catch (const Error &e) {
        // The file could not be read as a database, or holds no User table.
        MsgBox(e.message(), Msg::Critical);
        return;
    }

    if (LoggedIn) {
        accept();
        return;
    }
    MsgBox(QStringLiteral("Invalid password"), Msg::Exclamation);
    selectPassword();
}

bool frmLogin::userMatches()
{
    return Operations::credentialsMatch(BackEndPath, txtUserName->text(), txtPassword->text());
}

void frmLogin::selectPassword()
{
    // Home, then Shift+End: the whole password is selected, so the next typing replaces it.
    txtPassword->setFocus();
    sendKey(txtPassword, Qt::Key_Home);
    sendKey(txtPassword, Qt::Key_End, Qt::ShiftModifier);
}

void frmLogin::cmdCancel_Click()
{
    LoggedIn = false;
    reject();
}
