#pragma once

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <optional>
#include <utility>

namespace Dialogs::Internal {

// The window a box belongs to: owner's window when owner is a widget, otherwise the active
// window (nullptr when none is active, e.g. before the first window shows).
inline QWidget *ownerWindow(QObject *owner = nullptr)
{
    if (auto *widget = qobject_cast<QWidget *>(owner))
        return widget->window();
    return QApplication::activeWindow();
}

// A modal dialog created on the heap with a parent. The parent may be destroyed while the
// dialog's nested event loop runs (the application quitting, say); the QPointer then turns to
// null instead of leaving a dangling or doubly deleted dialog.
template <class Dialog> class OwnedModal {
public:
    template <class... Args> explicit OwnedModal(Args &&...args) : dialog_(new Dialog(std::forward<Args>(args)...))
    {
        dialog_->setWindowModality(Qt::ApplicationModal);
    }
    ~OwnedModal() { delete dialog_.data(); }
    OwnedModal(const OwnedModal &) = delete;
    OwnedModal &operator=(const OwnedModal &) = delete;

    Dialog *operator->() const { return dialog_.data(); }
    // Runs the dialog's event loop and returns its result code; nullopt when the dialog was
    // destroyed meanwhile.
    std::optional<int> exec()
    {
        const int code = dialog_->exec();
        return dialog_.isNull() ? std::nullopt : std::optional<int>(code);
    }

private:
    QPointer<Dialog> dialog_;
};

} // namespace Dialogs::Internal
