#pragma once

#include <QString>
#include <QStringList>

// Starting other programs.
namespace Process {

// Window styles of a started program's first window. A desktop without a way to ask for them
// (X11, Wayland) lets the program and the window manager decide; the style is then checked but
// otherwise unused.
namespace WindowStyle {
inline constexpr int Hide = 0;
inline constexpr int NormalFocus = 1;
inline constexpr int MinimizedFocus = 2;
inline constexpr int MaximizedFocus = 3;
inline constexpr int NormalNoFocus = 4;
inline constexpr int MinimizedNoFocus = 6;
} // namespace WindowStyle

// Starts the program pathName without arguments and without waiting for it, in the root folder;
// it runs on after this program ends. Only a full path is started, never a name looked up in the
// search path, and only a program that root or this account owns and nobody else may change.
// Returns the started program's process id. Throws Error, naming the path:
//   ErrorNumber::InvalidArgument  a window style that is none of the above;
//   ENOENT   an empty path, or no such file;
//   EISDIR   a folder;
//   EACCES   a file that is not executable (or not a regular file), that another account owns,
//            or that others may change;
//   EINVAL   a path holding a NUL character, or one that does not start at the root folder;
//   ENOEXEC  the system refused to run the file (wrong format, no interpreter line, ...).
qint64 Shell(const QString &pathName, int windowStyle);

// Runs one of the system's own tools, name (looked up in the search path), with args, and waits
// for it to end. Returns its exit status (-1 when it crashed); errors gets what it wrote to its
// error output. Throws Error (ENOENT) when it cannot be started.
int run(const QString &name, const QStringList &args, QString &errors);

} // namespace Process
