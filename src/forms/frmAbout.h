#pragma once

#include "platform/registry/registry.h"

#include <QDialog>

class QLabel;
class QPushButton;

// The About dialog: the application's icon, title, version and copyright line, and a button that
// starts the system information program named in the machine-wide registry.
//
// Creating the dialog loads it (Form_Load); closing it in any way unloads it: the dialog deletes
// itself. Its controls bear their names as object names (picIcon, lblTitle, lblVersion,
// lblDescription, Image1, cmdOK, cmdSysInfo).
class frmAbout : public QDialog {
    Q_OBJECT

public:
    // owner, if given, is the window the dialog stays above; the dialog opens centred on the
    // screen either way.
    explicit frmAbout(QWidget *owner = nullptr);

    // The main window's About button: shows a freshly loaded dialog modally and returns when it
    // has been closed (and deleted).
    static void showModalAfresh(QWidget *owner = nullptr);

    // Finds and starts the system information program, or tells the user that it cannot.
    void StartSysInfo();

    // Reads the value SubKeyRef of the key KeyName below KeyRoot into KeyVal: a string as its
    // text, a 32-bit number as "&h" and its hexadecimal digits (most significant byte first,
    // a zero top byte dropped), any other type leaving KeyVal unchanged. Returns false, with
    // KeyVal emptied, when the key cannot be opened or the value cannot be read (absent, or
    // longer than 1024 bytes). Throws Error for a value of zero length.
    [[nodiscard]] static bool GetKeyValue(Registry::HKEY KeyRoot, const QString &KeyName, const QString &SubKeyRef,
                                          QString &KeyVal);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void cmdOK_Click();
    void cmdSysInfo_Click();

private:
    void Form_Load();
    void showUnavailable();

    QLabel *picIcon;
    QLabel *lblTitle;
    QLabel *lblVersion;
    QLabel *lblDescription;
    QLabel *Image1;
    QPushButton *cmdOK;
    QPushButton *cmdSysInfo;
};
