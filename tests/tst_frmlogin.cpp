#include "app/modTarBackup.h"
#include "forms/frmLogin.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/twips.h"
#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QtTest>

using namespace FormSupport;
using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;

class TestLogin : public QObject {
    Q_OBJECT

private slots:
    void init();
    void layoutAndFocusOrder();
    void labelsReadableOnPicture();
    void wrongPasswordSelectsIt();
    void missingBackEndLoop();
    void engineFailureKeepsDialogOpen_data();
    void engineFailureKeepsDialogOpen();
    void enterPressesOkAndEscCancels();

private:
    std::unique_ptr<TestSupport::TempFolder> tmp;
    QString db;
};

void TestLogin::init()
{
    tmp = std::make_unique<TestSupport::TempFolder>();
    resetProgramState(tmp->path("settings"));
    db = tmp->path("it's a back end.mdb");
    makeBackEnd(db, {"ADMIN:Secret"});
    BackEndPath = db;
}

void TestLogin::layoutAndFocusOrder()
{
    frmLogin dlg;
    dlg.show();
    QCOMPARE(dlg.windowTitle(), QString("Login"));
    QCOMPARE(dlg.size(), Twips::size(5925, 4455));
    const struct {
        QWidget *w;
        QRect twips;
    } table[] = {
        {dlg.lblLabels[0], {2520, 480, 1080, 270}},  {dlg.txtUserName, {2520, 720, 2565, 345}},
        {dlg.lblLabels[1], {2520, 1440, 1080, 270}}, {dlg.txtPassword, {2520, 1680, 2565, 345}},
        {dlg.cmdOK, {2520, 3840, 1140, 390}},        {dlg.cmdCancel, {4020, 3840, 1140, 390}},
        {dlg.Label2, {0, 3480, 1575, 855}},          {dlg.Image2, {240, 120, 1170, 615}},
        {dlg.Image1, {2040, 360, 3600, 2010}},
    };
    for (const auto &row : table)
        QCOMPARE(row.w->geometry(), Twips::rect(row.twips.x(), row.twips.y(), row.twips.width(), row.twips.height()));
    QCOMPARE(dlg.lblLabels[0]->text(), QString("&User Name"));
    QVERIFY(dlg.lblLabels[1]->font().bold());
    QCOMPARE(dlg.cmdOK->text(), QString("OK"));
    QVERIFY(dlg.cmdOK->isDefault());
    QCOMPARE(dlg.txtPassword->echoMode(), QLineEdit::Password);
    QCOMPARE(dlg.txtPassword->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, dlg.txtPassword),
             int('*'));
    QVERIFY(!dlg.Label2->text().isEmpty());

    QTRY_COMPARE(QApplication::focusWidget(), dlg.txtUserName);
    const QWidget *order[] = {dlg.txtPassword, dlg.cmdOK, dlg.cmdCancel, dlg.txtUserName};
    for (const QWidget *next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    // Access keys put the focus in the labelled fields.
    QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.txtPassword);
    QTest::keyClick(&dlg, Qt::Key_U, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.txtUserName);
}

