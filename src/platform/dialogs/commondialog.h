#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLineEdit;

// The file dialog shared by a window's pickers. Its settings stay between uses: in particular
// FileName keeps the last file chosen, and the next ShowOpen starts with it selected in its folder.
class CommonDialog : public QObject {
    Q_OBJECT

public:
    // owner: the window the dialog belongs to and lives as long as.
    explicit CommonDialog(QObject *owner = nullptr);

    // The caption; "Open" when empty.
    const QString &DialogTitle() const { return dialogTitle_; }
    void setDialogTitle(const QString &title) { dialogTitle_ = title; }
    // Added, after a ".", to a name typed without an extension ("mdb").
    const QString &DefaultExt() const { return defaultExt_; }
    void setDefaultExt(const QString &ext) { defaultExt_ = ext; }
    // Pairs of description and patterns joined by "|", several patterns by ";":
    // "Microsoft Access (*.mdb)|*.mdb" or "Databases|*.mdb;*.db|All files|*". Empty shows every file.
    const QString &Filter() const { return filter_; }
    void setFilter(const QString &filter) { filter_ = filter; }
    // The full path of the file chosen last.
    const QString &FileName() const { return fileName_; }
    void setFileName(const QString &fileName) { fileName_ = fileName; }

    // Shows the application-modal file-open dialog. It lists folders and the files that match
    // the filter (whatever the case of their names) and accepts a typed name of a file that does
    // not exist yet; a folder opens instead of being chosen. On OK, FileName becomes the full path
    // chosen. Cancelling throws Error(ErrorNumber::DialogCancelled) and leaves FileName unchanged;
    // a malformed Filter throws Error(ErrorNumber::InvalidArgument).
    void ShowOpen();
    // Shows the file-open dialog with filter and puts the file chosen into field. Only the filter
    // is set: the dialog keeps the file name of its last use, whichever field that served, and the
    // field's own text is not handed over. Cancelled or failed: the field keeps its text, and
    // nothing is shown.
    void chooseInto(QLineEdit *field, const QString &filter);

    // The file dialog's name filters for a filter string:
    // "Microsoft Access (*.mdb)|*.mdb" -> {"Microsoft Access (*.mdb) (*.mdb)"}.
    [[nodiscard]] static QStringList nameFilters(const QString &filter);

private:
    QString dialogTitle_;
    QString defaultExt_;
    QString filter_;
    QString fileName_;
};
