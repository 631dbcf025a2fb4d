#include "platform/dialogs/messagebox.h"

#include "platform/dialogs/dialoghook.h"
#include "platform/dialogs/ownedmodal.h"

#include <QMessageBox>

#include <utility>
#include <vector>

namespace {

using ButtonSet = std::vector<std::pair<QMessageBox::StandardButton, int>>;

// The buttons of a style, in the classic order, each with the result it returns.
ButtonSet buttonsOf(int style)
{
    switch (style & 0x7) {
    case Msg::OKCancel:
        return {{QMessageBox::Ok, Msg::OK}, {QMessageBox::Cancel, Msg::Cancel}};
    case Msg::AbortRetryIgnore:
        return {{QMessageBox::Abort, Msg::Abort}, {QMessageBox::Retry, Msg::Retry}, {QMessageBox::Ignore, Msg::Ignore}};
    case Msg::YesNoCancel:
        return {{QMessageBox::Yes, Msg::Yes}, {QMessageBox::No, Msg::No}, {QMessageBox::Cancel, Msg::Cancel}};
    case Msg::YesNo:
        return {{QMessageBox::Yes, Msg::Yes}, {QMessageBox::No, Msg::No}};
    case Msg::RetryCancel:
        return {{QMessageBox::Retry, Msg::Retry}, {QMessageBox::Cancel, Msg::Cancel}};
    default:
        return {{QMessageBox::Ok, Msg::OK}};
    }
}

QMessageBox::Icon iconOf(int style)
{
    switch (style & 0x70) {
    case Msg::Critical:
        return QMessageBox::Critical;
    case Msg::Question:
        return QMessageBox::Question;
    case Msg::Exclamation:
        return QMessageBox::Warning;
    case Msg::Information:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

// The answer of a box closed without a button being pressed: Cancel if it has one.
int unansweredResult(const ButtonSet &buttons)
{
    for (const auto &button : buttons) {
        if (button.second == Msg::Cancel)
            return Msg::Cancel;
    }
    return buttons.front().second;
}

} // namespace

int MsgBox(const QString &prompt, int style)
{
    DialogHook::Shown box;
    box.kind = DialogHook::Kind::Message;
    box.text = prompt;
    box.style = style;
    box.title = QString::fromLatin1(AppTitle);
    if (const auto scripted = DialogHook::Internal::announceMessage(box))
        return *scripted;

    const ButtonSet buttons = buttonsOf(style);
    Dialogs::Internal::OwnedModal<QMessageBox> dialog(Dialogs::Internal::ownerWindow());
    dialog->setWindowTitle(box.title);
    dialog->setIcon(iconOf(style));
    // Paths and error descriptions may hold "<" or "&": never read them as markup.
    dialog->setTextFormat(Qt::PlainText);
    dialog->setText(prompt);
    // Qt makes Cancel, or the only button, the one that Esc and the close box press.
    for (const auto &button : buttons)
        dialog->addButton(button.first);
    const std::size_t defaultIndex = (style & Msg::DefaultButton3) ? 2 : (style & Msg::DefaultButton2) ? 1 : 0;
    dialog->setDefaultButton(buttons[defaultIndex < buttons.size() ? defaultIndex : 0].first);

    if (!dialog.exec())
        return unansweredResult(buttons);
    const QMessageBox::StandardButton clicked = dialog->standardButton(dialog->clickedButton());
    for (const auto &[standard, result] : buttons) {
        if (standard == clicked)
            return result;
    }
    return unansweredResult(buttons);
}
