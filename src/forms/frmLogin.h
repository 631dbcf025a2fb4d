#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The login dialog: checks a user name and password against the User table of the back-end
// database named by BackEndPath, letting the user name another file when that one is missing.
// It reports only through modTarBackup::LoggedIn (and may replace BackEndPath).
class frmLogin : public QDialog {
    Q_OBJECT

public:
    frmLogin();
    ~frmLogin() override;

    // Shows a fresh login dialog modally and returns once it has been dismissed.
    static void ShowModal();
    // The dialog while it is loaded, else nullptr; and whether it is on screen now.
    [[nodiscard]] static frmLogin *instance();
    [[nodiscard]] static bool isVisibleNow();

    void cmdOK_Click();
    void cmdCancel_Click();

    QLabel *lblLabels[2];
    QLineEdit *txtUserName, *txtPassword;
    QPushButton *cmdOK, *cmdCancel;
    QLabel *Label2, *Image1, *Image2;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    [[nodiscard]] bool userMatches();
    void selectPassword();
};
