#include "platform/dialogs/commondialog.h"

#include "platform/dialogs/dialoghook.h"
#include "platform/dialogs/ownedmodal.h"
#include "platform/errors.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>

namespace {

// Qt's dialog decides whether a typed name is a folder relative to the process's working
// folder rather than the folder shown, so with a default extension "sub" would come back as
// "sub.mdb". A typed folder name, relative to the folder shown or absolute, opens that folder.
class FileOpenDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        if (auto *edit = findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
            const QString typed = edit->text();
            const QFileInfo info(directory().filePath(typed));
            if (!typed.isEmpty() && info.isDir()) {
                setDirectory(info.absoluteFilePath());
                edit->clear();
                return;
            }
        }
        QFileDialog::accept();
    }
};

} // namespace

CommonDialog::CommonDialog(QObject *owner) : QObject(owner) {}

QStringList CommonDialog::nameFilters(const QString &filter)
{
    QStringList result;
    if (filter.isEmpty())
        return result;
    const QStringList parts = filter.split(QLatin1Char('|'));
    if (parts.size() % 2 != 0)
        throw Error(ErrorNumber::InvalidArgument,
                    QStringLiteral("The file filter %1 has a description without a pattern").arg(quotedPath(filter)));
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString patterns =
            parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts).join(QLatin1Char(' ')).trimmed();
        if (patterns.isEmpty())
            throw Error(ErrorNumber::InvalidArgument,
                        QStringLiteral("The file filter %1 has an empty pattern").arg(quotedPath(filter)));
        // The dialog reads the patterns from the last parentheses and, with the details
        // hidden, shows only what comes before them: the description exactly as given.
        result.append(parts.at(i) + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return result;
}

void CommonDialog::ShowOpen()
{
    QString defaultExt = defaultExt_;
    if (defaultExt.startsWith(QLatin1Char('.')))
        defaultExt.remove(0, 1);

    DialogHook::Shown box;
    box.kind = DialogHook::Kind::FileOpen;
    box.title = dialogTitle_;
    box.filter = filter_;
    box.defaultExt = defaultExt_;
    box.initialFileName = fileName_;
    const QStringList filters = nameFilters(filter_);
    std::optional<QString> chosen;
    if (const auto scripted = DialogHook::Internal::announceFileOpen(box)) {
        chosen = *scripted;
    } else {
        Dialogs::Internal::OwnedModal<FileOpenDialog> dialog(Dialogs::Internal::ownerWindow(parent()));
        // Qt's own dialog, the same on every desktop, so that tests can drive it.
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->setOption(QFileDialog::HideNameFilterDetails);
        dialog->setWindowTitle(dialogTitle_.isEmpty() ? QFileDialog::tr("Open") : dialogTitle_);
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        // Any name, existing or not (a backup destination is chosen before it is written);
        // a folder typed or double-clicked is opened, never returned.
        dialog->setFileMode(QFileDialog::AnyFile);
        // BACK.MDB is a database file as much as back.mdb.
        dialog->setFilter(dialog->filter() & ~QDir::CaseSensitive);
        dialog->setDefaultSuffix(defaultExt);
        if (!filters.isEmpty())
            dialog->setNameFilters(filters);
        if (!fileName_.isEmpty())
            dialog->selectFile(fileName_);
        if (dialog.exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
            chosen = QDir::toNativeSeparators(dialog->selectedFiles().constFirst());
    }
    if (!chosen)
        throw Error(ErrorNumber::DialogCancelled, QStringLiteral("The file dialog was cancelled"));
    fileName_ = *chosen;
}

void CommonDialog::chooseInto(QLineEdit *field, const QString &filter)
{
    try {
        setFilter(filter);
        ShowOpen();
        field->setText(FileName());
    } catch (const std::exception &) {
        // Cancelled (reported as an error) or failed: the field keeps its text, nothing is shown.
    }
}
