#include "platform/dialogs/inputbox.h"

#include "platform/dialogs/dialoghook.h"
#include "platform/dialogs/messagebox.h"
#include "platform/dialogs/ownedmodal.h"

#include <QInputDialog>
#include <QLabel>

std::optional<QString> InputBox(const QString &prompt, const QString &title, const QString &defaultText)
{
    DialogHook::Shown box;
    box.kind = DialogHook::Kind::Input;
    box.text = prompt;
    box.title = title.isEmpty() ? QString::fromLatin1(AppTitle) : title;
    box.defaultText = defaultText;
    if (const auto scripted = DialogHook::Internal::announceInput(box))
        return *scripted;

    Dialogs::Internal::OwnedModal<QInputDialog> dialog(Dialogs::Internal::ownerWindow());
    dialog->setWindowTitle(box.title);
    dialog->setInputMode(QInputDialog::TextInput);
    dialog->setLabelText(prompt);
    dialog->setTextValue(defaultText);
    // The input dialog builds its label when the mode is set; it selects the default text itself.
    if (auto *label = dialog->findChild<QLabel *>())
        label->setTextFormat(Qt::PlainText);

    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog->textValue();
}
