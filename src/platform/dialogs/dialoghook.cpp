#include "platform/dialogs/dialoghook.h"

#include <QQueue>
#include <QtGlobal>

namespace DialogHook {
namespace {

// The hook belongs to the user-interface thread, like the boxes it stands in for.
struct State {
    QQueue<int> messageAnswers;
    QQueue<std::optional<QString>> inputAnswers;
    QQueue<std::optional<QString>> fileAnswers;
    QList<Shown> shown;
    std::function<void(const Shown &)> observer;
    bool strict = false;
};

State &state()
{
    static State s;
    return s;
}

const char *kindName(Kind kind)
{
    switch (kind) {
    case Kind::Message:
        return "message box";
    case Kind::Input:
        return "input box";
    case Kind::FileOpen:
        return "file-open dialog";
    }
    return "box";
}

template <class Answer> std::optional<Answer> announce(const Shown &box, QQueue<Answer> &answers)
{
    State &s = state();
    s.shown.append(box);
    std::optional<Answer> answer;
    if (!answers.isEmpty())
        answer = answers.dequeue();
    else if (s.strict)
        qFatal("Unscripted %s: %s", kindName(box.kind), qPrintable(describe(box)));
    // The observer may queue answers or change the hook; work on a copy.
    if (const auto observer = s.observer)
        observer(box);
    return answer;
}

} // namespace

QString describe(const Shown &box)
{
    QString line = QString::fromLatin1(kindName(box.kind)) + QStringLiteral(" \"") + box.title + QLatin1Char('"');
    switch (box.kind) {
    case Kind::Message:
        line += QStringLiteral(", style %1: \"%2\"").arg(box.style).arg(box.text);
        break;
    case Kind::Input:
        line += QStringLiteral(": \"%1\", default \"%2\"").arg(box.text, box.defaultText);
        break;
    case Kind::FileOpen:
        line += QStringLiteral(", filter \"%1\", default extension \"%2\", file name \"%3\"")
                    .arg(box.filter, box.defaultExt, box.initialFileName);
        break;
    }
    return line;
}

void answerMsgBox(int button)
{
    state().messageAnswers.enqueue(button);
}

void answerInput(std::optional<QString> text)
{
    state().inputAnswers.enqueue(std::move(text));
}

void answerFileOpen(std::optional<QString> path)
{
    state().fileAnswers.enqueue(std::move(path));
}

QList<Shown> shown()
{
    return state().shown;
}

void clear()
{
    state().shown.clear();
}

void setObserver(std::function<void(const Shown &)> observer)
{
    state().observer = std::move(observer);
}

void setStrict(bool strict)
{
    state().strict = strict;
}

void reset()
{
    state() = State();
}

namespace Internal {

std::optional<int> announceMessage(const Shown &box)
{
    return announce(box, state().messageAnswers);
}

std::optional<std::optional<QString>> announceInput(const Shown &box)
{
    return announce(box, state().inputAnswers);
}

std::optional<std::optional<QString>> announceFileOpen(const Shown &box)
{
    return announce(box, state().fileAnswers);
}

} // namespace Internal
} // namespace DialogHook
