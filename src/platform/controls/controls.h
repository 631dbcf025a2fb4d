#pragma once

#include <QString>

class QWidget;

// Controls created at run time by their class name, as a window's control collection does, and
// the placement properties that the window gives them (in twips). The one class known is
// "ZlibTool.ZlibToolCtrl.1", the compression control.
namespace Controls {

// Marks a known class as installed or not; a class that is not cannot be created.
void setAvailable(const QString &classId, bool available);

// Creates a control of class classId, names it and places it on container, and returns it,
// hidden until shown. Throws Error(ErrorNumber::CannotCreateObject) for a class that is unknown,
// unavailable or fails to create, and Error(ErrorNumber::InvalidArgument) for a missing
// container, an empty name or a name that the container already uses.
QWidget *Add(const QString &classId, const QString &name, QWidget *container);

// Position and size in twips, measured from the top-left corner of the control's container.
void setLeft(QWidget *control, int twips);
void setTop(QWidget *control, int twips);
void setHeight(QWidget *control, int twips);
void setWidth(QWidget *control, int twips);

} // namespace Controls
