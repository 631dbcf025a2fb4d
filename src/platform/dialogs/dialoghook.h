#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Lets tests answer the program's boxes without a person: scripted answers are returned
// without building any widget, and every box (scripted or real) is recorded.
namespace DialogHook {

enum class Kind { Message, Input, FileOpen };

// One box as the program asked for it.
struct Shown {
    Kind kind = Kind::Message;
    QString text;            // the message text or the input box's prompt; empty for a file dialog
    int style = 0;           // the message style number; 0 for the other kinds
    QString title;           // the caption: the application title, the input box's or file dialog's title
    QString defaultText;     // the input box's default text
    QString filter;          // the file dialog's filter, as set ("Desc|pattern")
    QString defaultExt;      // the file dialog's default extension
    QString initialFileName; // the file dialog's file name when it opened

    bool operator==(const Shown &) const = default;
};

// One line naming the box and its contents, for failure messages.
QString describe(const Shown &box);

// Queue the answer to the next box of each kind; answers of one kind are used in order.
void answerMsgBox(int button);                    // Msg::OK, Msg::Retry, Msg::Cancel, ...
void answerInput(std::optional<QString> text);    // nullopt = the box is cancelled
void answerFileOpen(std::optional<QString> path); // nullopt = the dialog is cancelled

// Every box shown since the last clear() or reset(), in order.
QList<Shown> shown();
void clear();

// Called for every box at the moment it is shown, before it returns its answer.
void setObserver(std::function<void(const Shown &)> observer);

// Strict: a box without a scripted answer ends the program with a fatal message naming the
// box, instead of showing a real modal dialog that nobody would answer in a headless test.
void setStrict(bool strict);

// Drops answers, records and observer; strict mode off.
void reset();

// For the dialogs themselves: records box, tells the observer, and returns the next scripted
// answer of its kind. An empty outer optional means "nothing scripted: show the real dialog".
namespace Internal {
std::optional<int> announceMessage(const Shown &box);
std::optional<std::optional<QString>> announceInput(const Shown &box);
std::optional<std::optional<QString>> announceFileOpen(const Shown &box);
} // namespace Internal

} // namespace DialogHook
