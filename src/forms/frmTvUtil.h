#pragma once

#include <QWidget>

#include <functional>
#include <memory>

class AnimationCtrl;
class CommonDialog;
class ProgressView;
class QLabel;
class QLineEdit;
class QPushButton;
class SSTab;
class StartRun;
class ZlibToolCtrl;

// The main window: a tab per maintenance operation (Backup, Restore, Compact), the path fields of
// each, and the About, Start and Close buttons. It is the program's start-up object: creating it
// runs Form_Load, its first activation asks for the login, and unloading it saves the paths.
class frmTvUtil : public QWidget {
    Q_OBJECT

public:
    // Creates the window and runs Form_Load. Throws Error when the compression control cannot
    // be created; nothing has been written then.
    static std::unique_ptr<frmTvUtil> Load();
    ~frmTvUtil() override;

    void Form_Load();
    void Form_Activate();
    void Form_QueryUnload(int &Cancel, int UnloadMode);
    void Form_Unload(int &Cancel);
    void cmdClose_Click();
    void SSTab1_Click(int PreviousTab);

    // Browse... buttons: each fills its path field with the file chosen in cmDialog. A cancelled
    // or failed dialog leaves the field as it was, silently. About shows the About dialog modally.
    void cmdBackFrom_Click();
    void cmdBackTo_Click();
    void cmdRestFrom_Click();
    void cmdRestTo_Click();
    void cmdCompact_Click();
    void cmdAbout_Click();
    // Start: runs the operation of the selected tab (0 Backup, 1 Restore, 2 Compact; any other
    // index does nothing) under the busy state, and reports any error in a message box.
    void cmdStart_Click();
    // The program was asked to end (a signal): stops the operation under way, if any, and closes
    // the program once it has ended, saving the settings as Close does.
    void stopAndClose();

    // True once the window has been unloaded (settings saved, hidden for good).
    [[nodiscard]] bool isUnloaded() const { return unloaded_; }

    // Controls, by the names the handlers use.
    SSTab *SSTab1;
    QLabel *Image1, *Image2;
    QLabel *Label1, *Label2, *Label4, *Label5, *Label7, *Label8, *Label9, *Label10, *Label13, *Label14;
    QLineEdit *txtBackFrom, *txtBackTo, *txtRestFrom, *txtRestTo, *txtCompact;
    QPushButton *cmdBackFrom, *cmdBackTo, *cmdRestFrom, *cmdRestTo, *cmdCompact;
    QPushButton *cmdAbout, *cmdStart, *cmdClose;
    AnimationCtrl *Animation1, *Animation2, *Animation3;
    CommonDialog *cmDialog;
    ZlibToolCtrl *ZlibTool1 = nullptr;
    // The progress of a compaction, shown where ZlibTool1 stands.
    ProgressView *prgCompact;

signals:
    // Emitted once, when the window has been unloaded; the program ends then.
    void unloaded();

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    frmTvUtil();
    void buildControls();
    void UpdateStartCaption();
    void unloadSelf();

    // Backs up SrcFile into DstFile, after forcing DstFile's extension to ".TVB" (the caller's
    // string holds the rewritten path afterwards), and shows the outcome.
    void CompressFile(StartRun &run, QString &SrcFile, QString &DstFile);
    // Restores the backup SrcFile over DstFile and shows the outcome; an error met before the work
    // begins (a check of the target) goes on to the Start handler.
    void DecompressFile(StartRun &run, QString &SrcFile, QString &DstFile);
    // Close was asked for while an operation runs: it happens once the operation has ended.
    void requestClose();

    bool activatedOnce_ = false;
    // An operation is running: a request to close waits until it has ended, so the window is not
    // unloaded (and the program not ended) while a file is half-way to its new content. Close
    // stays greyed out from the request until then.
    bool operationRunning_ = false;
    bool closeRequested_ = false;
    bool unloadStarted_ = false;
    bool unloaded_ = false;
};