void TestLogin::labelsReadableOnPicture()
{
    // The white labels stand on the picture: each pixel of it under a label must leave white
    // text a contrast ratio of at least 4.5:1 (relative luminance at most 0.1833).
    const auto luminance = [](QColor c) {
        const auto linear = [](qreal v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    frmLogin dlg;
    dlg.show();
    const QImage picture = dlg.Image1->grab().toImage();
    for (const QLabel *label : dlg.lblLabels) {
        const QRect under = label->geometry().translated(-dlg.Image1->pos());
        QVERIFY(picture.rect().contains(under));
        for (int y = under.top(); y <= under.bottom(); ++y)
            for (int x = under.left(); x <= under.right(); ++x)
                if (const QColor c = picture.pixelColor(x, y); luminance(c) > 0.1833)
                    QFAIL(qPrintable(QString("%1 at %2,%3 under %4").arg(c.name()).arg(x).arg(y).arg(label->text())));
    }
}

void TestLogin::wrongPasswordSelectsIt()
{
    DialogHook::answerMsgBox(Msg::OK);
    frmLogin dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    typeLogin(&dlg, "admin", "wrong one");
    QVERIFY(!LoggedIn);
    QCOMPARE(DialogHook::shown().size(), 1);
    QCOMPARE(DialogHook::shown().at(0).text, QString("Invalid password"));
    QCOMPARE(DialogHook::shown().at(0).style, Msg::Exclamation);
    QCOMPARE(QApplication::focusWidget(), dlg.txtPassword);
    QCOMPARE(dlg.txtPassword->selectedText(), QString("wrong one"));
    QCOMPARE(dlg.txtUserName->text(), QString("admin"));
    // The next typing replaces the password.
    QTest::keyClicks(dlg.txtPassword, "Secret");
    QCOMPARE(dlg.txtPassword->text(), QString("Secret"));
    QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    QVERIFY(LoggedIn);
}

void TestLogin::missingBackEndLoop()
{
    const QString gone = tmp->path("gone.mdb");
    QDir().mkdir(tmp->path("a folder.mdb"));
    BackEndPath = gone;
    frmLogin dlg;
    dlg.show();
    const auto texts = [] {
        QStringList texts;
        for (const DialogHook::Shown &box : DialogHook::shown())
            texts << box.text;
        return texts;
    };

    // Cancel in the message box; then a cancelled input box: the dialog stays, the path is kept.
    DialogHook::answerMsgBox(Msg::Cancel);
    typeLogin(&dlg, "ADMIN", "Secret");
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(std::nullopt);
    QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    QVERIFY(dlg.isVisible());
    QCOMPARE(BackEndPath, gone);
    // An empty answer is taken and tested at once; a folder counts as not found; Retry with a
    // good path goes on at once.
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(QString(""));
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(tmp->path("a folder.mdb"));
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(db);
    QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    const QString prompt = "Please specify the path of BACK.MDB";
    QCOMPARE(texts(), QStringList({gone + " not found.", gone + " not found.", prompt, gone + " not found.", prompt,
                                   " not found.", prompt, tmp->path("a folder.mdb") + " not found.", prompt}));
    const auto shown = DialogHook::shown();
    QCOMPARE(shown[0].style, Msg::Exclamation + Msg::RetryCancel);
    QCOMPARE(shown[2].title, QString("BackEnd"));
    QCOMPARE(shown[2].defaultText, gone);
    QVERIFY(LoggedIn);
    QCOMPARE(BackEndPath, db);
    QVERIFY(!dlg.isVisible());
}

void TestLogin::engineFailureKeepsDialogOpen_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not a database") << QByteArray("This is a letter, not a database.\n").repeated(200);
    QTest::newRow("empty file has no User table") << QByteArray();
}

void TestLogin::engineFailureKeepsDialogOpen()
{
    QFETCH(QByteArray, content);
    BackEndPath = tmp->path("odd.mdb");
    TestSupport::writeFile(BackEndPath, content);
    DialogHook::answerMsgBox(Msg::OK);
    frmLogin dlg;
    dlg.show();
    typeLogin(&dlg, "ADMIN", "Secret");
    QVERIFY(!LoggedIn);
    QVERIFY(dlg.isVisible());
    QCOMPARE(DialogHook::shown().size(), 1);
    const auto box = DialogHook::shown().at(0);
    QCOMPARE(box.style, Msg::Critical);
    QVERIFY2(QRegularExpression("^-?\\d+: .+").match(box.text).hasMatch(), qPrintable(box.text));
    QVERIFY2(box.text.contains(BackEndPath), qPrintable(box.text));
    QCOMPARE(TestSupport::readFile(BackEndPath), content);
}

void TestLogin::enterPressesOkAndEscCancels()
{
    bool checked = false;
    whenLoginShown([&](frmLogin *dlg) {
        QTest::keyClicks(dlg->txtUserName, "admin");
        QTest::keyClicks(dlg->txtPassword, "Secret");
        QTest::keyClick(dlg->txtPassword, Qt::Key_Return);
        checked = true;
    });
    frmLogin::ShowModal();
    QVERIFY(checked);
    QVERIFY(LoggedIn);
    QVERIFY(!frmLogin::instance());

    LoggedIn = true; // Cancel sets it back to false
    whenLoginShown([](frmLogin *dlg) { QTest::keyClick(dlg->txtUserName, Qt::Key_Escape); });
    frmLogin::ShowModal();
    QVERIFY(!LoggedIn);

    // The close box closes without a login.
    whenLoginShown([](frmLogin *dlg) { dlg->close(); });
    frmLogin::ShowModal();
    QVERIFY(!LoggedIn);
}

QTEST_MAIN(TestLogin)
#include "tst_frmlogin.moc"
