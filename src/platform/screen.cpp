#include "platform/screen.h"

#include <QApplication>
#include <QCursor>

namespace {
int current = Screen::Default;
}

void Screen::setMousePointer(int value)
{
    if (value == current)
        return;
    if (current != Default)
        QApplication::restoreOverrideCursor();
    if (value == Hourglass)
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    current = value == Hourglass ? Hourglass : Default;
}

int Screen::mousePointer()
{
    return current;
}
